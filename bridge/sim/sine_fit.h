// sine_fit.h - the four-parameter least-squares sine fit (IEEE 1057) and
// the SINAD it gives, as analysis/instruments.py measures them, for the
// simulator's 0.1-second windows.
#ifndef ASRC_BRIDGE_SINE_FIT_H
#define ASRC_BRIDGE_SINE_FIT_H

#include <cstddef>
#include <cstdint>

namespace bridge_sim {

struct SineFit {
    double freq;      // cycles per sample
    double amplitude;
    double offset;
    double residual_rms; // of the samples less the fitted sine
    int iterations;      // Newton steps taken on the frequency
};

// Fits A cos(w t) + B sin(w t) + d (+ the frequency) to y[0..n-1], starting
// from `freq` (cycles per sample), which must lie within a fraction of a
// bin (1 / n) of the tone's: first the three-parameter fit at that
// frequency, then Newton steps on all four until the frequency moves by
// less than 1e-13 radians per sample (at most 8).  Time is centred on the
// window, which keeps the frequency's column uncorrelated with the others.
SineFit sine_fit(const std::int16_t* y, std::size_t n, double freq);

// 20 log10 of the fitted sine's rms over the residual's rms.
double sinad_db(const SineFit& fit);

} // namespace bridge_sim

#endif
