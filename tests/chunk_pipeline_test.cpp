// The streaming loop of asrc-audio's two routes (audio/chunk_pipeline.h),
// with converters that convert on submit: every chunk read is written once
// and in order, the flush follows the last input, and a failed write stops
// the reading and the flush but still collects what is in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "chunk_pipeline.h"

namespace {

struct Chunk {
    int frames = 0;
    int number = 0;       // which read (or -2: the flush) filled it
    int converted = -1;   // the number the converters saw
};

// No worker threads: submit converts at once, collect has nothing to wait
// for.  Enough to follow the loop's order of reads, flushes and writes.
// It counts the chunks in flight: the whole ring in flight lets a fast
// worker lap round to a chunk whose hand-over a slower one has not taken.
struct Converters {
    std::array<Chunk, 4> ring;
    int stops = 0;
    int in_flight = 0;
    int most_in_flight = 0;
    std::array<Chunk, 4>& chunks() { return ring; }
    int workers() const { return 0; }
    void run(int) {}
    void submit(Chunk& c)
    {
        if (c.frames < 0) {
            ++stops;
            return;
        }
        c.converted = c.number;
        most_in_flight = std::max(most_in_flight, ++in_flight);
    }
    void collect(Chunk&) { --in_flight; }
};

struct PipelineCase {
    const char* name;
    int inputs;     // chunks to read
    bool flush;     // the flush wants to run
    int fail_write; // the write (0-based) that falls short, -1 none
    std::vector<int> written; // chunk numbers written, -2 the flush
    int reads;      // read calls made
    int collected;  // chunks converted and collected (ticks)
};

class ChunkPipeline : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(ChunkPipeline, WritesInOrderFlushesLastAndStopsOnAFailedWrite)
{
    const PipelineCase& k = GetParam();
    Converters converters;
    int reads = 0;
    int writes = 0;
    int ticks = 0;
    std::vector<int> written;
    asrc_audio::run_chunk_pipeline(
        converters,
        [&](Chunk& c) {
            ++reads;
            if (reads > k.inputs)
                return false;
            c.frames = 1;
            c.number = reads - 1;
            return true;
        },
        [&](Chunk& c) {
            if (!k.flush)
                return false;
            c.frames = 1;
            c.number = -2;
            return true;
        },
        [&](const Chunk& c) {
            if (writes++ == k.fail_write)
                return false;
            written.push_back(c.converted);
            return true;
        },
        [&] { ++ticks; });
    EXPECT_EQ(written, k.written);
    EXPECT_EQ(reads, k.reads);
    EXPECT_EQ(ticks, k.collected) << "one tick per chunk collected";
    EXPECT_EQ(writes, k.fail_write < 0 ? k.collected : k.fail_write + 1)
        << "no write after the one that failed";
    EXPECT_EQ(converters.stops, 1);
    EXPECT_LE(converters.most_in_flight, static_cast<int>(converters.ring.size()) - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkPipeline,
    ::testing::Values(PipelineCase{"empty", 0, false, -1, {}, 1, 0},
                      PipelineCase{"empty_flushed", 0, true, -1, {-2}, 1, 1},
                      PipelineCase{"more_than_the_ring", 9, false, -1,
                                   {0, 1, 2, 3, 4, 5, 6, 7, 8}, 10, 9},
                      PipelineCase{"flush_last", 6, true, -1, {0, 1, 2, 3, 4, 5, -2}, 7, 7},
                      // Three of the ring's four in flight: the fourth read
                      // waits for the first write, which fails; the two
                      // still in flight are collected, not written, and
                      // there is no flush.
                      PipelineCase{"failed_write", 9, true, 0, {}, 3, 3},
                      PipelineCase{"failed_later", 9, true, 2, {0, 1}, 5, 5}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
