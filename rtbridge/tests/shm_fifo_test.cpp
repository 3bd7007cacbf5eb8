// The FIFO between two processes, as asrc-bridge uses it: in the shared
// region mapped before fork, a producer process and a consumer process
// through 400,000 numbered stereo frames in random blocks with random
// pauses.  The consumer must see exactly the frames that fitted, in order,
// with silence only where it was told that frames were missing, and the
// counters must add up.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <vector>

#include "asrc_fifo.h"
#include "shared.h"

namespace {

constexpr std::int32_t kCapacity = 1000;
constexpr std::int64_t kFrames = 400000;

// Frame k holds k in its first sample and ~k in its second, so that all
// 32 bits of both are used (never 0, 0: k starts at 1); a frame whose two
// halves disagree reads as 0, which the reader refuses.
void frame(std::int64_t k, std::int32_t* f)
{
    f[0] = static_cast<std::int32_t>(k);
    f[1] = static_cast<std::int32_t>(~static_cast<std::uint32_t>(k));
}

std::int64_t number(const std::int32_t* f)
{
    return f[0] == static_cast<std::int32_t>(~static_cast<std::uint32_t>(f[1])) ? f[0] : 0;
}

void pause(std::mt19937& rng)
{
    if (rng() % 8 == 0)
        usleep(static_cast<useconds_t>(rng() % 200));
}

// The consumer process: reads until the producer says it is done and the
// FIFO is empty; exits with the number of faults it saw (at most 255).
[[noreturn]] void consume(rtbridge::Shared* s)
{
    std::mt19937 rng(2);
    std::vector<std::int32_t> block(2 * 300);
    std::int64_t last = 0; // the number of the last frame seen
    std::uint64_t frames = 0;
    int faults = 0;
    asrc_fifo_counts seen{};
    for (;;) {
        const bool done = s->stop.load(std::memory_order_acquire) != 0;
        const auto want = static_cast<std::int32_t>(1 + rng() % 300);
        const std::int32_t got = asrc_fifo_read32(&s->fifo, block.data(), want);
        const asrc_fifo_counts c = asrc_fifo_get_counts(&s->fifo);
        for (std::int32_t i = 0; i < got; ++i) {
            const std::int64_t k = number(&block[static_cast<std::size_t>(2 * i)]);
            // Frames come in order; a gap is frames the producer was told
            // did not fit (its overruns), never a frame seen twice.
            if (k <= last)
                ++faults;
            last = k;
            ++frames;
        }
        for (std::int32_t i = got; i < want; ++i)
            if (block[static_cast<std::size_t>(2 * i)] != 0 || block[static_cast<std::size_t>(2 * i + 1)] != 0)
                ++faults; // the rest of a short read must be silence
        if (got < want && c.underruns == seen.underruns)
            ++faults; // a short read must count an underrun
        seen = c;
        if (done && asrc_fifo_fill(&s->fifo) == 0)
            break;
        pause(rng);
    }
    s->live.out_frames.store(frames, std::memory_order_release);
    _exit(faults > 255 ? 255 : faults);
}

TEST(SharedFifo, CarriesFramesInOrderBetweenTwoProcesses)
{
    rtbridge::Shared* s = rtbridge::map_shared(2, kCapacity);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(asrc_fifo_init32(&s->fifo, s->ring(), kCapacity, 2), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        consume(s);

    std::mt19937 rng(1);
    std::vector<std::int32_t> block(2 * 300);
    std::int64_t next = 1;
    std::int64_t accepted = 0;
    while (next <= kFrames) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(1 + rng() % 300, kFrames - next + 1));
        for (std::int32_t i = 0; i < n; ++i)
            frame(next + i, &block[static_cast<std::size_t>(2 * i)]);
        accepted += asrc_fifo_write32(&s->fifo, block.data(), n);
        next += n;
        pause(rng);
    }
    s->stop.store(1, std::memory_order_release);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "faults seen by the consumer process";

    const asrc_fifo_counts c = asrc_fifo_get_counts(&s->fifo);
    EXPECT_EQ(accepted + c.overrun_frames, kFrames) << "every frame either fitted or was counted";
    EXPECT_GT(c.overruns, 0u) << "the pauses must make the producer overrun, or the test proves little";
    EXPECT_GT(c.underruns, 0u);
    EXPECT_EQ(s->live.out_frames.load(std::memory_order_acquire), static_cast<std::uint64_t>(accepted))
        << "the consumer saw exactly the frames that fitted";
    rtbridge::unmap_shared(s);
}

} // namespace
