// The 24-bit converter: its contract, its bits against the plain reference
// (every vector path included), and its quality on -1 dBFS tones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "asrc_q31.h"
#include "internal/q31_kernels.h"
#include "reference_q31.h"
#include "sine_fit.h"

namespace {

constexpr uint64_t kOne = ASRC_Q31_RATIO_ONE;

struct Stream {
    std::vector<int32_t> mem, table;
    asrc_q31_state s{};
    // With `rows`, the state gets memory for its own stretched rows.
    Stream(int channels, uint64_t ratio, uint64_t max_ratio, bool rows = false)
        : mem(static_cast<size_t>(asrc_q31_memory_words(channels, max_ratio))),
          table(rows ? static_cast<size_t>(asrc_q31_table_words(max_ratio)) : 0)
    {
        EXPECT_EQ(asrc_q31_init(&s, mem.data(), static_cast<int32_t>(mem.size()), channels, ratio,
                                max_ratio),
                  0);
        if (rows) {
            EXPECT_EQ(asrc_q31_attach_table(&s, table.data(), static_cast<int32_t>(table.size())), 0);
        }
    }
    // Converts `in` in one call; appends to `out`.
    void run(const int32_t* in, int32_t frames, std::vector<int32_t>& out)
    {
        const int64_t room = asrc_q31_max_output(frames, s.ratio) * s.channels;
        const size_t at = out.size();
        // Guard entries past the promised room must stay untouched.
        out.resize(at + static_cast<size_t>(room) + 4, 0x5A5A5A5A);
        int32_t nin = frames, nout = -7;
        asrc_q31_process_block(&s, out.data() + at, in, &nin, &nout);
        EXPECT_EQ(nin, frames > 0 ? frames : 0);
        ASSERT_GE(nout, 0);
        ASSERT_LE(int64_t{nout} * s.channels, room);
        for (size_t i = at + static_cast<size_t>(room); i < out.size(); ++i)
            ASSERT_EQ(out[i], 0x5A5A5A5A);
        out.resize(at + static_cast<size_t>(nout) * static_cast<size_t>(s.channels));
    }
};

uint64_t rates(double in, double out)
{
    return asrc_q31_ratio(static_cast<uint32_t>(std::lround(in)), static_cast<uint32_t>(std::lround(out)));
}

TEST(Q31Contract, RatiosDelaysAndRefusals)
{
    EXPECT_EQ(asrc_q31_ratio(44100, 48000), 1010176308019u); // round(0.91875 * 2^40)
    EXPECT_EQ(asrc_q31_ratio(48000, 48000), kOne);
    EXPECT_EQ(asrc_q31_ratio(192000, 8000), 24 * kOne);
    EXPECT_EQ(asrc_q31_ratio(8000, 192000), (kOne + 12) / 24);
    EXPECT_EQ(asrc_q31_ratio(26, 1), 0u); // beyond 25
    EXPECT_EQ(asrc_q31_ratio(UINT32_MAX, 1), 0u);
    EXPECT_EQ(asrc_q31_ratio(UINT32_MAX, UINT32_MAX / 25), 0u);
    EXPECT_EQ(asrc_q31_ratio(25, 1), ASRC_Q31_RATIO_MAX);
    EXPECT_EQ(asrc_q31_ratio(1, 25), ASRC_Q31_RATIO_MIN); // 2^40 / 25 = ...111.04
    EXPECT_EQ(asrc_q31_ratio(0, 48000), 0u);
    EXPECT_EQ(asrc_q31_ratio(48000, 0), 0u);
    EXPECT_EQ(asrc_q31_ratio_from_q30(1u << 30), kOne);

    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_MIN), ASRC_Q31_DELAY_MIN);
    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_FULL_BAND), ASRC_Q31_DELAY_MIN);
    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_FULL_BAND + 1), ASRC_Q31_DELAY_MIN + 1);
    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_MAX), ASRC_Q31_DELAY_MAX);
    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_MAX + 1), 0);
    EXPECT_EQ(asrc_q31_delay(ASRC_Q31_RATIO_MIN - 1), 0);
    // The macro sizes static arrays: never below the function.
    EXPECT_GE(ASRC_Q31_MEMORY_WORDS(8, 1), asrc_q31_memory_words(8, kOne));
    EXPECT_GE(ASRC_Q31_MEMORY_WORDS(3, 10), asrc_q31_memory_words(3, 10 * kOne));
    EXPECT_GE(ASRC_Q31_MEMORY_WORDS(1, 25), asrc_q31_memory_words(1, ASRC_Q31_RATIO_MAX));
    EXPECT_EQ(asrc_q31_memory_words(0, kOne), 0);
    EXPECT_EQ(asrc_q31_memory_words(9, kOne), 0);

    struct Row {
        int32_t channels;
        uint64_t ratio, max_ratio;
        int32_t words_short; // words fewer than needed
        bool null_memory;
    };
    const Row refused[] = {
        {0, kOne, kOne, 0, false},       {9, kOne, kOne, 0, false},
        {2, 2 * kOne, kOne, 0, false},   {2, kOne, ASRC_Q31_RATIO_MAX + 1, 0, false},
        {2, ASRC_Q31_RATIO_MIN - 1, kOne, 0, false}, {2, kOne, kOne, 1, false},
        {2, kOne, kOne, 0, true},
    };
    for (const Row& r : refused) {
        std::vector<int32_t> mem(4096 * 8, 7);
        asrc_q31_state s{};
        s.channels = 99;
        const int32_t need = asrc_q31_memory_words(r.channels, r.max_ratio);
        EXPECT_EQ(asrc_q31_init(&s, r.null_memory ? nullptr : mem.data(),
                                need > 0 ? need - r.words_short : 64, r.channels, r.ratio,
                                r.max_ratio),
                  -1);
        EXPECT_EQ(s.channels, 99);
        EXPECT_EQ(mem[0], 7);
    }

    Stream st(2, kOne, 2 * kOne);
    EXPECT_EQ(asrc_q31_set_ratio(&st.s, 2 * kOne), 0);
    EXPECT_EQ(asrc_q31_set_ratio(&st.s, 2 * kOne + 1), -1); // beyond its memory
    EXPECT_EQ(asrc_q31_set_ratio(&st.s, ASRC_Q31_RATIO_MIN - 1), -1);
    EXPECT_EQ(st.s.ratio, 2 * kOne);
    EXPECT_EQ(asrc_q31_max_output(0, kOne), 0);
    EXPECT_EQ(asrc_q31_max_output(-5, kOne), 0);
    EXPECT_EQ(asrc_q31_max_output(10, 0), 0);
    EXPECT_EQ(asrc_q31_max_output(1000, kOne), 1000 + ASRC_Q31_DELAY_MAX - ASRC_Q31_DELAY_MIN);

    // Rows: none up to the full band; beyond, 4 x 64 rows of 2 x delay taps
    // rounded up to 16, and 15 words to reach a 64-byte boundary.
    EXPECT_EQ(asrc_q31_table_words(ASRC_Q31_RATIO_FULL_BAND), 0);
    EXPECT_EQ(asrc_q31_table_words(2 * kOne), 4 * 64 * 384 + 15);
    EXPECT_EQ(asrc_q31_table_words(ASRC_Q31_RATIO_MAX), 4 * 64 * 4800 + 15);
    EXPECT_EQ(asrc_q31_table_words(ASRC_Q31_RATIO_MAX + 1), 0);
    std::vector<int32_t> rows(static_cast<size_t>(asrc_q31_table_words(2 * kOne)), 7);
    const asrc_q31_state before = st.s;
    EXPECT_EQ(asrc_q31_attach_table(&st.s, rows.data(), static_cast<int32_t>(rows.size()) - 1), -1);
    EXPECT_EQ(std::memcmp(&before, &st.s, sizeof before), 0);
    EXPECT_EQ(rows[0], 7);
    EXPECT_EQ(asrc_q31_attach_table(&st.s, rows.data(), static_cast<int32_t>(rows.size())), 0);
    EXPECT_EQ(st.s.table_taps, 2 * asrc_q31_delay(2 * kOne));
    EXPECT_EQ(asrc_q31_set_ratio(&st.s, kOne), 0); // the full band: rows kept, unused
    EXPECT_EQ(st.s.delay, ASRC_Q31_DELAY_MIN);
    EXPECT_EQ(asrc_q31_set_ratio(&st.s, 3 * kOne / 2), 0); // rebuilt for 1.5
    EXPECT_EQ(st.s.delay, asrc_q31_delay(3 * kOne / 2));
    EXPECT_EQ(st.s.table_low, 3 * kOne / 2 - (3 * kOne / 2 >> 10));
    EXPECT_EQ(asrc_q31_attach_table(&st.s, nullptr, 0), 0); // taken away
    EXPECT_EQ(st.s.table, nullptr);
    EXPECT_EQ(st.s.delay, asrc_q31_delay(3 * kOne / 2));
}

