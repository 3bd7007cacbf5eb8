// What the ports of the 24-bit converter rely on: the schedule that
// tools/q31_hash runs on every platform and path (native with its vector
// sums and with the portable ones, i686 Windows under wine, Cortex-M under
// qemu), here through the plain reference (tests/reference_q31.h) as well.
// The library's hash must equal the reference's, on every path this
// processor runs, so that the hash the other machines are held to is the
// right one; and the hash and the schedule's own checks must catch a wrong
// output or a stray write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "q31_hash.h"
#include "q31_paths.h"
#include "reference_q31.h"

namespace {

constexpr uint64_t kMask40 = (uint64_t{1} << 40) - 1;

// reference_q31.h one block at a time.  Its outputs are computed from the
// start of a segment of constant ratio: at a ratio change the reference is
// built anew on the input from a little more than the longest filter before
// the next output (older input cannot reach it), with a first "ratio" that
// carries it from that frame to the next output's exact time.
struct ReferenceConverter {
    int32_t channels = 0;
    uint64_t ratio = 0, max_ratio = 0;
    uint64_t t = 0;      // the next output's time, Q24.40 frames since init
    int64_t newest = -1; // the newest input's index
    int64_t base = 0;    // the frame at segment[0]
    std::vector<int32_t> segment;
    std::unique_ptr<asrc_ref::ReferenceQ31> ref;
    int64_t k = 0; // the next output's index in ref

    static bool in_range(uint64_t r) { return r >= ASRC_Q31_RATIO_MIN && r <= ASRC_Q31_RATIO_MAX; }

