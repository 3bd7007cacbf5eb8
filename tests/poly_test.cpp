// The polyphase converter against its plain reference, its vector sums
// against the portable one, and its contract: block boundaries, ratio
// changes, output counts, refused ratios, clipping.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "asrc_poly.h"
#include "internal/poly_kernels.h"
#include "reference_poly.h"

namespace {

constexpr std::uint32_t kOne = ASRC_POLY_RATIO_ONE;

std::uint32_t ratio_of(double r)
{
    return static_cast<std::uint32_t>(r * kOne + 0.5);
}

std::vector<std::int16_t> random_samples(std::mt19937& rng, std::size_t n, int amplitude = 32767)
{
    std::uniform_int_distribution<int> d(-amplitude - 1, amplitude);
    std::vector<std::int16_t> x(n);
    for (auto& v : x)
        v = static_cast<std::int16_t>(d(rng));
    return x;
}

struct LibraryRun {
    std::vector<std::int16_t> out;
    std::uint32_t clipped = 0;
    std::int64_t worst_room = 0; // largest nout - max_output seen (must stay <= 0)
};

// The library on the same schedule as reference_poly::convert.
LibraryRun library(const std::vector<std::int16_t>& x, const std::vector<std::uint32_t>& ratios,
            const std::vector<std::int32_t>& sizes)
{
    LibraryRun r;
    r.worst_room = INT64_MIN;
    asrc_poly_state s;
    EXPECT_EQ(asrc_poly_init(&s, ratios[0]), 0);
    std::size_t at = 0;
    for (std::size_t b = 0; b < sizes.size(); ++b) {
        EXPECT_EQ(asrc_poly_set_ratio(&s, ratios[b]), 0);
        const std::int64_t room = asrc_poly_max_output(sizes[b], ratios[b]);
        std::vector<std::int16_t> out(static_cast<std::size_t>(room) + 1, 0x5A5A);
        std::int32_t nin = sizes[b];
        std::int32_t nout = -7;
        asrc_poly_process_block(&s, out.data(), x.data() + at, &nin, &nout);
        EXPECT_EQ(nin, std::max(sizes[b], 0));
        EXPECT_EQ(out[static_cast<std::size_t>(room)], 0x5A5A) << "wrote past max_output";
        r.worst_room = std::max(r.worst_room, std::int64_t{nout} - room);
        r.out.insert(r.out.end(), out.begin(), out.begin() + nout);
        at += static_cast<std::size_t>(std::max(sizes[b], 0));
    }
    r.clipped = s.clipped;
    return r;
}

struct Schedule {
    const char* name;
    std::vector<double> ratios; // one per block, cycled
    int min_block;
    int max_block;
};

// Named in test listings by its name alone.
void PrintTo(const Schedule& s, std::ostream* os)
{
    *os << s.name;
}

class AgainstReference : public ::testing::TestWithParam<Schedule> {};

TEST_P(AgainstReference, EqualsThePlainDefinitionBitForBit)
{
    const Schedule& sc = GetParam();
    std::mt19937 rng(12345);
    const std::vector<std::int16_t> x = random_samples(rng, 6000);
    std::uniform_int_distribution<int> block(sc.min_block, sc.max_block);
    std::vector<std::uint32_t> ratios;
    std::vector<std::int32_t> sizes;
    std::size_t total = 0;
    for (std::size_t b = 0; total < x.size(); ++b) {
        const int n = std::min<int>(block(rng), static_cast<int>(x.size() - total));
        ratios.push_back(ratio_of(sc.ratios[b % sc.ratios.size()]));
        sizes.push_back(n);
        total += static_cast<std::size_t>(std::max(n, 0));
    }
    const reference_poly::Result want = reference_poly::convert(x, ratios, sizes);
    const LibraryRun got = library(x, ratios, sizes);
    ASSERT_EQ(got.out.size(), want.out.size());
    for (std::size_t k = 0; k < want.out.size(); ++k)
        ASSERT_EQ(got.out[k], want.out[k]) << "output " << k;
    EXPECT_EQ(got.clipped, want.clipped);
    EXPECT_LE(got.worst_room, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, AgainstReference,
    ::testing::Values(
        Schedule{"unity_one_block", {1.0}, 6000, 6000},
        Schedule{"near_unity_blocks_of_1", {1.0001}, 1, 1},
        Schedule{"44k1_to_48k_random_blocks", {0.91875}, 0, 97},
        Schedule{"48k_to_44k1_random_blocks", {48000.0 / 44100}, 1, 64},
        Schedule{"half_and_double", {0.5, 2.0}, 1, 300},
        Schedule{"at_the_full_band_limit",
                 {ASRC_POLY_RATIO_FULL_BAND / double(kOne),
                  (ASRC_POLY_RATIO_FULL_BAND + 1) / double(kOne)},
                 1, 40},
        Schedule{"drifting_every_block", {0.999, 1.0005, 1.001, 0.9993, 1.0}, 1, 48},
        Schedule{"wide_swings", {0.6, 1.9, 1.0, 1.3, 0.75}, 0, 200}),
    [](const ::testing::TestParamInfo<Schedule>& i) { return std::string(i.param.name); });

TEST(PolyBlocks, AnySplitOfTheStreamGivesTheSameOutputAndState)
{
    std::mt19937 rng(7);
    const std::vector<std::int16_t> x = random_samples(rng, 4000);
    for (const double ratio : {0.5, 0.91875, 1.0, 1.0102, 1.0884, 2.0}) {
        SCOPED_TRACE(ratio);
        asrc_poly_state whole;
        asrc_poly_init(&whole, ratio_of(ratio));
        std::vector<std::int16_t> a(static_cast<std::size_t>(asrc_poly_max_output(4000, ratio_of(ratio))));
        std::int32_t nin = 4000;
        std::int32_t na = 0;
        asrc_poly_process_block(&whole, a.data(), x.data(), &nin, &na);

        asrc_poly_state pieces;
        asrc_poly_init(&pieces, ratio_of(ratio));
        std::vector<std::int16_t> b;
        std::uniform_int_distribution<int> len(-2, 33);
        for (std::size_t at = 0; at < x.size();) {
            std::int32_t n = std::min<std::int32_t>(len(rng), static_cast<std::int32_t>(x.size() - at));
            std::vector<std::int16_t> o(static_cast<std::size_t>(asrc_poly_max_output(n, ratio_of(ratio))) + 1);
            std::int32_t nb = 0;
            asrc_poly_process_block(&pieces, o.data(), x.data() + at, &n, &nb);
            b.insert(b.end(), o.begin(), o.begin() + nb);
            at += static_cast<std::size_t>(n);
        }
        EXPECT_EQ(std::vector<std::int16_t>(a.begin(), a.begin() + na), b);
        EXPECT_EQ(std::memcmp(&whole, &pieces, sizeof whole), 0);
    }
}

// A negative or zero count consumes nothing, writes nothing, changes nothing.
TEST(PolyBlocks, EmptyAndNegativeCountsChangeNothing)
{
    asrc_poly_state s;
    asrc_poly_init(&s, kOne);
    const asrc_poly_state before = s;
    for (const std::int32_t count : {0, -1, -100000}) {
        std::int16_t out = 99;
        std::int32_t nin = count;
        std::int32_t nout = 5;
        asrc_poly_process_block(&s, &out, nullptr, &nin, &nout);
        EXPECT_EQ(nin, 0);
        EXPECT_EQ(nout, 0);
        EXPECT_EQ(out, 99);
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0);
    }
}

TEST(PolyKernels, VectorSumsEqualThePortableSum)
{
    using namespace asrc_poly_detail;
    std::mt19937 rng(99);
    std::vector<std::int16_t> window(512);
    std::uniform_int_distribution<std::uint32_t> frac(0, (1u << 30) - 1);
    const std::vector<asrc_poly_detail::FullBandSum> kernels = {
#ifdef ASRC_POLY_X86_KERNELS
        full_band_sum_sse2,
        asrc_cpu_detail::has_avx2() ? full_band_sum_avx2 : full_band_sum_sse2,
        asrc_cpu_detail::has_avx512_vnni() ? full_band_sum_avx512 : full_band_sum_sse2,
#endif
        best_full_band_sum()};
    for (int round = 0; round < 4000; ++round) {
        const std::uint32_t f = round < 4 ? std::vector<std::uint32_t>{0, 1, (1u << 22) - 1, (1u << 30) - 1}[static_cast<std::size_t>(round)]
                                          : frac(rng);
        // Random inputs, and inputs at full scale with the coefficients'
        // signs, which drive every partial sum to its largest magnitude.
        const int kind = round % 3;
        for (std::size_t i = 0; i < window.size(); ++i) {
            const auto q = static_cast<std::int64_t>(16384 + 256 * (static_cast<int>(i) - 256)) - (f >> 22);
            const std::int64_t c = reference_poly::table(q);
            window[i] = kind == 0 ? static_cast<std::int16_t>(rng())
                        : kind == 1 ? static_cast<std::int16_t>(c < 0 ? -32768 : 32767)
                                    : static_cast<std::int16_t>(c < 0 ? 32767 : -32768);
        }
        const std::int16_t* xn = window.data() + 256;
        const std::int64_t want = filter_sum(xn, f, 256);
        for (const auto k : kernels)
            ASSERT_EQ(k(xn, f), want) << "frac " << f;
        ASSERT_EQ(full_band_sum_portable(xn, f), want);
    }
}

// The largest |X| any input can give, against the bound that keeps the
// scaling by the stride inside 64 bits.
TEST(PolyKernels, SumsStayFarFromOverflow)
{
    std::int64_t worst = 0;
    for (int stride = 129; stride <= 256; stride += 127 / 8)
        for (std::uint32_t a = 0; a < static_cast<std::uint32_t>(stride); a += 7) {
            std::int64_t l1 = 0;
            for (int j = -128; j <= 128; ++j)
                l1 += std::abs(reference_poly::table(static_cast<std::uint32_t>(16384 + stride * j) - a)) * 32768 +
                      32767 * std::abs(reference_poly::table(static_cast<std::uint32_t>(16384 + stride * j) - a - 1) -
                                       reference_poly::table(static_cast<std::uint32_t>(16384 + stride * j) - a));
            worst = std::max(worst, l1 * 32768);
        }
    EXPECT_LT(worst, std::int64_t{1} << 55);
}

TEST(PolyRatio, FromRates)
{
    struct Case {
        std::uint32_t in, out, want;
    };
    for (const Case c : std::vector<Case>{
             {44100, 48000, 986500301},  // 0.91875 * 2^30 = 986500300.8
             {48000, 44100, 1168698584}, // 1.0884353... * 2^30 = 1168698584.2
             {48000, 48000, kOne},
             {1, 2, ASRC_POLY_RATIO_MIN},
             {2, 1, ASRC_POLY_RATIO_MAX},
             {0xFFFFFFFFu, 0xFFFFFFFFu, kOne},
             {3, 1, 0},
             {1, 3, 0},
             {0, 48000, 0},
             {48000, 0, 0},
             {0, 0, 0},
             // 2 - 2^-31 rounds up to 2:1 exactly; 2 + 2^-31 rounds outside.
             {0xFFFFFFFFu, 0x80000000u, ASRC_POLY_RATIO_MAX},
             {0xFFFFFFFFu, 0x7FFFFFFFu, 0},
             {2000000001, 1000000000, 0},
         }) {
        EXPECT_EQ(asrc_poly_ratio(c.in, c.out), c.want) << c.in << "/" << c.out;
    }
}

TEST(PolyRatio, RefusedRatiosChangeNothing)
{
    for (const std::uint32_t bad :
         {0u, 1u, ASRC_POLY_RATIO_MIN - 1, ASRC_POLY_RATIO_MAX + 1, 0xFFFFFFFFu}) {
        asrc_poly_state s;
        std::memset(&s, 0xA5, sizeof s);
        const asrc_poly_state before = s;
        EXPECT_EQ(asrc_poly_init(&s, bad), -1) << bad;
        EXPECT_EQ(asrc_poly_set_ratio(&s, bad), -1) << bad;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << bad;
        EXPECT_EQ(asrc_poly_max_output(100, bad), 0) << bad;
        EXPECT_EQ(asrc_poly_delay(bad), 0) << bad;
    }
    for (const std::uint32_t good : {ASRC_POLY_RATIO_MIN, kOne, ASRC_POLY_RATIO_MAX}) {
        asrc_poly_state s;
        std::memset(&s, 0xA5, sizeof s);
        EXPECT_EQ(asrc_poly_init(&s, good), 0);
        EXPECT_EQ(s.ratio, good);
        EXPECT_EQ(s.clipped, 0u);
        EXPECT_EQ(std::count(s.history, s.history + 2 * ASRC_POLY_HISTORY, 0),
                  2 * ASRC_POLY_HISTORY);
    }
}

// At a constant ratio the outputs are exactly those with floor(k * ratio) +
// delay <= newest input: over ten million inputs, N / ratio to within one.
TEST(PolyRatio, OutputCountFollowsTheRatioExactly)
{
    for (const std::uint32_t ratio : {asrc_poly_ratio(48000, 47999), asrc_poly_ratio(44100, 48000),
                                      ratio_of(1.000001), ratio_of(0.5000001)}) {
        asrc_poly_state s;
        asrc_poly_init(&s, ratio);
        const std::int32_t block = 4096;
        std::vector<std::int16_t> in(block, 1000);
        std::vector<std::int16_t> out(static_cast<std::size_t>(asrc_poly_max_output(block, ratio)));
        std::int64_t total = 0;
        const std::int64_t inputs = 10'000'000 / block * block;
        for (std::int64_t i = 0; i < inputs; i += block) {
            std::int32_t nin = block;
            std::int32_t nout = 0;
            asrc_poly_process_block(&s, out.data(), in.data(), &nin, &nout);
            total += nout;
        }
        // Outputs k = 0..K-1 with floor(k ratio) <= inputs - 1 - delay.
        const std::int64_t last = inputs - 1 - asrc_poly_delay(ratio);
        const auto exact = static_cast<std::int64_t>(((static_cast<unsigned __int128>(last + 1) << 30) + ratio - 1) / ratio);
        EXPECT_EQ(total, exact) << ratio;
        const double ideal = static_cast<double>(inputs) * kOne / ratio;
        EXPECT_LE(std::abs(static_cast<double>(total) - ideal), asrc_poly_delay(ratio) * 2.0 + 1);
    }
}

// A constant input comes out exactly: every phase of the table sums to one.
TEST(PolyGain, DcPassesExactlyAtEveryRatio)
{
    for (const double ratio : {0.5, 0.91875, 1.0, 1.00001, 1.0884, 1.5, 2.0}) {
        for (const std::int16_t level : {std::int16_t{-32768}, std::int16_t{-1}, std::int16_t{12345},
                                         std::int16_t{29000}}) {
            asrc_poly_state s;
            asrc_poly_init(&s, ratio_of(ratio));
            std::vector<std::int16_t> in(2000, level);
            std::vector<std::int16_t> out(static_cast<std::size_t>(asrc_poly_max_output(2000, ratio_of(ratio))));
            std::int32_t nin = 2000;
            std::int32_t nout = 0;
            asrc_poly_process_block(&s, out.data(), in.data(), &nin, &nout);
            ASSERT_GT(nout, 600);
            // Past the filter's reach of the silence before the stream.
            const auto first = static_cast<std::size_t>(260 / ratio);
            for (std::size_t k = first; k < static_cast<std::size_t>(nout); ++k)
                ASSERT_EQ(out[k], level) << "ratio " << ratio << " output " << k;
        }
    }
}

// A full-scale square wave overshoots: the overshoot is clipped and counted,
// and nothing wraps to the other sign.
TEST(PolyClipping, SquareWaveSaturatesAndIsCounted)
{
    for (const double ratio : {0.91875, 1.0, 1.0884}) {
        std::vector<std::int16_t> x(4000);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = (i / 50) % 2 ? std::int16_t{-32768} : std::int16_t{32767};
        const LibraryRun got = library(x, {ratio_of(ratio)}, {4000});
        const reference_poly::Result want = reference_poly::convert(x, {ratio_of(ratio)}, {4000});
        EXPECT_EQ(got.out, want.out);
        EXPECT_GT(got.clipped, 20u) << ratio;
        EXPECT_EQ(got.clipped, want.clipped);
        // Around each edge the output rings but keeps the sign of its side.
        std::size_t wrong_sign = 0;
        for (std::size_t k = 0; k < got.out.size(); ++k) {
            const double t = static_cast<double>(k) * ratio;
            const double into_half = std::fmod(t, 50.0);
            if (t > 200 && into_half > 12 && into_half < 38) {
                const bool high = static_cast<long>(t / 50) % 2 == 0;
                wrong_sign += high ? got.out[k] < 30000 : got.out[k] > -30000;
            }
        }
        EXPECT_EQ(wrong_sign, 0u) << ratio;
    }
    // The count stops at its largest value instead of wrapping to 0.
    asrc_poly_state s;
    asrc_poly_init(&s, kOne);
    s.clipped = 0xFFFFFFFEu;
    std::vector<std::int16_t> x(2000);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = (i / 50) % 2 ? std::int16_t{-32768} : std::int16_t{32767};
    std::vector<std::int16_t> out(static_cast<std::size_t>(asrc_poly_max_output(2000, kOne)));
    std::int32_t nin = 2000;
    std::int32_t nout = 0;
    asrc_poly_process_block(&s, out.data(), x.data(), &nin, &nout);
    EXPECT_EQ(s.clipped, 0xFFFFFFFFu);
}

// Changing the ratio moves nothing: what the converter holds beyond the
// next output stays.  Once outputs flow at a steady delay, what it holds
// after each call lies in (delay - 1 - ratio, delay - 1].
TEST(PolyPosition, SetRatioKeepsThePositionAndHeldInputInRange)
{
    asrc_poly_state s;
    asrc_poly_init(&s, kOne);
    EXPECT_EQ(asrc_poly_input_held(&s), -(std::int64_t{1} << 30));
    std::mt19937 rng(3);
    const std::vector<std::int16_t> x = random_samples(rng, 48);
    std::vector<std::int16_t> out(512);
    std::uniform_int_distribution<std::uint32_t> r(ASRC_POLY_RATIO_MIN, ASRC_POLY_RATIO_MAX);
    int steady = 0; // calls since the delay last changed
    for (int i = 0; i < 3000; ++i) {
        const std::int64_t held = asrc_poly_input_held(&s);
        const bool wide = i % 200 < 20;
        const std::uint32_t ratio = wide ? r(rng) : ratio_of(1.0 + 1e-4 * (i % 7 - 3));
        const std::int32_t old_delay = s.delay;
        ASSERT_EQ(asrc_poly_set_ratio(&s, ratio), 0);
        ASSERT_EQ(asrc_poly_input_held(&s), held);
        steady = s.delay == old_delay ? steady + 1 : 0;
        std::int32_t nin = 48;
        std::int32_t nout = 0;
        asrc_poly_process_block(&s, out.data(), x.data(), &nin, &nout);
        if (steady > 4) {
            const std::int64_t after = asrc_poly_input_held(&s);
            const std::int64_t top = std::int64_t{s.delay - 1} << 30;
            ASSERT_LE(after, top) << i;
            ASSERT_GT(after, top - ratio) << i;
        }
    }
}

// ---- rows for one stride -------------------------------------------------

// Every stride's rows fit 16 bits, read no further back than the history
// allows, and keep each 32-bit lane of the vector sums below 2^31: the
// coarsest lanes (SSE2's, taps i and i + 1 of every 8) for the hi parts, the
// whole row for the lo and d parts, which are summed in 32 bits.
TEST(PolyRows, EveryStrideFitsSixteenBitsAndItsLanes)
{
    auto rows = std::make_unique<asrc_poly_rows>();
    for (std::uint32_t stride = 129; stride <= 255; ++stride) {
        // The largest ratio whose stride this is (2:1 for the last).
        const auto ratio = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            (std::uint64_t{ASRC_POLY_RATIO_FULL_BAND} << 8) / stride, ASRC_POLY_RATIO_MAX));
        ASSERT_EQ(asrc_poly_stride(ratio), static_cast<std::int32_t>(stride));
        ASSERT_EQ(asrc_poly_rows_init(rows.get(), ratio), 0);
        ASSERT_EQ(-rows->first, 16383 / static_cast<int>(stride)); // the folded sum's reach
        ASSERT_LE(static_cast<std::int64_t>(stride) * rows->taps, ASRC_POLY_ROWS_ENTRIES);
        for (std::uint32_t a = 0; a < stride; ++a) {
            std::int64_t lane_hi[4] = {};
            std::int64_t total_lo = 0;
            std::int64_t total_d = 0;
            for (int i = 0; i < rows->taps; ++i) {
                const std::size_t at = a * static_cast<std::size_t>(rows->taps) + static_cast<std::size_t>(i);
                lane_hi[(i % 8) / 2] += std::abs(rows->hi[at]);
                total_lo += rows->lo[at];
                total_d += std::abs(rows->d[at]);
                // The parts are the table's entries, exactly.
                const std::int64_t q = 16384 + std::int64_t{stride} * (rows->first + i) - a;
                ASSERT_EQ(64 * rows->hi[at] + rows->lo[at], reference_poly::table(q));
                ASSERT_EQ(rows->d[at], reference_poly::table(q - 1) - reference_poly::table(q));
            }
            for (const std::int64_t l : lane_hi)
                ASSERT_LT(32768 * l, std::int64_t{1} << 31) << stride << " " << a;
            ASSERT_LT(32768 * total_lo, std::int64_t{1} << 31);
            ASSERT_LT(32768 * total_d, std::int64_t{1} << 31);
        }
    }
}

