// The frame FIFO: against a plain model of a bounded queue on one thread
// (wrap-around, silence on underrun, the counters, recovery), and with a
// real producer thread and consumer thread, which CI also runs under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "asrc_fifo.h"

namespace {

using Frame = std::vector<std::int16_t>;

TEST(FifoInit, RefusesWhatItCannotHoldAndLeavesTheFifoAlone)
{
    std::int16_t memory[8] = {};
    struct Case {
        const char* what;
        std::int16_t* memory;
        std::int32_t capacity;
        std::int32_t channels;
    };
    const Case cases[] = {
        {"no memory", nullptr, 4, 1},
        {"no frames", memory, 0, 1},
        {"negative frames", memory, -4, 1},
        {"more frames than the positions can count", memory, ASRC_FIFO_MAX_FRAMES + 1, 1},
        {"no channels", memory, 4, 0},
        {"too many channels", memory, 4, ASRC_FIFO_MAX_CHANNELS + 1},
    };
    for (const Case& c : cases) {
        asrc_fifo f;
        std::memset(&f, 0xA5, sizeof f);
        asrc_fifo before;
        std::memcpy(&before, &f, sizeof f);
        EXPECT_EQ(asrc_fifo_init(&f, c.memory, c.capacity, c.channels), -1) << c.what;
        EXPECT_EQ(std::memcmp(&f, &before, sizeof f), 0) << c.what << ": touched";
    }
    asrc_fifo f;
    EXPECT_EQ(asrc_fifo_init(&f, memory, 1, 1), 0);
    EXPECT_EQ(asrc_fifo_init(&f, memory, ASRC_FIFO_MAX_FRAMES, ASRC_FIFO_MAX_CHANNELS), 0)
        << "the limits themselves are allowed (the memory is not touched by init)";
}

// A bounded queue of frames that keeps the same counters.
struct Model {
    std::size_t capacity;
    std::deque<Frame> frames;
    asrc_fifo_counts counts{};
};

struct Shape {
    const char* name;
    std::int32_t capacity;
    std::int32_t channels;
};

void PrintTo(const Shape& s, std::ostream* os)
{
    *os << s.name;
}

class FifoAgainstModel : public ::testing::TestWithParam<Shape> {};

// Random writes, silences, reads, discards and queries, counts from -3 to
// twice the capacity, so that every wrap position, full, empty, underrun
// and overrun occurs many times.
TEST_P(FifoAgainstModel, EveryOperationAgreesWithABoundedQueue)
{
    const Shape shape = GetParam();
    const auto channels = static_cast<std::size_t>(shape.channels);
    std::vector<std::int16_t> memory(static_cast<std::size_t>(shape.capacity) * channels);
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory.data(), shape.capacity, shape.channels), 0);
    Model m{static_cast<std::size_t>(shape.capacity), {}, {}};

    std::mt19937 rng(static_cast<unsigned>(shape.capacity * 131 + shape.channels));
    std::uniform_int_distribution<int> op(0, 4);
    std::uniform_int_distribution<int> count(-3, 2 * shape.capacity);
    std::int16_t next = 1;
    for (int step = 0; step < 20000; ++step) {
        const int n = count(rng);
        const std::size_t want = n > 0 ? static_cast<std::size_t>(n) : 0;
        switch (op(rng)) {
        case 0:
        case 1: { // write n frames of fresh values
            std::vector<std::int16_t> in(want * channels + 1);
            for (auto& v : in)
                v = next++;
            const std::size_t room = m.capacity - m.frames.size();
            const std::size_t taken = std::min(want, room);
            for (std::size_t i = 0; i < taken; ++i)
                m.frames.emplace_back(in.begin() + static_cast<long>(i * channels),
                                      in.begin() + static_cast<long>((i + 1) * channels));
            if (taken < want) {
                ++m.counts.overruns;
                m.counts.overrun_frames += static_cast<std::uint32_t>(want - taken);
            }
            ASSERT_EQ(asrc_fifo_write(&f, in.data(), n), static_cast<std::int32_t>(taken));
            break;
        }
        case 2: { // silence
            const std::size_t taken = std::min(want, m.capacity - m.frames.size());
            for (std::size_t i = 0; i < taken; ++i)
                m.frames.emplace_back(channels, std::int16_t{0});
            if (taken < want) {
                ++m.counts.overruns;
                m.counts.overrun_frames += static_cast<std::uint32_t>(want - taken);
            }
            ASSERT_EQ(asrc_fifo_write_silence(&f, n), static_cast<std::int32_t>(taken));
            break;
        }
        case 3: { // read into a buffer that holds garbage, plus a guard
            std::vector<std::int16_t> out(want * channels + 1, std::int16_t{-7});
            const std::size_t got = std::min(want, m.frames.size());
            ASSERT_EQ(asrc_fifo_read(&f, out.data(), n), static_cast<std::int32_t>(got));
            for (std::size_t i = 0; i < want; ++i) {
                const Frame expected = i < got ? m.frames[i] : Frame(channels, 0);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(),
                                       out.begin() + static_cast<long>(i * channels)))
                    << "frame " << i << " of " << want << " at step " << step;
            }
            ASSERT_EQ(out.back(), -7) << "wrote past the block";
            m.frames.erase(m.frames.begin(), m.frames.begin() + static_cast<long>(got));
            if (got < want) {
                ++m.counts.underruns;
                m.counts.underrun_frames += static_cast<std::uint32_t>(want - got);
            }
            break;
        }
        case 4: { // discard
            const std::size_t got = std::min(want, m.frames.size());
            ASSERT_EQ(asrc_fifo_discard(&f, n), static_cast<std::int32_t>(got));
            m.frames.erase(m.frames.begin(), m.frames.begin() + static_cast<long>(got));
            break;
        }
        }
        ASSERT_EQ(asrc_fifo_fill(&f), static_cast<std::int32_t>(m.frames.size())) << step;
        ASSERT_EQ(asrc_fifo_space(&f), static_cast<std::int32_t>(m.capacity - m.frames.size()));
        const asrc_fifo_counts c = asrc_fifo_get_counts(&f);
        ASSERT_EQ(c.overruns, m.counts.overruns);
        ASSERT_EQ(c.overrun_frames, m.counts.overrun_frames);
        ASSERT_EQ(c.underruns, m.counts.underruns);
        ASSERT_EQ(c.underrun_frames, m.counts.underrun_frames);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FifoAgainstModel,
                         ::testing::Values(Shape{"one_frame_mono", 1, 1},
                                           Shape{"five_frames_of_three", 5, 3},
                                           Shape{"odd_stereo", 37, 2},
                                           Shape{"usb_block_mono", 96, 1},
                                           Shape{"eight_channels", 64, 8}),
                         [](const ::testing::TestParamInfo<Shape>& i) {
                             return std::string(i.param.name);
                         });