// Random streams, channel counts, blocks and ratio changes (within the full
// band, across its edge, and far out): every output sample equals the plain
// reference, and the split into blocks changes nothing.
TEST(Q31Reference, EveryOutputMatches)
{
    struct Row {
        int channels;
        uint64_t first, low, high; // ratios drawn from [low, high] after the first
        int frames;
        int32_t amplitude; // full scale clips on purpose
    };
    const Row rows[] = {
        {1, kOne, kOne - kOne / 500, ASRC_Q31_RATIO_FULL_BAND, 3000, 1 << 30},
        {2, rates(44100, 48000), kOne / 2, kOne + kOne / 50, 3000, INT32_MAX},
        {3, rates(48000, 44100), kOne, kOne + kOne / 8, 3000, 1 << 29},
        {8, ASRC_Q31_RATIO_FULL_BAND, ASRC_Q31_RATIO_FULL_BAND - 3, ASRC_Q31_RATIO_FULL_BAND + 3, 1500,
         INT32_MAX},
        {2, 4 * kOne, 3 * kOne, 6 * kOne, 6000, 1 << 30},
        {1, 25 * kOne, 24 * kOne, 25 * kOne, 12000, INT32_MAX},
        {5, ASRC_Q31_RATIO_MIN, ASRC_Q31_RATIO_MIN, kOne / 20, 400, 1 << 30},
    };
    std::mt19937_64 rng(20261209);
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.channels << " channels, first ratio " << r.first);
        std::vector<int32_t> in(static_cast<size_t>(r.frames * r.channels));
        std::uniform_int_distribution<int32_t> sample(-r.amplitude, r.amplitude);
        for (auto& v : in)
            v = r.amplitude == INT32_MAX && (rng() & 3) == 0 ? (rng() & 1 ? INT32_MAX : INT32_MIN)
                                                            : sample(rng);
        Stream st(r.channels, r.first, std::max(r.high, r.first));
        std::vector<asrc_ref::Q31RatioChange> changes = {{0, r.first}};
        std::vector<int32_t> out;
        std::uniform_int_distribution<uint64_t> ratio(r.low, r.high);
        for (int at = 0; at < r.frames;) {
            const int len = std::min(r.frames - at, static_cast<int>(rng() % 300) - 5);
            st.run(in.data() + at * r.channels, len, out);
            at += std::max(len, 0);
            if (rng() % 3 == 0) {
                const uint64_t next = ratio(rng);
                ASSERT_EQ(asrc_q31_set_ratio(&st.s, next), 0);
                changes.push_back({static_cast<int64_t>(out.size()) / r.channels, next});
            }
        }
        asrc_ref::ReferenceQ31 ref(in, r.channels, changes);
        const int64_t outputs = static_cast<int64_t>(out.size()) / r.channels;
        ASSERT_GT(outputs, 10);
        std::vector<int32_t> frame(static_cast<size_t>(r.channels));
        for (int64_t k = 0; k < outputs; ++k) {
            ASSERT_TRUE(ref.output(k, frame.data())) << "output " << k << " came early";
            for (int ch = 0; ch < r.channels; ++ch)
                ASSERT_EQ(out[static_cast<size_t>(k * r.channels + ch)], frame[static_cast<size_t>(ch)])
                    << "output " << k << " channel " << ch;
        }
        // Nothing is held back that could have been given (unless a ratio
        // change after the last block shrank the delay: those come with
        // the next call).
        if (changes.back().at_output < outputs) {
            EXPECT_FALSE(ref.output(outputs, frame.data()));
        }
    }
}

