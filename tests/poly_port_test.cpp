// What the ports of the polyphase converter rely on.  The schedule that
// tools/poly_hash runs on every platform (native, i686 Windows under wine,
// Cortex-M under qemu), here through the plain reference as well: the
// library's hash must equal the reference's, so that the hash the other
// machines are held to is the right one.  The divisions the library does
// without `/` (so that it needs no libgcc helper on Cortex-M3 and up): the
// same results as asrc_poly.h's and plain division.  And the unrolled
// full-band sum that cores without vector sums run: the general sum's
// integer at every table position.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "poly_hash.h"
#include "internal/poly_kernels.h"
#include "reference_poly.h"

namespace {

// reference_poly::convert, one block at a time: the whole input kept, every
// output due once floor(t) + delay <= newest input, from value_at.
struct ReferenceChannel {
    std::vector<std::int16_t> x;
    std::int64_t t = 0;
    std::int64_t newest = -1;
    std::uint32_t ratio = 0;
    std::uint32_t clipped = 0;

    static bool in_range(std::uint32_t r)
    {
        return r >= ASRC_POLY_RATIO_MIN && r <= ASRC_POLY_RATIO_MAX;
    }
    int init(std::uint32_t r)
    {
        if (!in_range(r))
            return -1;
        *this = ReferenceChannel{};
        ratio = r;
        return 0;
    }
    int set_ratio(std::uint32_t r)
    {
        if (!in_range(r))
            return -1;
        ratio = r;
        return 0;
    }
    void process(std::int16_t* out, const std::int16_t* in, std::int32_t* nin, std::int32_t* nout)
    {
        const std::int32_t count = *nin > 0 ? *nin : 0;
        const std::int32_t stride = asrc_poly_stride(ratio);
        const std::int32_t delay = asrc_poly_delay(ratio);
        std::int32_t n = 0;
        for (std::int32_t i = 0; i < count; ++i) {
            x.push_back(in[i]);
            ++newest;
            while ((t >> 30) + delay <= newest) {
                std::int64_t y = reference_poly::value_at(x, t, stride);
                if (y > 32767 || y < -32768) {
                    ++clipped;
                    y = y > 0 ? 32767 : -32768;
                }
                out[n++] = static_cast<std::int16_t>(y);
                t += ratio;
            }
        }
        *nin = count;
        *nout = n;
    }
    poly_hash::Final final() const
    {
        const auto frac = static_cast<std::uint32_t>(t & ((std::int64_t{1} << 30) - 1));
        const auto lag = static_cast<std::int32_t>(newest - (t >> 30));
        return {clipped,
                frac,
                lag,
                static_cast<std::uint32_t>((newest + 1) % ASRC_POLY_HISTORY),
                std::int64_t{lag} * (std::int64_t{1} << 30) - frac,
                ratio,
                asrc_poly_stride(ratio),
                asrc_poly_delay(ratio)};
    }
};

template <typename Channel>
poly_hash::Summary run(std::uint64_t seed, std::int64_t calls)
{
    static poly_hash::Driver<Channel> driver; // large: not on the stack
    return driver.run(seed, calls);
}

// Seed 1 with 2000 calls is tools/arm_check.sh's default run and the first
// of tools/windows_e2e.sh's; poly_hash's own default is 600 calls.
TEST(PolyHash, TheLibraryGivesTheReferencesHash)
{
    struct Run {
        std::uint64_t seed;
        std::int64_t calls;
    };
    for (const Run r : {Run{1, 2000}, Run{1, 600}, Run{2, 600}, Run{3, 600}, Run{4, 600}}) {
        SCOPED_TRACE(r.seed);
        SCOPED_TRACE(r.calls);
        const poly_hash::Summary lib = run<poly_hash::LibraryChannel>(r.seed, r.calls);
        ASSERT_EQ(lib.failure, nullptr) << lib.failure << " at call " << lib.failed_call;
        const poly_hash::Summary ref = run<ReferenceChannel>(r.seed, r.calls);
        ASSERT_EQ(ref.failure, nullptr) << ref.failure << " at call " << ref.failed_call;
        EXPECT_EQ(lib.hash, ref.hash);
        EXPECT_EQ(lib.inputs, ref.inputs);
        EXPECT_EQ(lib.outputs_full_band, ref.outputs_full_band);
        EXPECT_EQ(lib.outputs_stretched, ref.outputs_stretched);
        EXPECT_EQ(lib.clipped, ref.clipped);
        // The schedule reaches what it is meant to reach.
        EXPECT_GT(lib.outputs_full_band, 10000);
        EXPECT_GT(lib.outputs_stretched, 10000);
        EXPECT_GT(lib.clipped, 100);
        EXPECT_GT(lib.ratio_changes, 40);
        EXPECT_GT(lib.refused, 0);
    }
}

// A single wrong output changes the hash: the hash sees every sample.
TEST(PolyHash, OneOutputOffByOneChangesTheHash)
{
    struct OffByOne : poly_hash::LibraryChannel {
        int calls = 0;
        void process(std::int16_t* out, const std::int16_t* in, std::int32_t* nin,
                     std::int32_t* nout)
        {
            poly_hash::LibraryChannel::process(out, in, nin, nout);
            if (++calls == 100 && *nout > 0)
                out[*nout - 1] = static_cast<std::int16_t>(out[*nout - 1] ^ 1);
        }
    };
    const poly_hash::Summary good = run<poly_hash::LibraryChannel>(1, 600);
    const poly_hash::Summary bad = run<OffByOne>(1, 600);
    EXPECT_NE(good.hash, bad.hash);
}

// The library's stride and delay (computed without a 64-bit `/`) are
// asrc_poly.h's at every step of the stride, either side of it, and at
// random ratios.
TEST(PolyDivision, StrideAndDelayAreTheHeaders)
{
    std::vector<std::uint32_t> ratios = {ASRC_POLY_RATIO_MIN, ASRC_POLY_RATIO_ONE,
                                         ASRC_POLY_RATIO_FULL_BAND, ASRC_POLY_RATIO_MAX};
    for (std::uint32_t s = 130; s <= 256; ++s)
        for (const std::int64_t d : {-2, -1, 0, 1, 2}) {
            const std::int64_t r = std::int64_t{poly_hash::detail::stride_step(s)} + d;
            if (r <= ASRC_POLY_RATIO_MAX)
                ratios.push_back(static_cast<std::uint32_t>(r));
        }
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::uint32_t> any(ASRC_POLY_RATIO_MIN, ASRC_POLY_RATIO_MAX);
    for (int i = 0; i < 200000; ++i)
        ratios.push_back(any(rng));
    asrc_poly_state s;
    for (const std::uint32_t r : ratios) {
        ASSERT_EQ(asrc_poly_init(&s, r), 0);
        ASSERT_EQ(s.stride, asrc_poly_stride(r)) << r;
        ASSERT_EQ(s.delay, asrc_poly_delay(r)) << r;
        ASSERT_EQ(asrc_poly_set_ratio(&s, r), 0);
        ASSERT_EQ(s.stride, asrc_poly_stride(r)) << r;
        ASSERT_EQ(s.delay, asrc_poly_delay(r)) << r;
    }
}

// asrc_poly_ratio against the plain formula: rates of every size, and the
// pairs whose quotient lies at or beside either end of the range.
TEST(PolyDivision, RatioFromRatesIsThePlainQuotient)
{
    const auto plain = [](std::uint32_t in, std::uint32_t out) -> std::uint32_t {
        if (in == 0 || out == 0)
            return 0;
        const std::uint64_t q = ((std::uint64_t{in} << 30) + out / 2) / out;
        return q >= ASRC_POLY_RATIO_MIN && q <= ASRC_POLY_RATIO_MAX ? static_cast<std::uint32_t>(q)
                                                                    : 0;
    };
    std::mt19937_64 rng(8);
    std::vector<std::uint32_t> outs = {1, 2, 3, 7, 44100, 48000, 0x7FFFFFFFu, 0x80000000u,
                                       0xFFFFFFFEu, 0xFFFFFFFFu};
    for (int i = 0; i < 2000; ++i) {
        const int bits = static_cast<int>(rng() % 32) + 1;
        outs.push_back(static_cast<std::uint32_t>(rng() >> (64 - bits)) | 1u);
    }
    int accepted = 0;
    for (const std::uint32_t out : outs) {
        // in = out / 2 and out * 2, and their neighbours, where they fit;
        // then any in of a similar size, and any in at all.
        std::vector<std::uint64_t> ins = {0, 1, 0xFFFFFFFFu, out / 2, out * std::uint64_t{2}};
        for (std::uint64_t base : {std::uint64_t{out / 2}, std::uint64_t{out} * 2})
            for (std::uint64_t d = 0; d < 4; ++d)
                ins.insert(ins.end(), {base + d, base - d});
        for (int i = 0; i < 50; ++i)
            ins.push_back(out / 2 + rng() % (std::uint64_t{out} * 3 / 2 + 1));
        ins.push_back(rng() >> 32);
        for (const std::uint64_t in : ins) {
            if (in > 0xFFFFFFFFu)
                continue;
            const auto i32 = static_cast<std::uint32_t>(in);
            ASSERT_EQ(asrc_poly_ratio(i32, out), plain(i32, out)) << in << "/" << out;
            accepted += plain(i32, out) != 0;
        }
    }
    EXPECT_GT(accepted, 50000);
}

// full_band_sum_portable against filter_sum at stride 256 and against the
// sum as asrc_poly.h defines it, at all 256 table offsets a (with the low
// bits of the fraction at both ends and between), on random inputs and on
// full-scale inputs with the coefficients' signs (the largest sums).
TEST(PolyPortable, UnrolledFullBandSumIsTheGeneralSum)
{
    using namespace asrc_poly_detail;
    std::mt19937 rng(21);
    std::vector<std::int16_t> window(256);
    const std::int16_t* xn = window.data() + 128;
    for (std::uint32_t a = 0; a < 256; ++a)
        for (const std::uint32_t low :
             {0u, (1u << 22) - 1, static_cast<std::uint32_t>(rng()) >> 10})
            for (int kind = 0; kind < 3; ++kind) {
                const std::uint32_t frac = a << 22 | low;
                const std::int64_t phi = (frac >> 7) & 0x7FFF;
                const std::int64_t at = a;
                for (int i = 0; i < 256; ++i) {
                    const std::int64_t c = reference_poly::table(16384 + 256 * (i - 128) - at);
                    window[static_cast<std::size_t>(i)] =
                        kind == 0   ? static_cast<std::int16_t>(rng())
                        : kind == 1 ? static_cast<std::int16_t>(c < 0 ? -32768 : 32767)
                                    : static_cast<std::int16_t>(c < 0 ? 32767 : -32768);
                }
                std::int64_t want = 0;
                for (int j = -128; j < 128; ++j) {
                    const std::int64_t q = 16384 + 256 * j - at;
                    const std::int64_t f = reference_poly::table(q);
                    want += xn[j] * (f * 32768 + phi * (reference_poly::table(q - 1) - f));
                }
                ASSERT_EQ(full_band_sum_portable(xn, frac), want) << frac << " " << kind;
                ASSERT_EQ(filter_sum(xn, frac, 256), want) << frac << " " << kind;
            }
}

} // namespace
