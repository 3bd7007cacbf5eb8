// measure/sine_fit.h, the C++ sine fit that the tests, the benchmarks and
// the bridge simulator measure with, against signals of known answer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "sine_fit.h"

namespace {

// The fit against signals whose SINAD is known: a sine plus independent
// Gaussian noise of a chosen rms, at a frequency a fraction of a bin off the
// starting guess (which a three-parameter fit at the guess cannot absorb),
// and a sine rounded to 16 bits (ideal quantisation, 6.02 * 16 + 1.76 - 1
// dB at -1 dBFS).
TEST(SineFit, RecoversTheFrequencyAmplitudeAndSinadOfKnownSignals)
{
    constexpr std::size_t n = 4800;
    const double amplitude = 32767 * std::pow(10.0, -1 / 20.0);
    struct Case {
        const char* what;
        double noise_rms; // 0: rounding only
        double off_bins;  // the tone's frequency less the guess, in bins
    };
    const Case cases[] = {{"noise at 80 dB", amplitude / std::sqrt(2.0) * 1e-4, 0.0},
                          {"noise at 60 dB, 0.4 bin off", amplitude / std::sqrt(2.0) * 1e-3, 0.4},
                          {"rounding only", 0, 0.0},
                          {"rounding only, 0.25 bin off", 0, -0.25}};
    std::mt19937 rng(3);
    for (const Case& c : cases) {
        const double guess = 997.0 / 48000;
        const double freq = guess + c.off_bins / n;
        std::normal_distribution<double> noise(0, c.noise_rms > 0 ? c.noise_rms : 1);
        std::vector<std::int16_t> y(n);
        double noise_power = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double clean = amplitude * std::sin(2 * std::numbers::pi * freq * static_cast<double>(i) + 0.3);
            double v = clean;
            if (c.noise_rms > 0) {
                // Noise far above the rounding: the rounding adds 1/12 LSB^2.
                v += noise(rng);
            }
            y[i] = static_cast<std::int16_t>(std::lround(v));
            noise_power += (y[i] - clean) * (y[i] - clean);
        }
        const double expected =
            c.noise_rms > 0 ? 10 * std::log10(amplitude * amplitude / 2 / (noise_power / n))
                            : 6.02 * 16 + 1.76 - 1;
        const asrc_measure::SineFit fit =
            asrc_measure::fit_sine(y, 0, n, 2 * std::numbers::pi * guess);
        EXPECT_NEAR(fit.w / (2 * std::numbers::pi), freq, 1e-9) << c.what;
        EXPECT_NEAR(fit.amplitude(), amplitude, amplitude * 1e-4) << c.what;
        EXPECT_NEAR(fit.sinad_db(), expected, c.noise_rms > 0 ? 0.1 : 0.5) << c.what;
        // At the right frequency the three-parameter fit finds the phase.
        const asrc_measure::SineFit at = asrc_measure::fit_sine_at(y, 0, n, 2 * std::numbers::pi * freq);
        EXPECT_NEAR(at.phase(), 0.3, 1e-3) << c.what;
    }
}

// Silence where the tone should be (a muted bridge) is the worst window,
// not a NaN that would leave the windows' median undefined.
TEST(SineFit, SilenceReadsAsNoSignal)
{
    const std::vector<std::int16_t> silence(4800, 0);
    const asrc_measure::SineFit fit = asrc_measure::fit_sine(silence, 0, silence.size(), 0.13);
    EXPECT_EQ(fit.sinad_db(), -HUGE_VAL);
}

} // namespace