// The vector sums that this processor runs give the portable sums' bits.
TEST(Q31Reference, VectorPathsMatchPortable)
{
    using namespace asrc_q31_detail;
#ifdef ASRC_Q31_X86_KERNELS
    using namespace asrc_cpu_detail;
#endif
    std::mt19937_64 rng(7);
    // The prototype's 192 taps and a state's own rows: counts that leave
    // a tail past the last whole vector of 8 or 16.
    constexpr int kMost = 501, kStride = 512; // rows readable to a whole vector
    std::vector<int32_t> x(8 * (kMost + 8)), coef(4 * kStride);
    for (auto& v : x)
        v = static_cast<int32_t>(rng());
    const int32_t* rows[8];
    for (int ch = 0; ch < 8; ++ch)
        rows[ch] = x.data() + ch * (kMost + 8) + ch;
    int paths = 0;
    for (FullBandSums path : {best_full_band_sums()
#ifdef ASRC_Q31_X86_KERNELS
                              ,
                              has_avx2() ? full_band_sums_avx2 : nullptr,
                              has_avx512_dq_vl() ? full_band_sums_avx512 : nullptr
#endif
         }) {
        if (path == nullptr)
            continue;
        ++paths;
        for (uint32_t p = 0; p < 64; ++p) {
            int64_t want[32], got[32];
            full_band_sums_portable(rows, 8, p, want);
            path(rows, 8, p, got);
            for (int i = 0; i < 32; ++i)
                ASSERT_EQ(got[i], want[i]) << "row " << p;
        }
    }
    for (RowSums path : {best_row_sums()
#ifdef ASRC_Q31_X86_KERNELS
                         ,
                         has_avx2() ? row_sums_avx2 : nullptr,
                         has_avx512_dq_vl() ? row_sums_avx512 : nullptr
#endif
         }) {
        if (path == nullptr)
            continue;
        ++paths;
        for (int32_t taps : {1, 7, 17, 31, 192, 210, kMost}) {
            for (auto& v : coef)
                v = static_cast<int32_t>(rng() % (1u << 21)) - (1 << 20);
            const int32_t* a[4] = {&coef[0], &coef[kStride], &coef[2 * kStride], &coef[3 * kStride]};
            int64_t want[32], got[32];
            row_sums_portable(rows, 8, a, taps, want);
            path(rows, 8, a, taps, got);
            for (int i = 0; i < 32; ++i)
                ASSERT_EQ(got[i], want[i]) << taps << " taps";
        }
    }
    EXPECT_GE(paths, 2);

    // The stretched filter's coefficients, at places all over the table
    // (the first taps past its end are the caller's to skip).
    for (StretchedRow path : {best_stretched_row()
#if defined(ASRC_Q31_X86_KERNELS) && !defined(ASRC_Q31_SMALL)
                              ,
                              has_avx512_dq_vl() ? stretched_row_avx512 : nullptr,
                              has_avx2() ? stretched_row_avx2 : nullptr
#endif
         }) {
        if (path == nullptr)
            continue;
        for (int trial = 0; trial < 200; ++trial) {
            const uint64_t step = (uint64_t{1} << 32) + rng() % ((uint64_t{64} << 32) - (uint64_t{1} << 32));
            const int32_t n = 1 + static_cast<int32_t>(rng() % 128);
            const uint64_t end = uint64_t{192 * 64} << 32;
            // A third of the trials run below the first piece (the place
            // wraps): those taps must come out zero on every path.
            const uint64_t x = trial % 3 == 0 ? rng() % (static_cast<uint64_t>(n) * step)
                                              : static_cast<uint64_t>(n - 1) * step +
                                                    rng() % (end - static_cast<uint64_t>(n - 1) * step);
            const int32_t gain = static_cast<int32_t>(rng() & 0x7FFFFFFF);
            int32_t want[129], got[129];
            got[n] = want[n] = 12345;
            stretched_row_portable(want, n, x, step, gain);
            path(got, n, x, step, gain);
            for (int32_t j = 0; j <= n; ++j)
                ASSERT_EQ(got[j], want[j]) << "tap " << j << " of " << n;
        }
    }
}

