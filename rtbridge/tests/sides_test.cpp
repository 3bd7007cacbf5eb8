// The bridge's two halves (sides.h) without a sound server: the producer
// and the consumer driven by two exact clocks in one process, a tone in,
// the consumer's output measured.  What the real-server test cannot hold
// steady, this one can: the ratio against a known truth, and the SINAD
// in 1-s windows when the clocks themselves do not wander.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "shared.h"
#include "sides.h"
#include "sine_fit.h"

namespace {

struct Case {
    const char* name;
    std::uint32_t rate_in;
    std::uint32_t period_in;
    std::uint32_t rate_out;
    std::uint32_t period_out;
    double ppm; // the source's clock against its nominal rate
    rtbridge::ConverterKind converter;
    double sinad_median_db; // over the 1-s windows of the last 30 s (the least is 90 dB)
};

constexpr auto kPoly = rtbridge::ConverterKind::poly;
constexpr auto kQ31 = rtbridge::ConverterKind::q31;

class Sides : public ::testing::TestWithParam<Case> {};

TEST_P(Sides, LockAndHoldTheClocksRatio)
{
    const Case& k = GetParam();
    constexpr double kSeconds = 60;
    rtbridge::Shared* s = rtbridge::map_shared(1, 1 << 16);
    ASSERT_NE(s, nullptr);
    s->sink.rate.store(k.rate_out);
    s->sink.period.store(k.period_out);
    rtbridge::Producer producer;
    ASSERT_EQ(producer.init(s, k.rate_in, k.period_in, k.rate_out, k.period_out, 0, 8192, k.converter),
              nullptr);
    rtbridge::Consumer consumer(s);

    const double f_in = k.rate_in * (1 + k.ppm * 1e-6);
    const double w = 2 * std::numbers::pi * 997.0 / f_in; // per input frame
    const double amplitude = 2147483647.0 * std::pow(10.0, -1.0 / 20);
    std::vector<std::int32_t> out(k.period_out);
    std::vector<std::int32_t> played;
    std::int64_t in_blocks = 0;
    std::int64_t out_blocks = 0;
    for (;;) {
        // Each side's cycle starts when its previous period has passed on
        // its own clock; the earlier one runs.
        const double t_in = static_cast<double>(in_blocks * k.period_in) / f_in;
        const double t_out = static_cast<double>(out_blocks * k.period_out) / k.rate_out + 1e-4;
        if (std::min(t_in, t_out) > kSeconds)
            break;
        if (t_in <= t_out) {
            std::int32_t* x = producer.input();
            for (std::uint32_t i = 0; i < k.period_in; ++i) {
                const double v = amplitude * std::sin(w * static_cast<double>(in_blocks * k.period_in + i));
                x[i] = static_cast<std::int32_t>(std::lround(v));
            }
            producer.block(x, static_cast<std::int32_t>(k.period_in),
                           static_cast<std::int64_t>(t_in * 1e9));
            ++in_blocks;
        } else {
            consumer.block(out.data(), static_cast<std::int32_t>(k.period_out),
                           static_cast<std::int64_t>(t_out * 1e9));
            played.insert(played.end(), out.begin(), out.end());
            ++out_blocks;
        }
    }
    producer.summarise();
    consumer.summarise();
    const rtbridge::SourceSummary& r = s->source_summary;
    EXPECT_GE(r.lock_s, 0);
    EXPECT_LE(r.lock_s, 5.0);
    EXPECT_NEAR(r.ratio_ppm, k.ppm, 2.0) << "the mean ratio after lock against the clocks' own";
    EXPECT_EQ(r.underruns_total, 0u);
    EXPECT_EQ(r.overruns_total, 0u);
    EXPECT_NEAR(s->sink_summary.fill_mean, 0, k.period_out / 2.0 + 8)
        << "the mean fill, and so the latency reported, within half a read of the target";

    // SINAD in 1-s windows over the last 30 s, the tone at the output's rate.
    const std::size_t second = k.rate_out;
    const double w_out = 2 * std::numbers::pi * 997.0 / k.rate_out;
    std::vector<double> sinad;
    for (std::size_t from = played.size() - 30 * second; from + second <= played.size(); from += second)
        sinad.push_back(asrc_measure::fit_sine(played, from, from + second, w_out).sinad_db());
    ASSERT_FALSE(sinad.empty());
    std::sort(sinad.begin(), sinad.end());
    EXPECT_GE(sinad.front(), 90.0) << "the worst 1-s window, median " << sinad[sinad.size() / 2];
    EXPECT_GE(sinad[sinad.size() / 2], k.sinad_median_db) << "the median 1-s window";
    rtbridge::unmap_shared(s);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, Sides,
    ::testing::Values(
        Case{"poly_jack48k256_to_44k128_plus100ppm", 48000, 256, 44100, 128, 100, kPoly, 90},
        Case{"poly_jack44k128_to_48k256_minus300ppm", 44100, 128, 48000, 256, -300, kPoly, 90},
        Case{"poly_alsa48k64_to_48k1024_plus1000ppm", 48000, 64, 48000, 1024, 1000, kPoly, 90},
        Case{"q31_jack48k256_to_44k128_plus100ppm", 48000, 256, 44100, 128, 100, kQ31, 110},
        Case{"q31_jack44k128_to_48k256_minus300ppm", 44100, 128, 48000, 256, -300, kQ31, 110},
        Case{"q31_alsa48k64_to_48k1024_plus1000ppm", 48000, 64, 48000, 1024, 1000, kQ31, 110}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

} // namespace
