// q31_kernels.h - the 24-bit converter's inner loops, shared by the portable
// code and the vector paths.  Internal: not installed.
//
// The loops are written once, as plain integer C++ that compilers
// vectorise, and compiled twice on x86-64: for the baseline and for AVX2
// (q31_x86.cpp).  Integer arithmetic has one result however it is ordered,
// so both give the same bits.
#ifndef ASRC_Q31_KERNELS_H
#define ASRC_Q31_KERNELS_H

#include <stdint.h>

#include "cpu_x86.h"

#if defined(__GNUC__) || defined(__clang__)
#define ASRC_Q31_INLINE inline __attribute__((always_inline))
#else
#define ASRC_Q31_INLINE inline
#endif

namespace asrc_q31_detail {

constexpr int32_t kTaps = 192;     // the prototype's span in input samples
constexpr int32_t kHalfTaps = 96;  // and half of it: the delay on the full band
constexpr uint32_t kPieces = 64;   // cubic pieces per input sample
constexpr uint64_t kFullStep = uint64_t{kPieces} << 32; // Q32.32 pieces per input frame
constexpr uint64_t kEnd = uint64_t{kTaps} * kPieces << 32;  // X past the last piece

// (v * u) >> 31, for a Q1.30 v and a Q0.31 u: the product in 64 bits, its
// bits 31..62 kept (an arithmetic shift, as a logical one gives the same low
// 32 bits and vectorises on AVX2).
ASRC_Q31_INLINE int32_t mul_q31(int32_t v, int32_t u)
{
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(int64_t{v} * u + (int64_t{1} << 30)) >> 31));
}

// ((a3 u + a2) u + a1) u + a0.  The table's partial results stay within
// int32 (checked by its generator); the sums are taken modulo 2^32 so
// that no step is undefined even for a value the table never holds.
ASRC_Q31_INLINE int32_t horner(int32_t a0, int32_t a1, int32_t a2, int32_t a3, int32_t u)
{
    int32_t c = static_cast<int32_t>(static_cast<uint32_t>(a2) + static_cast<uint32_t>(mul_q31(a3, u)));
    c = static_cast<int32_t>(static_cast<uint32_t>(a1) + static_cast<uint32_t>(mul_q31(c, u)));
    return static_cast<int32_t>(static_cast<uint32_t>(a0) + static_cast<uint32_t>(mul_q31(c, u)));
}

// The row (frac >> 34) and the fraction u within it (Q0.31) of a Q0.40 output
// fraction on the full band: 64 pieces per sample.
ASRC_Q31_INLINE int32_t row_fraction(uint64_t frac)
{
    return static_cast<int32_t>(static_cast<uint32_t>(frac >> 3) & 0x7FFFFFFFu);
}

// The four sums of one channel's n taps with the four terms of a row:
// d[k] = sum of a_k[j] * x[j], exact in 64 bits (a row's terms'
// magnitudes sum to less than 2.75 x 2^30, the samples' to less than 2^31
// each).
ASRC_Q31_INLINE void row_sums(const int32_t* __restrict a0, const int32_t* __restrict a1,
                              const int32_t* __restrict a2, const int32_t* __restrict a3,
                              const int32_t* __restrict x, int32_t n, int64_t* d)
{
    int64_t d0 = 0, d1 = 0, d2 = 0, d3 = 0;
    for (int32_t j = 0; j < n; ++j) {
        const int64_t xj = x[j];
        d0 += a0[j] * xj;
        d1 += a1[j] * xj;
        d2 += a2[j] * xj;
        d3 += a3[j] * xj;
    }
    d[0] = d0;
    d[1] = d1;
    d[2] = d2;
    d[3] = d3;
}

// Each channel's four sums over the prototype's 192 taps at row p (the full
// band): d[4 * ch + k].  Kept apart from RowSums below so that the tap count
// and the terms' places are known when compiled (a Cortex-M4 at -Os runs
// 14% fewer instructions than with them given at run time).
using FullBandSums = void (*)(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d);
void full_band_sums_portable(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d);

// The same over `taps` taps of a state's own row, whose four terms start at
// a[0..3]: each a[k] readable up to `taps` rounded up to 16 (the vector
// paths read the last whole vector of terms against samples loaded as zero
// past `taps`).
using RowSums = void (*)(const int32_t* const* x, int32_t channels, const int32_t* const* a,
                         int32_t taps, int64_t* d);
void row_sums_portable(const int32_t* const* x, int32_t channels, const int32_t* const* a,
                       int32_t taps, int64_t* d);

// The stretched filter's coefficients of n taps from place x down by step,
// times gain (Q0.31), rounded as the full band's terms are; zero for a
// place beyond the last piece (which is where one below the first wraps).
using StretchedRow = void (*)(int32_t* c, int32_t n, uint64_t x, uint64_t step, int32_t gain);
void stretched_row_portable(int32_t* c, int32_t n, uint64_t x, uint64_t step, int32_t gain);
int32_t stretched_sums(const int32_t* const* x, int32_t channels, int32_t taps, uint64_t x0,
                       uint64_t step, int32_t gain, int64_t* acc);

// The vector paths are x86-64's (see cpu_x86.h).
#ifdef ASRC_X86_KERNELS
#define ASRC_Q31_X86_KERNELS 1
#endif
// The piece-by-piece copy of the table serves the vector units' gathers; a
// build without them (Cortex-M, where flash is dear) reads the rows.
#if !defined(ASRC_Q31_X86_KERNELS) && !defined(ASRC_Q31_SMALL)
#define ASRC_Q31_SMALL 1
#endif
#ifdef ASRC_Q31_X86_KERNELS
void full_band_sums_avx2(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d);
void full_band_sums_avx512(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d);
void row_sums_avx2(const int32_t* const* x, int32_t channels, const int32_t* const* a,
                   int32_t taps, int64_t* d);
void row_sums_avx512(const int32_t* const* x, int32_t channels, const int32_t* const* a,
                     int32_t taps, int64_t* d);
#ifndef ASRC_Q31_SMALL
void stretched_row_avx2(int32_t* c, int32_t n, uint64_t x, uint64_t step, int32_t gain);
void stretched_row_avx512(int32_t* c, int32_t n, uint64_t x, uint64_t step, int32_t gain);
#endif
#endif

// The fastest of the above that this processor runs (same results; the
// tests compare every path that the processor runs with the portable one).
inline FullBandSums best_full_band_sums()
{
#ifdef ASRC_Q31_X86_KERNELS
    using namespace asrc_cpu_detail;
    return has_avx512_dq_vl() ? full_band_sums_avx512
           : has_avx2()       ? full_band_sums_avx2
                              : full_band_sums_portable;
#else
    return full_band_sums_portable;
#endif
}

inline RowSums best_row_sums()
{
#ifdef ASRC_Q31_X86_KERNELS
    using namespace asrc_cpu_detail;
    return has_avx512_dq_vl() ? row_sums_avx512 : has_avx2() ? row_sums_avx2 : row_sums_portable;
#else
    return row_sums_portable;
#endif
}

inline StretchedRow best_stretched_row()
{
#if defined(ASRC_Q31_X86_KERNELS) && !defined(ASRC_Q31_SMALL)
    using namespace asrc_cpu_detail;
    return has_avx512_dq_vl() ? stretched_row_avx512
           : has_avx2()       ? stretched_row_avx2
                              : stretched_row_portable;
#else
    return stretched_row_portable;
#endif
}

} // namespace asrc_q31_detail

#endif