// Q1.31 -1 dBFS tones: SINAD by a sine fit at the output's exact frequency,
// level, and DC.
struct Conversion {
    double in_rate, out_rate;
};

std::vector<int32_t> convert_tone(const Conversion& c, double hz, int frames, int channels,
                                  double amplitude, uint64_t* ratio_out, bool rows = false)
{
    const uint64_t ratio = rates(c.in_rate, c.out_rate);
    *ratio_out = ratio;
    Stream st(channels, ratio, ratio, rows);
    std::vector<int32_t> in(static_cast<size_t>(frames * channels));
    const double w = 2 * M_PI * hz / c.in_rate;
    for (int i = 0; i < frames; ++i)
        for (int ch = 0; ch < channels; ++ch)
            in[static_cast<size_t>(i * channels + ch)] =
                static_cast<int32_t>(std::lrint(amplitude * std::sin(w * i + ch)));
    std::vector<int32_t> out;
    st.run(in.data(), frames, out);
    EXPECT_EQ(st.s.clipped, 0u);
    return out;
}

TEST(Q31Quality, TonesReach140dBAndKeepTheirLevel)
{
    const Conversion conversions[] = {
        {48000, 48000 * (1 - 1e-4)}, {48000, 48000 * (1 + 1e-4)}, {48000, 48000 * (1 - 1e-3)},
        {48000, 48000 * (1 + 1e-3)}, {48000, 48000 * (1 - 1e-2)}, {48000, 48000 * (1 + 1e-2)},
        {44100, 48000},              {48000, 44100},              {48000, 96000},
        {96000, 48000},              {44100, 96000},              {192000, 44100},
    };
    const double amplitude = 2147483648.0 * std::pow(10, -1 / 20.0);
    for (const Conversion& c : conversions)
      for (const bool rows : {false, true}) {
        if (rows && rates(c.in_rate, c.out_rate) <= ASRC_Q31_RATIO_FULL_BAND)
            continue; // the rows serve only beyond the full band
        const double top = std::min(20000.0, 0.45 * std::min(c.in_rate, c.out_rate));
        for (double hz : {20.0, 997.0, 10000.0, top}) {
            SCOPED_TRACE(testing::Message() << c.in_rate << " -> " << c.out_rate << " Hz, tone "
                                            << hz << (rows ? ", own rows" : ""));
            // About 0.4 s of output; two channels, so that the second's
            // sums are checked too.
            const int frames = static_cast<int>(0.4 * c.in_rate);
            uint64_t ratio = 0;
            const std::vector<int32_t> out = convert_tone(c, hz, frames, 2, amplitude, &ratio, rows);
            const double r = static_cast<double>(ratio) / static_cast<double>(kOne);
            const size_t outputs = out.size() / 2;
            for (int ch = 0; ch < 2; ++ch) {
                std::vector<int32_t> y(outputs);
                for (size_t k = 0; k < outputs; ++k)
                    y[k] = out[2 * k + static_cast<size_t>(ch)];
                // Skip the start, where the filter still sees the silence
                // before the stream.
                const size_t from = static_cast<size_t>((asrc_q31_delay(ratio) + 10) / r) + 1;
                const double w = 2 * M_PI * hz / c.in_rate * r;
                const auto fit = asrc_measure::fit_sine_at(y, from, outputs, w);
                EXPECT_GE(fit.sinad_db(), 140.0) << "channel " << ch;
                EXPECT_NEAR(20 * std::log10(fit.amplitude() / amplitude), 0.0, 0.001);
                // The phase: output k is the input at time k * ratio.
                EXPECT_NEAR(std::remainder(fit.phase() - ch, 2 * M_PI), 0.0, 1e-6);
            }
        }
      }
}