// The two events a real stream meets, step by step: a consumer that finds
// too little gets what there is and silence, a producer that brings too much
// loses the newest frames; both are counted once per call, and the FIFO
// carries on in order afterwards.
TEST(FifoEvents, UnderrunAndOverrunAreCountedAndTheStreamCarriesOn)
{
    std::int16_t memory[4 * 2];
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory, 4, 2), 0);
    const std::int16_t a[] = {1, -1, 2, -2, 3, -3};
    ASSERT_EQ(asrc_fifo_write(&f, a, 3), 3);

    std::int16_t out[5 * 2];
    std::fill(std::begin(out), std::end(out), std::int16_t{99});
    ASSERT_EQ(asrc_fifo_read(&f, out, 5), 3);
    const std::int16_t after_underrun[] = {1, -1, 2, -2, 3, -3, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(std::begin(out), std::end(out), after_underrun));
    asrc_fifo_counts c = asrc_fifo_get_counts(&f);
    EXPECT_EQ(c.underruns, 1u);
    EXPECT_EQ(c.underrun_frames, 2u);

    const std::int16_t b[] = {4, -4, 5, -5, 6, -6, 7, -7, 8, -8, 9, -9};
    ASSERT_EQ(asrc_fifo_write(&f, b, 6), 4) << "keeps what fits";
    c = asrc_fifo_get_counts(&f);
    EXPECT_EQ(c.overruns, 1u);
    EXPECT_EQ(c.overrun_frames, 2u);
    EXPECT_EQ(asrc_fifo_fill(&f), 4);

    ASSERT_EQ(asrc_fifo_discard(&f, 1), 1);
    ASSERT_EQ(asrc_fifo_write(&f, a, 1), 1);
    ASSERT_EQ(asrc_fifo_read(&f, out, 4), 4);
    const std::int16_t in_order[] = {5, -5, 6, -6, 7, -7, 1, -1};
    EXPECT_TRUE(std::equal(in_order, in_order + 8, out));
    c = asrc_fifo_get_counts(&f);
    EXPECT_EQ(c.underruns + c.overruns, 2u) << "nothing more was counted";
}

