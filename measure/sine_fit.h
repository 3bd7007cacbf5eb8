// sine_fit.h - least-squares sine fits for the C++ tests, benchmarks and simulator:
// amplitude and phase at a known frequency (three parameters), and SINAD
// from a four-parameter fit that also finds the frequency (IEEE 1057).
#ifndef ASRC_MEASURE_SINE_FIT_H
#define ASRC_MEASURE_SINE_FIT_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace asrc_measure {

struct SineFit {
    double a = 0;     // y ~ a sin(w k) + b cos(w k) + c, k the index in the
    double b = 0;     // whole output (not in the window)
    double c = 0;
    double w = 0;     // radians per sample
    double rms_residual = 0;
    double amplitude() const { return std::hypot(a, b); }
    double phase() const { return std::atan2(b, a); } // y ~ A sin(w k + phase) + c
    // A window of silence (no tone and nothing else) reads -infinity, not
    // the 0 / 0 that would be NaN: a NaN among the windows would leave
    // their median and minimum undefined (and a sort of them too).
    double sinad_db() const
    {
        if (rms_residual == 0)
            return amplitude() > 0 ? HUGE_VAL : -HUGE_VAL;
        return 20 * std::log10(amplitude() / std::sqrt(2.0) / rms_residual);
    }
};

namespace detail {

// Solves the n x n system m x = v in place (Gaussian elimination with
// partial pivoting); n <= 4.
inline void solve(double m[4][4], double v[4], int n)
{
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col]))
                pivot = r;
        for (int k = 0; k < n; ++k)
            std::swap(m[col][k], m[pivot][k]);
        std::swap(v[col], v[pivot]);
        for (int r = col + 1; r < n; ++r) {
            const double f = m[r][col] / m[col][col];
            for (int k = col; k < n; ++k)
                m[r][k] -= f * m[col][k];
            v[r] -= f * v[col];
        }
    }
    for (int r = n - 1; r >= 0; --r) {
        for (int k = r + 1; k < n; ++k)
            v[r] -= m[r][k] * v[k];
        v[r] /= m[r][r];
    }
}

} // namespace detail

// Three-parameter fit at the known frequency w over y[from..to); y holds
// samples of any integer width (or doubles).
template <class Sample>
inline SineFit fit_sine_at(const std::vector<Sample>& y, std::size_t from, std::size_t to,
                           double w)
{
    double m[4][4] = {};
    double v[4] = {};
    for (std::size_t k = from; k < to; ++k) {
        const double s = std::sin(w * static_cast<double>(k));
        const double co = std::cos(w * static_cast<double>(k));
        const double col[3] = {s, co, 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                m[i][j] += col[i] * col[j];
            v[i] += col[i] * static_cast<double>(y[k]);
        }
    }
    detail::solve(m, v, 3);
    SineFit f;
    f.a = v[0];
    f.b = v[1];
    f.c = v[2];
    f.w = w;
    double e2 = 0;
    for (std::size_t k = from; k < to; ++k) {
        const double kk = static_cast<double>(k);
        const double e = static_cast<double>(y[k]) - (f.a * std::sin(w * kk) + f.b * std::cos(w * kk) + f.c);
        e2 += e * e;
    }
    f.rms_residual = std::sqrt(e2 / static_cast<double>(to - from));
    return f;
}

// Four-parameter fit (frequency too), starting from w0, over y[from..to).
template <class Sample>
inline SineFit fit_sine(const std::vector<Sample>& y, std::size_t from, std::size_t to,
                        double w0)
{
    SineFit f = fit_sine_at(y, from, to, w0);
    // No sine at all (silence): nothing to find a frequency from, and the
    // step's column would be zero (a singular system).
    for (int iter = 0; iter < 8 && f.amplitude() > 0; ++iter) {
        // Linearised in dw around f.w, with k measured from the window's
        // middle so that the columns stay well conditioned.
        const double mid = 0.5 * static_cast<double>(from + to);
        double m[4][4] = {};
        double v[4] = {};
        for (std::size_t k = from; k < to; ++k) {
            const double kk = static_cast<double>(k);
            const double s = std::sin(f.w * kk);
            const double co = std::cos(f.w * kk);
            const double col[4] = {s, co, 1.0, (kk - mid) * (f.a * co - f.b * s)};
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j)
                    m[i][j] += col[i] * col[j];
                v[i] += col[i] * static_cast<double>(y[k]);
            }
        }
        detail::solve(m, v, 4);
        // Centring the dw column on `mid` adds to it only a multiple of the
        // sine and cosine columns, so dw is the Gauss-Newton step still.
        const double dw = v[3];
        const double w = f.w + dw;
        if (std::fabs(dw) < 1e-15 * std::fabs(f.w) + 1e-18) {
            f = fit_sine_at(y, from, to, w);
            break;
        }
        f = fit_sine_at(y, from, to, w);
    }
    return f;
}

} // namespace asrc_measure

#endif