// Input above the lower Nyquist frequency, and every image: at most
// -130 dB re full scale.  A full-scale tone just above the output's
// Nyquist frequency going down, and one just below the input's going up
// (whose image lies just above it), measured as the output's rms.
TEST(Q31Quality, AliasesAndImagesStay130dBDown)
{
    struct Row {
        Conversion c;
        double hz;
    };
    const Row rows[] = {
        {{48000, 44100}, 22100}, {{48000, 44100}, 23900}, {{96000, 48000}, 24050},
        {{192000, 44100}, 30000}, {{48000, 48000 * (1 - 1e-3)}, 23990},
        {{44100, 48000}, 22049},  {{48000, 96000}, 23999}, {{44100, 96000}, 22000},
    };
    const double amplitude = 2147483648.0 * std::pow(10, -1 / 20.0);
    for (const Row& row : rows)
      for (const bool own_rows : {false, true}) {
        if (own_rows && rates(row.c.in_rate, row.c.out_rate) <= ASRC_Q31_RATIO_FULL_BAND)
            continue;
        SCOPED_TRACE(testing::Message() << row.c.in_rate << " -> " << row.c.out_rate << ", "
                                        << row.hz << (own_rows ? ", own rows" : ""));
        uint64_t ratio = 0;
        const int frames = static_cast<int>(0.25 * row.c.in_rate);
        const std::vector<int32_t> out =
            convert_tone(row.c, row.hz, frames, 1, amplitude, &ratio, own_rows);
        const double r = static_cast<double>(ratio) / static_cast<double>(kOne);
        const size_t from = static_cast<size_t>((asrc_q31_delay(ratio) + 10) / r) + 1;
        double e2 = 0;
        for (size_t k = from; k < out.size(); ++k)
            e2 += static_cast<double>(out[k]) * static_cast<double>(out[k]);
        const double rms = std::sqrt(e2 / static_cast<double>(out.size() - from));
        if (row.hz > 0.5 * std::min(row.c.in_rate, row.c.out_rate)) {
            // Everything that comes out is alias (-1 dBFS in).
            EXPECT_LE(20 * std::log10(rms / 2147483648.0 + 1e-30), -130.0);
        } else {
            // The tone passes (nearly full, or partly in the transition
            // band); what is not the tone is its image.
            std::vector<int32_t> y(out.begin(), out.end());
            const double w = 2 * M_PI * row.hz / row.c.in_rate * r;
            const auto fit = asrc_measure::fit_sine_at(y, from, y.size(), w);
            EXPECT_LE(20 * std::log10(fit.rms_residual / 2147483648.0), -130.0);
        }
      }
    // Rows serve ratios up to 2^-10 above the one they were built for,
    // where the stopband's edge lies 0.1% below the output's Nyquist
    // frequency: a tone just above it must still stay 130 dB down.
    for (const Row& row : {rows[0], rows[2]}) {
        SCOPED_TRACE(testing::Message() << row.c.in_rate << " -> " << row.c.out_rate
                                        << ", rows built 0.097% below");
        const uint64_t ratio = rates(row.c.in_rate, row.c.out_rate);
        Stream st(1, ratio - ratio / 1030, ratio, true);
        const uint64_t built_high = st.s.table_high;
        ASSERT_EQ(asrc_q31_set_ratio(&st.s, ratio), 0);
        ASSERT_EQ(st.s.table_high, built_high); // served, not rebuilt
        const int frames = static_cast<int>(0.25 * row.c.in_rate);
        std::vector<int32_t> in(static_cast<size_t>(frames)), out;
        for (int i = 0; i < frames; ++i)
            in[static_cast<size_t>(i)] = static_cast<int32_t>(
                std::lrint(amplitude * std::sin(2 * M_PI * row.hz / row.c.in_rate * i)));
        st.run(in.data(), frames, out);
        const size_t from = static_cast<size_t>((st.s.delay + 4) * static_cast<double>(kOne) /
                                                static_cast<double>(ratio)) + 1;
        double e2 = 0;
        for (size_t k = from; k < out.size(); ++k)
            e2 += static_cast<double>(out[k]) * static_cast<double>(out[k]);
        const double rms = std::sqrt(e2 / static_cast<double>(out.size() - from));
        EXPECT_LE(20 * std::log10(rms / 2147483648.0 + 1e-30), -130.0);
    }
}