// Counters wrap rather than stick, so that a caller comparing with the last
// value seen never misses an event.
TEST(FifoEvents, CountersWrapModulo2To32)
{
    std::int16_t memory[2];
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory, 2, 1), 0);
    f.underruns = 0xFFFFFFFFu; // no other side runs: a direct store is safe here
    f.underrun_frames = 0xFFFFFFFEu;
    std::int16_t out[3];
    asrc_fifo_read(&f, out, 3);
    const asrc_fifo_counts c = asrc_fifo_get_counts(&f);
    EXPECT_EQ(c.underruns, 0u);
    EXPECT_EQ(c.underrun_frames, 1u);
}

// A producer thread and a consumer thread, each with blocks of random size
// and random pauses, so that the FIFO runs full and empty many times.  The
// producer numbers its frames and numbers on only past the frames that
// fitted; the consumer must see exactly that sequence, in order, with
// silence only where it was told that frames were missing, and the counters
// must add up.  Run under ThreadSanitizer in CI.
TEST(FifoThreads, ProducerAndConsumerThreadsSeeOneOrderedStream)
{
    constexpr std::int32_t kCapacity = 61;
    constexpr std::int32_t kChannels = 2;
    constexpr std::uint32_t kFrames = 400000;
    std::vector<std::int16_t> memory(kCapacity * kChannels);
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory.data(), kCapacity, kChannels), 0);

    // Frame i holds (i % 32000) + 1 and its negation: never silence.
    auto value = [](std::uint32_t i) { return static_cast<std::int16_t>(i % 32000 + 1); };
    std::atomic<bool> done{false};
    std::uint64_t offered = 0;
    std::uint64_t accepted = 0;

    std::thread producer([&] {
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> size(1, 40);
        std::uniform_int_distribution<int> pause(0, 7);
        std::vector<std::int16_t> block(40 * kChannels);
        std::uint32_t next = 0;
        while (next < kFrames) {
            const auto n = static_cast<std::int32_t>(
                std::min<std::uint32_t>(static_cast<std::uint32_t>(size(rng)), kFrames - next));
            for (std::int32_t i = 0; i < n; ++i) {
                block[static_cast<std::size_t>(2 * i)] = value(next + static_cast<std::uint32_t>(i));
                block[static_cast<std::size_t>(2 * i + 1)] =
                    static_cast<std::int16_t>(-value(next + static_cast<std::uint32_t>(i)));
            }
            const std::int32_t took = asrc_fifo_write(&f, block.data(), n);
            offered += static_cast<std::uint64_t>(n);
            accepted += static_cast<std::uint64_t>(took);
            next += static_cast<std::uint32_t>(took);
            if (pause(rng) == 0)
                std::this_thread::yield();
        }
        done.store(true, std::memory_order_release);
    });

    std::uint32_t expected = 0;
    std::uint64_t requested = 0;
    std::uint64_t real = 0;
    bool in_order = true;
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> size(1, 48);
    std::uniform_int_distribution<int> pause(0, 5);
    std::vector<std::int16_t> block(48 * kChannels);
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        const std::int32_t n = size(rng);
        std::fill(block.begin(), block.end(), std::int16_t{12345});
        const std::int32_t got = asrc_fifo_read(&f, block.data(), n);
        requested += static_cast<std::uint64_t>(n);
        real += static_cast<std::uint64_t>(got);
        for (std::int32_t i = 0; i < n && in_order; ++i) {
            const std::int16_t l = block[static_cast<std::size_t>(2 * i)];
            const std::int16_t r = block[static_cast<std::size_t>(2 * i + 1)];
            if (i < got) {
                in_order = l == value(expected) && r == -value(expected);
                ++expected;
            } else {
                in_order = l == 0 && r == 0;
            }
        }
        ASSERT_TRUE(in_order) << "after " << expected << " frames";
        if (finished && got == 0)
            break;
        if (pause(rng) == 0)
            std::this_thread::yield();
    }
    producer.join();

    EXPECT_EQ(expected, kFrames);
    EXPECT_EQ(real, accepted);
    const asrc_fifo_counts c = asrc_fifo_get_counts(&f);
    EXPECT_EQ(c.overrun_frames, offered - accepted);
    EXPECT_EQ(c.underrun_frames, requested - real);
    EXPECT_GT(c.overruns, 0u) << "the producer never found the FIFO full: a weak test";
    EXPECT_GT(c.underruns, 0u) << "the consumer never found it empty: a weak test";
}

