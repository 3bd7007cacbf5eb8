// poly_kernels.h - the inner sums of the polyphase converter, one per
// instruction set, all giving the same integer.  Internal to the library;
// the tests call them directly to hold the vector paths to the portable one.
#ifndef ASRC_POLY_KERNELS_H
#define ASRC_POLY_KERNELS_H

#include <cstdint>

#include "cpu_x86.h"

namespace asrc_poly_detail {

// The filter sum of one output at fraction `frac` (Q0.30) past input xn[0],
// with the table stretched by `stride` (129..256):
//
//     X = sum over taps j of xn[j] * (F(q) * 2^15 + phi * (F(q - 1) - F(q)))
//
// where q = 16384 + stride * j - a, a = (stride * frac) >> 30 and phi =
// ((stride * frac) >> 15) & 0x7FFF, F being the table of poly_table.h (zero
// outside 0..32768).  Taps run over j = -floor((16383 - a) / stride) ..
// floor((16384 + a) / stride), at most -127..128, so xn must point into a
// run of inputs that reaches that far on both sides.  The output is X *
// stride / 2^43, rounded.  Exact: with |X| < 2^55 (the table's L1 norm
// keeps it below 2^53), nothing can overflow.
std::int64_t filter_sum(const std::int16_t* xn, std::uint32_t frac, std::int32_t stride);

// The same sum for stride 256 (taps -63..64): the portable code, and on
// x86-64 the same integers from SSE2, AVX2 and AVX-512 VNNI.
std::int64_t full_band_sum_portable(const std::int16_t* xn, std::uint32_t frac);
#ifdef ASRC_X86_KERNELS
#define ASRC_POLY_X86_KERNELS 1
std::int64_t full_band_sum_sse2(const std::int16_t* xn, std::uint32_t frac);
std::int64_t full_band_sum_avx2(const std::int16_t* xn, std::uint32_t frac);
std::int64_t full_band_sum_avx512(const std::int16_t* xn, std::uint32_t frac);
#endif

// Cortex-M with the DSP extension, when the split rows are built in.
#if defined(ASRC_POLY_SPLIT_ROWS) && defined(__ARM_FEATURE_DSP)
#define ASRC_POLY_DSP_KERNEL 1
std::int64_t full_band_sum_dsp(const std::int16_t* xn, std::uint32_t frac);
#endif

using FullBandSum = std::int64_t (*)(const std::int16_t*, std::uint32_t);

// The filter sum on rows laid out for one stride (asrc_poly_rows): `x` at the
// input of the row's first entry, `taps` entries of each part (any number;
// the vector loops take what is left past their width one tap at a time or
// under a mask, never reading past it), `phi` the interpolation weight.  Any lane's partial sums stay below
// 2^31 for every stride (tests/poly_test.cpp checks them all); the sum of
// the hi parts can exceed 2^31 as a whole, so it is finished in 64 bits.
using RowsSum = std::int64_t (*)(const std::int16_t* x, const std::int16_t* hi,
                                 const std::int16_t* lo, const std::int16_t* d, std::int32_t taps,
                                 std::int32_t phi);
#ifdef ASRC_POLY_X86_KERNELS
std::int64_t rows_sum_sse2(const std::int16_t* x, const std::int16_t* hi, const std::int16_t* lo,
                           const std::int16_t* d, std::int32_t taps, std::int32_t phi);
std::int64_t rows_sum_avx2(const std::int16_t* x, const std::int16_t* hi, const std::int16_t* lo,
                           const std::int16_t* d, std::int32_t taps, std::int32_t phi);
std::int64_t rows_sum_avx512(const std::int16_t* x, const std::int16_t* hi,
                             const std::int16_t* lo, const std::int16_t* d, std::int32_t taps,
                             std::int32_t phi);
#endif
// The fastest rows sum this processor runs, or nullptr where none is
// faster than filter_sum on the folded table.
RowsSum best_rows_sum();

// The fastest full-band sum this processor runs.
FullBandSum best_full_band_sum();

} // namespace asrc_poly_detail

#endif