TEST(Q31Quality, DcPassesExactlyAndFullScaleClipsCounted)
{
    for (uint64_t ratio : {rates(44100, 48000), rates(48000, 44100), kOne + kOne / 1000000,
                           rates(192000, 8000), rates(8000, 192000)}) {
        SCOPED_TRACE(ratio);
        for (int32_t level : {INT32_MAX, INT32_MIN, -1234567, 1})
          for (const bool rows : {false, true}) {
            Stream st(1, ratio, ratio, rows);
            std::vector<int32_t> in(6000, level), out;
            st.run(in.data(), static_cast<int32_t>(in.size()), out);
            const double r = static_cast<double>(ratio) / static_cast<double>(kOne);
            const size_t from = static_cast<size_t>(st.s.delay / r) + 2;
            ASSERT_GT(out.size(), from + 10);
            for (size_t k = from; k < out.size(); ++k)
                ASSERT_EQ(out[k], level) << "output " << k << (rows ? ", own rows" : "");
          }
        // A full-scale square wave rings past full scale: clipped, counted,
        // never wrapped.
        Stream st(1, ratio, ratio);
        std::vector<int32_t> in(8000), out;
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (i / 40) % 2 ? INT32_MIN : INT32_MAX;
        st.run(in.data(), static_cast<int32_t>(in.size()), out);
        EXPECT_GT(st.s.clipped, 0u);
        int64_t wrapped = 0;
        const double r = static_cast<double>(ratio) / static_cast<double>(kOne);
        for (size_t k = static_cast<size_t>(200 / r); k < out.size(); ++k) {
            const size_t i = static_cast<size_t>(static_cast<double>(k) * r); // the input nearby
            if (i + 3 < in.size() && i >= 3 && in[i - 3] == in[i + 3])
                wrapped += (in[i] > 0) != (out[k] > 0);
        }
        EXPECT_EQ(wrapped, 0);
    }
}