// The fill seen from each side while the other runs stays within 0 ..
// capacity and, seen by the producer right after a write, never exceeds
// what it has written and not yet seen taken.
TEST(FifoThreads, FillSeenFromEitherSideStaysInRange)
{
    constexpr std::int32_t kCapacity = 16;
    std::int16_t memory[kCapacity];
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory, kCapacity, 1), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread consumer([&] {
        std::int16_t out[5];
        while (!stop.load(std::memory_order_acquire)) {
            asrc_fifo_read(&f, out, 5);
            const std::int32_t fill = asrc_fifo_fill(&f);
            if (fill < 0 || fill > kCapacity)
                bad.fetch_add(1);
        }
    });
    const std::int16_t in[7] = {1, 2, 3, 4, 5, 6, 7};
    for (int i = 0; i < 200000; ++i) {
        const std::int32_t before = asrc_fifo_fill(&f);
        const std::int32_t wrote = asrc_fifo_write(&f, in, 7);
        const std::int32_t after = asrc_fifo_fill(&f);
        if (after < 0 || after > before + wrote || asrc_fifo_space(&f) < 0)
            bad.fetch_add(1);
    }
    stop.store(true, std::memory_order_release);
    consumer.join();
    EXPECT_EQ(bad.load(), 0);
}

// A stamped read records when and how much the consumer asked for (asked,
// not taken: its clock ran on through an underrun); a plain read leaves the
// stamp alone; the producer sees the stamp with the fill of the same moment.
TEST(FifoStamp, RecordsTheConsumersReadsForTheProducer)
{
    std::int16_t memory[32];
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory, 32, 1), 0);
    asrc_fifo_stamp st;
    ASSERT_EQ(asrc_fifo_get_stamp(&f, &st), 0);
    EXPECT_EQ(st.reads, 0u) << "no stamped read yet";
    const std::int16_t in[20] = {};
    std::int16_t out[16];
    asrc_fifo_write(&f, in, 20);
    EXPECT_EQ(asrc_fifo_read_at(&f, out, 8, 1000), 8);
    asrc_fifo_read(&f, out, 2);
    ASSERT_EQ(asrc_fifo_get_stamp(&f, &st), 0);
    EXPECT_EQ(st.reads, 1u);
    EXPECT_EQ(st.read_time, 1000u);
    EXPECT_EQ(st.read_frames, 8u);
    EXPECT_EQ(st.read_block, 8);
    EXPECT_EQ(st.fill, 10);
    EXPECT_EQ(asrc_fifo_read_at(&f, out, 16, 0xFFFFFFF0u), 10) << "underrun: 10 of 16";
    ASSERT_EQ(asrc_fifo_get_stamp(&f, &st), 0);
    EXPECT_EQ(st.reads, 2u);
    EXPECT_EQ(st.read_time, 0xFFFFFFF0u);
    EXPECT_EQ(st.read_frames, 24u) << "frames asked, not taken";
    EXPECT_EQ(st.read_block, 16);
    EXPECT_EQ(st.fill, 0);
}

// With a read period the stamp also names the earliest read since the
// producer's last write (its time less its frames times the period), and a
// write starts the next span; without one, the last read is the earliest.
TEST(FifoStamp, KeepsTheEarliestReadBetweenWrites)
{
    struct Read {
        std::uint32_t now;
        bool write_before; // the producer writes 8 frames first
    };
    struct Case {
        const char* what;
        std::uint32_t period_q8; // ticks per frame, Q24.8
        std::vector<Read> reads;  // 4 frames each
        std::uint32_t best_time, best_frames;
    };
    const Case cases[] = {
        // 10 ticks a frame, 40 a read: due at 100, 140, 180.
        {"the middle read least late", 10 * 256, {{105, true}, {141, false}, {189, false}}, 141, 8},
        {"ties keep the first", 10 * 256, {{100, true}, {140, false}, {180, false}}, 100, 4},
        {"no period: the last", 0, {{105, true}, {141, false}, {189, false}}, 189, 12},
        {"a write starts a new span", 10 * 256, {{100, true}, {150, false}, {230, true}}, 230, 12},
        {"a timer that ran back starts over", 10 * 256, {{500, true}, {100, false}}, 100, 8},
        {"the period's fraction counts", 2 * 256 + 128, {{100, true}, {109, false}}, 109, 8},
    };
    for (const Case& c : cases) {
        std::int16_t memory[64];
        const std::int16_t in[8] = {};
        std::int16_t out[4];
        asrc_fifo f;
        ASSERT_EQ(asrc_fifo_init(&f, memory, 64, 1), 0);
        asrc_fifo_set_read_period(&f, c.period_q8);
        for (const Read& r : c.reads) {
            if (r.write_before)
                asrc_fifo_write(&f, in, 8);
            asrc_fifo_read_at(&f, out, 4, r.now);
        }
        asrc_fifo_stamp st;
        ASSERT_EQ(asrc_fifo_get_stamp(&f, &st), 0) << c.what;
        EXPECT_EQ(st.best_time, c.best_time) << c.what;
        EXPECT_EQ(st.best_frames, c.best_frames) << c.what;
        EXPECT_EQ(st.read_time, c.reads.back().now) << c.what << ": the last read as before";
    }
}