// Each vector path's sum on the rows is the folded table's sum, on random
// inputs and on full-scale inputs with the signs that make the hi parts'
// sums largest, at strides whose rows end on and off a whole vector.
TEST(PolyRows, VectorSumsEqualTheFoldedSum)
{
    using namespace asrc_poly_detail;
    std::vector<RowsSum> kernels;
#ifdef ASRC_POLY_X86_KERNELS
    kernels.push_back(rows_sum_sse2);
    if (asrc_cpu_detail::has_avx2())
        kernels.push_back(rows_sum_avx2);
    if (asrc_cpu_detail::has_avx512_vnni())
        kernels.push_back(rows_sum_avx512);
#endif
    if (kernels.empty())
        GTEST_SKIP() << "no vector path for the rows here";
    auto rows = std::make_unique<asrc_poly_rows>();
    std::mt19937 rng(5);
    std::vector<std::int16_t> window(600);
    std::uniform_int_distribution<std::uint32_t> frac(0, (1u << 30) - 1);
    for (const int stride : {129, 130, 132, 160, 171, 237, 255}) {
        const auto ratio = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            (std::uint64_t{ASRC_POLY_RATIO_FULL_BAND} << 8) / static_cast<unsigned>(stride),
            ASRC_POLY_RATIO_MAX));
        ASSERT_EQ(asrc_poly_rows_init(rows.get(), ratio), 0);
        for (int round = 0; round < 300; ++round) {
            const std::uint32_t f = frac(rng);
            const std::uint64_t m = static_cast<std::uint64_t>(stride) * f;
            const auto a = static_cast<std::int32_t>(m >> 30);
            const auto phi = static_cast<std::int32_t>((m >> 15) & 0x7FFF);
            const std::int16_t* row_hi = rows->hi + a * rows->taps;
            for (std::size_t i = 0; i < window.size(); ++i) {
                const auto tap = static_cast<std::int64_t>(i) - 300 - rows->first;
                const bool inside = tap >= 0 && tap < rows->taps;
                const int sign = inside && row_hi[tap] < 0 ? -1 : 1;
                window[i] = round % 2 == 0 ? static_cast<std::int16_t>(rng())
                                           : static_cast<std::int16_t>(sign > 0 ? 32767 : -32768);
            }
            const std::int16_t* xn = window.data() + 300;
            const std::int64_t want = filter_sum(xn, f, stride);
            const std::size_t at = static_cast<std::size_t>(a) * static_cast<std::size_t>(rows->taps);
            for (const RowsSum k : kernels)
                ASSERT_EQ(k(xn + rows->first, rows->hi + at, rows->lo + at, rows->d + at,
                            rows->taps, phi),
                          want)
                    << "stride " << stride << " frac " << f;
        }
    }
}