// The output count follows the ratio exactly and input_held stays in its
// documented range after every block.
TEST(Q31Contract, CountsFollowTheRatioAndHeldStaysInRange)
{
    for (uint64_t ratio : {rates(44100, 48000), rates(48000, 44100), rates(48000, 192000),
                           rates(176400, 8000), kOne}) {
      for (const bool rows : {false, true}) {
        SCOPED_TRACE(testing::Message() << ratio << (rows ? ", own rows" : ""));
        Stream st(2, ratio, ratio, rows);
        EXPECT_EQ(asrc_q31_input_held(&st.s), -(int64_t{1} << 30));
        std::vector<int32_t> in(2 * 1000, 3), out;
        int64_t inputs = 0;
        const int64_t d = st.s.delay;
        for (int block = 0; block < 40; ++block) {
            const int32_t len = 1 + (block * 37) % 1000;
            st.run(in.data(), len, out);
            inputs += len;
            if (inputs > d + 1) {
                const int64_t held = asrc_q31_input_held(&st.s);
                EXPECT_LE(held, (d - 1) << 30);
                EXPECT_GT(held, ((d - 1) << 30) - static_cast<int64_t>(ratio >> 10));
            }
        }
        // Output k is given once input floor(k * ratio) + d has arrived.
        const int64_t outputs = static_cast<int64_t>(out.size()) / 2;
        const unsigned __int128 last = static_cast<unsigned __int128>(outputs - 1) * ratio;
        const unsigned __int128 next = static_cast<unsigned __int128>(outputs) * ratio;
        EXPECT_LE(static_cast<int64_t>(last >> 40) + d, inputs - 1);
        EXPECT_GT(static_cast<int64_t>(next >> 40) + d, inputs - 1);
      }
    }
}