// While a stamped read is under way (the sequence odd) the producer gets
// no stamp rather than a half-written one, and its stamp is left alone.
TEST(FifoStamp, AReadUnderWayGivesNoStamp)
{
    std::int16_t memory[8];
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init(&f, memory, 8, 1), 0);
    std::int16_t out[4];
    asrc_fifo_read_at(&f, out, 4, 77);
    ++f.stamp_sequence; // as the consumer leaves it in the middle of a read
    asrc_fifo_stamp st;
    std::memset(&st, 0x5A, sizeof st);
    asrc_fifo_stamp before;
    std::memcpy(&before, &st, sizeof st);
    EXPECT_EQ(asrc_fifo_get_stamp(&f, &st), -1);
    EXPECT_EQ(std::memcmp(&st, &before, sizeof st), 0);
    ++f.stamp_sequence; // the read done
    EXPECT_EQ(asrc_fifo_get_stamp(&f, &st), 0);
    EXPECT_EQ(st.read_time, 77u);
}

// The 32-bit entries on one script of steps, 3 channels, capacity 5: every
// frame carries full 32-bit values (the sign bit and the low bits both
// set), so that a copy of two bytes a sample, or a step of two bytes a
// sample, shows; the script wraps the ring twice, overruns, underruns and
// stamps a read.
TEST(Fifo32, WholeSamplesThroughWrapOverrunUnderrunAndStamps)
{
    constexpr std::int32_t kChannels = 3;
    constexpr std::int32_t kCapacity = 5;
    auto sample = [](std::int32_t frame, std::int32_t c) {
        return static_cast<std::int32_t>(0x80000001u + 0x01010101u * static_cast<std::uint32_t>(frame) +
                                         0x10000u * static_cast<std::uint32_t>(c));
    };
    enum Op { write, silence, read, read_at, discard };
    struct Step {
        Op op;
        std::int32_t count;
        std::int32_t returns;
        std::int32_t fill;     // after the step
        std::uint32_t overruns, underruns;
    };
    const Step steps[] = {
        {write, 3, 3, 3, 0, 0},   {read, 2, 2, 1, 0, 0},    {write, 6, 4, 5, 1, 0},
        {read_at, 4, 4, 1, 1, 0}, {silence, 2, 2, 3, 1, 0}, {discard, 1, 1, 2, 1, 0},
        {read, 4, 2, 0, 1, 1},    {write, 5, 5, 5, 1, 1},   {read_at, 5, 5, 0, 1, 1},
    };
    std::vector<std::int32_t> memory(kCapacity * kChannels);
    asrc_fifo f;
    ASSERT_EQ(asrc_fifo_init32(&f, memory.data(), kCapacity, kChannels), 0);
    std::deque<std::vector<std::int32_t>> model; // what the FIFO should hold
    std::int32_t next = 0;
    std::uint32_t now = 1000;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& st = steps[i];
        std::vector<std::int32_t> buf(static_cast<std::size_t>(st.count * kChannels), 0x5A5A5A5A);
        std::int32_t got = 0;
        switch (st.op) {
        case write:
            for (std::int32_t k = 0; k < st.count; ++k) {
                std::vector<std::int32_t> fr;
                for (std::int32_t c = 0; c < kChannels; ++c)
                    fr.push_back(buf[static_cast<std::size_t>(k * kChannels + c)] = sample(next, c));
                ++next;
                if (model.size() < kCapacity)
                    model.push_back(fr);
            }
            got = asrc_fifo_write32(&f, buf.data(), st.count);
            break;
        case silence:
            for (std::int32_t k = 0; k < st.count && model.size() < kCapacity; ++k)
                model.emplace_back(kChannels, 0);
            got = asrc_fifo_write_silence(&f, st.count);
            break;
        case discard:
            got = asrc_fifo_discard(&f, st.count);
            model.erase(model.begin(), model.begin() + got);
            break;
        case read:
        case read_at:
            got = st.op == read ? asrc_fifo_read32(&f, buf.data(), st.count)
                                : asrc_fifo_read32_at(&f, buf.data(), st.count, now += 100);
            for (std::int32_t k = 0; k < st.count; ++k) {
                std::vector<std::int32_t> want(kChannels, 0); // silence past what there was
                if (k < got) {
                    want = model.front();
                    model.pop_front();
                }
                for (std::int32_t c = 0; c < kChannels; ++c)
                    ASSERT_EQ(buf[static_cast<std::size_t>(k * kChannels + c)], want[static_cast<std::size_t>(c)])
                        << "step " << i << " frame " << k << " channel " << c;
            }
            break;
        }
        EXPECT_EQ(got, st.returns) << "step " << i;
        EXPECT_EQ(asrc_fifo_fill(&f), st.fill) << "step " << i;
        const asrc_fifo_counts n = asrc_fifo_get_counts(&f);
        EXPECT_EQ(n.overruns, st.overruns) << "step " << i;
        EXPECT_EQ(n.underruns, st.underruns) << "step " << i;
    }
    asrc_fifo_stamp stamp;
    ASSERT_EQ(asrc_fifo_get_stamp(&f, &stamp), 0);
    EXPECT_EQ(stamp.reads, 2u);
    EXPECT_EQ(stamp.read_time, now);
    EXPECT_EQ(stamp.read_frames, 9u);
}