    int init(int32_t* memory, int32_t words, int32_t ch, uint64_t r, uint64_t max_r)
    {
        const int32_t need = asrc_q31_memory_words(ch, max_r);
        if (need == 0 || !in_range(r) || r > max_r || memory == nullptr || words < need)
            return -1;
        channels = ch;
        max_ratio = max_r;
        t = 0;
        newest = -1;
        base = 0;
        segment.clear();
        ratio = r;
        ref = std::make_unique<asrc_ref::ReferenceQ31>(
            segment, ch, std::vector<asrc_ref::Q31RatioChange>{{0, r}});
        k = 0;
        return 0;
    }
    int set_ratio(uint64_t r)
    {
        if (!in_range(r) || r > max_ratio)
            return -1;
        if (r == ratio)
            return 0;
        ratio = r;
        // 2 * ASRC_Q31_DELAY_MAX frames before the output reach past any filter.
        const int64_t from = std::max(base, static_cast<int64_t>(t >> 40) - 2 * ASRC_Q31_DELAY_MAX);
        segment.erase(segment.begin(), segment.begin() + (from - base) * channels);
        base = from;
        const uint64_t carry = t - (static_cast<uint64_t>(base) << 40);
        ref = std::make_unique<asrc_ref::ReferenceQ31>(
            segment, channels, std::vector<asrc_ref::Q31RatioChange>{{0, carry}, {1, r}});
        k = 1;
        return 0;
    }
    void process(int32_t* out, const int32_t* in, int32_t* nin, int32_t* nout)
    {
        const int32_t count = *nin > 0 ? *nin : 0;
        segment.insert(segment.end(), in, in + int64_t{count} * channels);
        newest += count;
        int32_t n = 0;
        while (count > 0 && ref->output(k, out + int64_t{n} * channels)) {
            ++k;
            ++n;
            t += ratio;
        }
        *nin = count;
        *nout = n;
    }
    q31_hash::Final final() const
    {
        const uint64_t frac = t & kMask40;
        const auto lag = static_cast<int32_t>(newest - static_cast<int64_t>(t >> 40));
        const int32_t window = 2 * asrc_q31_delay(max_ratio);
        return {0, // the reference counts no clips; the hash leaves them out
                frac,
                lag,
                static_cast<int32_t>((newest + 1) % window),
                window,
                channels,
                asrc_q31_delay(ratio),
                ratio,
                max_ratio,
                (int64_t{lag} << 30) - static_cast<int64_t>(frac >> 10)};
    }
};

template <typename Converter>
q31_hash::Summary run(uint64_t seed, int64_t calls)
{
    static q31_hash::Driver<Converter> driver; // large: not on the stack
    return driver.run(seed, calls);
}

struct Schedule {
    uint64_t seed;
    int64_t calls;
};

// Seed 1 with 1000 calls is tools/arm_check.sh's run on Cortex-M3, M4 and
// M7, 250 calls its run on M0+; tools/windows_e2e.sh runs seeds 1 to 4 with
// 1000.
TEST(Q31Hash, TheLibraryGivesTheReferencesHashOnEveryPath)
{
    for (const Schedule r : {Schedule{1, 1000}, Schedule{1, 250}, Schedule{2, 300}, Schedule{3, 300}}) {
        SCOPED_TRACE(testing::Message() << "seed " << r.seed << ", " << r.calls << " calls");
        const q31_hash::Summary ref = run<ReferenceConverter>(r.seed, r.calls);
        ASSERT_EQ(ref.failure, nullptr) << ref.failure << " at call " << ref.failed_call;
        // As the converter chooses, then each lesser path this processor runs.
        std::vector<std::string> paths;
        for (const char* limit : {"avx512", "avx2", "portable"}) {
            q31_paths::restore();
            ASSERT_TRUE(q31_paths::limit(limit));
            const std::string sums = q31_paths::current();
            if (std::find(paths.begin(), paths.end(), sums) != paths.end())
                continue;
            paths.push_back(sums);
            SCOPED_TRACE(sums);
            const q31_hash::Summary lib = run<q31_hash::LibraryConverter>(r.seed, r.calls);
            ASSERT_EQ(lib.failure, nullptr) << lib.failure << " at call " << lib.failed_call;
            EXPECT_EQ(lib.hash, ref.hash);
            EXPECT_EQ(lib.samples_out, ref.samples_out);
            EXPECT_EQ(lib.outputs_stretched, ref.outputs_stretched);
            EXPECT_EQ(lib.skipped, ref.skipped);
        }
        EXPECT_EQ(paths.back(), "portable");
        q31_paths::restore();
    }
    // The long run reaches what it is meant to reach.
    const q31_hash::Summary lib = run<q31_hash::LibraryConverter>(1, 1000);
    EXPECT_EQ(lib.channel_counts, 0x1FEu); // 1 to 8 channels
    EXPECT_GT(lib.outputs_full_band, 50000);
    EXPECT_GT(lib.outputs_stretched, 3000);
    EXPECT_GT(lib.outputs_far, 10000);
    EXPECT_GT(lib.clipped, 10000);
    EXPECT_GT(lib.crossings, 10);
    EXPECT_GT(lib.refused, 10);
}

// One wrong output sample changes the hash, and a write one word past the
// outputs is caught by the schedule itself.
TEST(Q31Hash, AWrongSampleOrAStrayWriteIsCaught)
{
    struct OffByOne : q31_hash::LibraryConverter {
        int calls = 0;
        void process(int32_t* out, const int32_t* in, int32_t* nin, int32_t* nout)
        {
            q31_hash::LibraryConverter::process(out, in, nin, nout);
            if (++calls == 50 && *nout > 0)
                out[*nout * s.channels - 1] ^= 1;
        }
    };
    struct WritesPast : q31_hash::LibraryConverter {
        void process(int32_t* out, const int32_t* in, int32_t* nin, int32_t* nout)
        {
            q31_hash::LibraryConverter::process(out, in, nin, nout);
            out[*nout * s.channels] = 0;
        }
    };
    const q31_hash::Summary good = run<q31_hash::LibraryConverter>(1, 250);
    ASSERT_EQ(good.failure, nullptr);
    const q31_hash::Summary bad = run<OffByOne>(1, 250);
    ASSERT_EQ(bad.failure, nullptr);
    EXPECT_NE(good.hash, bad.hash);
    const q31_hash::Summary stray = run<WritesPast>(1, 250);
    ASSERT_NE(stray.failure, nullptr);
    EXPECT_STREQ(stray.failure, "a write past the outputs");
}

} // namespace