// A state's own rows: any split into blocks gives the same outputs, with
// ratio changes that rebuild the rows (and cross the full band's edge,
// where they are set aside) at the same input frames.
TEST(Q31Rows, BlocksChangeNothingAcrossRebuilds)
{
    struct Row {
        int channels;
        uint64_t first, low, high;
        int frames;
    };
    const Row rows[] = {
        {2, rates(48000, 44100), rates(48000, 44100) * 99 / 100, rates(48000, 44100) * 101 / 100, 6000},
        {1, rates(192000, 44100), 4 * kOne, 5 * kOne, 12000},
        {3, kOne + kOne / 200, kOne, kOne + kOne / 100, 4000},
    };
    std::mt19937_64 rng(99);
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.channels << " channels, first ratio " << r.first);
        std::vector<int32_t> in(static_cast<size_t>(r.frames * r.channels));
        for (auto& v : in)
            v = static_cast<int32_t>(rng() >> 33) - (1 << 30);
        Stream blocks(r.channels, r.first, r.high, true), frames(r.channels, r.first, r.high, true);
        std::vector<std::pair<int, uint64_t>> changes; // (input frames before, ratio)
        std::vector<int32_t> want, got;
        std::uniform_int_distribution<uint64_t> ratio(r.low, r.high);
        int rebuilds = 0;
        for (int at = 0; at < r.frames;) {
            const int len = std::min(r.frames - at, 1 + static_cast<int>(rng() % 400));
            blocks.run(in.data() + at * r.channels, len, want);
            at += len;
            const uint64_t next = ratio(rng);
            const uint64_t low = blocks.s.table_low;
            ASSERT_EQ(asrc_q31_set_ratio(&blocks.s, next), 0);
            if (next > ASRC_Q31_RATIO_FULL_BAND) {
                ASSERT_LE(blocks.s.table_low, next);
                ASSERT_GE(blocks.s.table_high, next);
                rebuilds += blocks.s.table_low != low;
            }
            changes.push_back({at, next});
        }
        EXPECT_GE(rebuilds, 2);
        size_t c = 0;
        for (int at = 0; at < r.frames; ++at) {
            frames.run(in.data() + at * r.channels, 1, got);
            if (c < changes.size() && changes[c].first == at + 1) {
                ASSERT_EQ(asrc_q31_set_ratio(&frames.s, changes[c++].second), 0);
            }
        }
        ASSERT_GT(want.size(), 100u);
        ASSERT_EQ(got, want);
    }
}

// A tone through a ratio that ramps 0.6% and rebuilds the rows on the way
// keeps 140 dB: each output is fitted against the input tone at its own
// time (the running sum of the ratios it was given), so a step at a
// rebuild, a lost output or a wrong time all count as error.
TEST(Q31Rows, RampedRatioKeepsTheTone)
{
    const double amplitude = 2147483648.0 * std::pow(10, -1 / 20.0);
    const double w = 2 * M_PI * 997 / 48000;
    for (const bool rows : {false, true}) {
        SCOPED_TRACE(rows ? "own rows" : "per-tap");
        const uint64_t first = rates(48000, 44100);
        Stream st(1, first, first + first / 50, rows);
        const int frames = 48000 / 2, block = 240;
        std::vector<int32_t> in(static_cast<size_t>(frames)), out;
        for (int i = 0; i < frames; ++i)
            in[static_cast<size_t>(i)] = static_cast<int32_t>(std::lrint(amplitude * std::sin(w * i)));
        std::vector<uint64_t> ratio_of; // each output's ratio
        uint64_t ratio = first;
        int rebuilds = 0;
        for (int at = 0; at < frames; at += block) {
            st.run(in.data() + at, block, out);
            ratio_of.resize(out.size(), ratio);
            const uint64_t high = st.s.table_high;
            ratio += first / 1000 * 6 / (frames / block);
            ASSERT_EQ(asrc_q31_set_ratio(&st.s, ratio), 0);
            rebuilds += st.s.table_high != high;
        }
        EXPECT_GE(rebuilds, rows ? 2 : 0);
        // Two-parameter least squares on sin and cos of each output's time.
        unsigned __int128 t = 0; // Q24.40
        double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
        std::vector<double> sn(out.size()), cs(out.size());
        const size_t from = 200;
        for (size_t k = 0; k < out.size(); ++k) {
            const double tk = static_cast<double>(static_cast<uint64_t>(t >> 20)) / 1048576.0;
            sn[k] = std::sin(w * tk);
            cs[k] = std::cos(w * tk);
            t += ratio_of[k];
            if (k < from)
                continue;
            const double y = out[k];
            ss += sn[k] * sn[k], cc += cs[k] * cs[k], sc += sn[k] * cs[k];
            ys += y * sn[k], yc += y * cs[k];
        }
        const double det = ss * cc - sc * sc;
        const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
        double e2 = 0;
        for (size_t k = from; k < out.size(); ++k) {
            const double e = out[k] - a * sn[k] - b * cs[k];
            e2 += e * e;
        }
        const double rms = std::sqrt(e2 / static_cast<double>(out.size() - from));
        EXPECT_NEAR(a / amplitude, 1.0, 1e-4);
        EXPECT_GE(20 * std::log10(amplitude / std::sqrt(2.0) / rms), 140.0);
    }
}

} // namespace