// With rows for its stride the converter gives what it gives without, bit
// for bit, through ratio changes that leave the rows' stride (and fall back
// to the folded table) and come back.
TEST(PolyRows, GiveTheSameOutputsAsTheFoldedTable)
{
    auto rows = std::make_unique<asrc_poly_rows>();
    std::mt19937 rng(21);
    const std::vector<std::int16_t> x = random_samples(rng, 20000);
    for (const std::uint32_t ratio : {asrc_poly_ratio(48000, 44100), asrc_poly_ratio(96000, 48000),
                                      ratio_of(1.5), ASRC_POLY_RATIO_FULL_BAND + 1}) {
        ASSERT_EQ(asrc_poly_rows_init(rows.get(), ratio), 0);
        EXPECT_EQ(rows->stride, asrc_poly_stride(ratio));
        asrc_poly_state a;
        asrc_poly_state b;
        asrc_poly_init(&a, ratio);
        asrc_poly_init(&b, ratio);
        std::vector<std::int16_t> out_a(1024);
        std::vector<std::int16_t> out_b(1024);
        std::uniform_int_distribution<int> len(1, 300);
        std::size_t used_rows = 0;
        for (std::size_t at = 0, call = 0; at < x.size(); ++call) {
            // Now and then a ratio of another stride, or of full band.
            const std::uint32_t r = call % 7 == 3 ? ratio_of(1.0 + 0.3 * static_cast<double>(call % 3)) : ratio;
            asrc_poly_set_ratio(&a, r);
            asrc_poly_set_ratio(&b, r);
            used_rows += r == ratio;
            std::int32_t n = std::min<std::int32_t>(len(rng), static_cast<std::int32_t>(x.size() - at));
            std::int32_t n2 = n;
            std::int32_t na = 0;
            std::int32_t nb = 0;
            asrc_poly_process_block(&a, out_a.data(), x.data() + at, &n, &na);
            asrc_poly_process_block_rows(&b, rows.get(), out_b.data(), x.data() + at, &n2, &nb);
            ASSERT_EQ(na, nb);
            ASSERT_TRUE(std::equal(out_a.begin(), out_a.begin() + na, out_b.begin())) << at;
            at += static_cast<std::size_t>(n);
        }
        EXPECT_GT(used_rows, 20u);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    }
    // Rows are not needed at full band; a refused ratio leaves them alone.
    ASSERT_EQ(asrc_poly_rows_init(rows.get(), kOne), 0);
    EXPECT_EQ(rows->stride, 256);
    rows->stride = 4321;
    EXPECT_EQ(asrc_poly_rows_init(rows.get(), 3 * kOne), -1);
    EXPECT_EQ(rows->stride, 4321);
}

} // namespace