// An entry of one width on a FIFO of the other copies nothing, moves
// nothing and leaves the caller's frames alone.
TEST(Fifo32, EntriesOfTheOtherWidthDoNothing)
{
    std::int16_t m16[8] = {};
    std::int32_t m32[8] = {};
    asrc_fifo narrow;
    asrc_fifo wide;
    ASSERT_EQ(asrc_fifo_init(&narrow, m16, 8, 1), 0);
    ASSERT_EQ(asrc_fifo_init32(&wide, m32, 8, 1), 0);
    std::int16_t s16[4] = {1, 2, 3, 4};
    std::int32_t s32[4] = {5, 6, 7, 8};
    asrc_fifo_write(&narrow, s16, 4);
    asrc_fifo_write32(&wide, s32, 4);
    struct Case {
        const char* what;
        std::int32_t (*call)(asrc_fifo*, std::int16_t*, std::int32_t*);
        asrc_fifo* fifo;
    };
    const Case cases[] = {
        {"write on a 32-bit FIFO", [](asrc_fifo* f, std::int16_t* a, std::int32_t*) { return asrc_fifo_write(f, a, 4); }, &wide},
        {"read on a 32-bit FIFO", [](asrc_fifo* f, std::int16_t* a, std::int32_t*) { return asrc_fifo_read(f, a, 4); }, &wide},
        {"read_at on a 32-bit FIFO", [](asrc_fifo* f, std::int16_t* a, std::int32_t*) { return asrc_fifo_read_at(f, a, 4, 9); }, &wide},
        {"write32 on a 16-bit FIFO", [](asrc_fifo* f, std::int16_t*, std::int32_t* b) { return asrc_fifo_write32(f, b, 4); }, &narrow},
        {"read32 on a 16-bit FIFO", [](asrc_fifo* f, std::int16_t*, std::int32_t* b) { return asrc_fifo_read32(f, b, 4); }, &narrow},
        {"read32_at on a 16-bit FIFO", [](asrc_fifo* f, std::int16_t*, std::int32_t* b) { return asrc_fifo_read32_at(f, b, 4, 9); }, &narrow},
    };
    for (const Case& c : cases) {
        std::int16_t a[4] = {-1, -1, -1, -1};
        std::int32_t b[4] = {-1, -1, -1, -1};
        asrc_fifo before;
        std::memcpy(&before, c.fifo, sizeof before);
        EXPECT_EQ(c.call(c.fifo, a, b), 0) << c.what;
        EXPECT_EQ(std::memcmp(&before, c.fifo, sizeof before), 0) << c.what << ": the FIFO changed";
        EXPECT_TRUE(std::all_of(a, a + 4, [](std::int16_t v) { return v == -1; })) << c.what;
        EXPECT_TRUE(std::all_of(b, b + 4, [](std::int32_t v) { return v == -1; })) << c.what;
    }
}

} // namespace
