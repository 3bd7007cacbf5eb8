// q31_x86.cpp - the 24-bit converter's full-band sums compiled for AVX2 and
// AVX-512.  The source is the portable one (q31_kernels.h); only the
// instructions the compiler may choose differ, and integer sums have one
// result in any order, so the results are the same bits.
#include "internal/q31_kernels.h"
#include "internal/q31_pieces.h"
#include "internal/q31_table.h"

#ifdef ASRC_Q31_X86_KERNELS

#include <immintrin.h>

namespace asrc_q31_detail {

// 8 taps a step, as full_band_sums_avx512 below.
__attribute__((target("avx2"))) inline int64_t hsum(__m256i v)
{
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si64(s) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
}

// One step of 8 taps from j: sample vector xv against the four terms.
__attribute__((target("avx2"))) inline void step_avx2(const int32_t* const* a, int32_t j,
                                                      __m256i xv, __m256i* even, __m256i* odd)
{
    const __m256i xo = _mm256_srli_epi64(xv, 32);
    for (int k = 0; k < 4; ++k) {
        const __m256i av = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a[k] + j));
        even[k] = _mm256_add_epi64(even[k], _mm256_mul_epi32(av, xv));
        odd[k] = _mm256_add_epi64(odd[k], _mm256_mul_epi32(_mm256_srli_epi64(av, 32), xo));
    }
}

// kTaps known when compiled (the prototype's rows: the loop is unrolled),
// or `taps` given (a state's own rows, whose last vector may be partial:
// its samples beyond `taps` load as zero, by a masked load that touches no
// memory past the last tap, against terms readable up to a whole vector).
template <bool kPrototype>
__attribute__((target("avx2"))) inline void sums_avx2(const int32_t* const* x, int32_t channels,
                                                      const int32_t* const* a, int32_t taps,
                                                      int64_t* d)
{
    if (kPrototype)
        taps = kTaps;
    const int32_t whole = taps & ~7;
    const __m256i tail = _mm256_cmpgt_epi32(_mm256_set1_epi32(taps & 7),
                                            _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    for (int32_t ch = 0; ch < channels; ++ch) {
        __m256i even[4], odd[4];
        for (int k = 0; k < 4; ++k)
            even[k] = odd[k] = _mm256_setzero_si256();
        for (int32_t j = 0; j < whole; j += 8)
            step_avx2(a, j, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x[ch] + j)), even,
                      odd);
        if (!kPrototype && whole < taps)
            step_avx2(a, whole, _mm256_maskload_epi32(x[ch] + whole, tail), even, odd);
        for (int k = 0; k < 4; ++k)
            d[4 * ch + k] = hsum(_mm256_add_epi64(even[k], odd[k]));
    }
}

__attribute__((target("avx2"))) void full_band_sums_avx2(const int32_t* const* x,
                                                         int32_t channels, uint32_t p, int64_t* d)
{
    const int32_t* a[4] = {kQ31Coef[0][p], kQ31Coef[1][p], kQ31Coef[2][p], kQ31Coef[3][p]};
    sums_avx2<true>(x, channels, a, kTaps, d);
}

__attribute__((target("avx2"))) void row_sums_avx2(const int32_t* const* x, int32_t channels,
                                                   const int32_t* const* a, int32_t taps,
                                                   int64_t* d)
{
    sums_avx2<false>(x, channels, a, taps, d);
}

// GCC 12's AVX-512 headers start some intrinsics from an "undefined" vector
// that its -Wmaybe-uninitialized then flags (a false positive inside the
// header), hence the pragma.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// 16 taps a step: the even taps' products from the 64-bit lanes as loaded,
// the odd taps' after a shift right by 32 of both operands (vpmuldq reads
// the low 32 bits of each lane, signed), so no shuffle is needed.
__attribute__((target("avx512f"))) inline int64_t hsum(__m512i v)
{
    return _mm512_reduce_add_epi64(v);
}

__attribute__((target("avx512f"))) inline void step_avx512(const int32_t* const* a, int32_t j,
                                                           __m512i xv, __m512i* even, __m512i* odd)
{
    const __m512i xo = _mm512_srli_epi64(xv, 32);
    for (int k = 0; k < 4; ++k) {
        const __m512i av = _mm512_loadu_si512(a[k] + j);
        even[k] = _mm512_add_epi64(even[k], _mm512_mul_epi32(av, xv));
        odd[k] = _mm512_add_epi64(odd[k], _mm512_mul_epi32(_mm512_srli_epi64(av, 32), xo));
    }
}

// As sums_avx2, 16 taps a step.
template <bool kPrototype>
__attribute__((target("avx512f"))) inline void sums_avx512(const int32_t* const* x,
                                                           int32_t channels,
                                                           const int32_t* const* a, int32_t taps,
                                                           int64_t* d)
{
    if (kPrototype)
        taps = kTaps;
    const int32_t whole = taps & ~15;
    const auto tail = static_cast<__mmask16>((1u << (taps & 15)) - 1);
    for (int32_t ch = 0; ch < channels; ++ch) {
        __m512i even[4], odd[4];
        for (int k = 0; k < 4; ++k)
            even[k] = odd[k] = _mm512_setzero_si512();
        for (int32_t j = 0; j < whole; j += 16)
            step_avx512(a, j, _mm512_loadu_si512(x[ch] + j), even, odd);
        if (!kPrototype && whole < taps)
            step_avx512(a, whole, _mm512_maskz_loadu_epi32(tail, x[ch] + whole), even, odd);
        for (int k = 0; k < 4; ++k)
            d[4 * ch + k] = hsum(_mm512_add_epi64(even[k], odd[k]));
    }
}

__attribute__((target("avx512f"))) void full_band_sums_avx512(const int32_t* const* x,
                                                              int32_t channels, uint32_t p,
                                                              int64_t* d)
{
    const int32_t* a[4] = {kQ31Coef[0][p], kQ31Coef[1][p], kQ31Coef[2][p], kQ31Coef[3][p]};
    sums_avx512<true>(x, channels, a, kTaps, d);
}

__attribute__((target("avx512f"))) void row_sums_avx512(const int32_t* const* x,
                                                        int32_t channels, const int32_t* const* a,
                                                        int32_t taps, int64_t* d)
{
    sums_avx512<false>(x, channels, a, taps, d);
}
#ifndef ASRC_Q31_SMALL
// The stretched filter's coefficients on AVX2: as the AVX-512 code below,
// 4 taps a step.
__attribute__((target("avx2"))) inline __m256i mul_round(__m256i v, __m256i w, __m256i half)
{
    return _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(v, w), half), 31);
}

__attribute__((target("avx2"))) void stretched_row_avx2(int32_t* c, int32_t n, uint64_t x,
                                                        uint64_t step, int32_t gain)
{
    const __m256i half = _mm256_set1_epi64x(int64_t{1} << 30);
    const __m256i frac_mask = _mm256_set1_epi64x(0x7FFFFFFF);
    const __m256i g = _mm256_set1_epi64x(gain);
    const __m256i one = _mm256_set1_epi64x(1);
    const long long* base = reinterpret_cast<const long long*>(kQ31Pieces.a);
    const auto s = static_cast<int64_t>(step);
    __m256i xv = _mm256_set_epi64x(static_cast<int64_t>(x) - 3 * s, static_cast<int64_t>(x) - 2 * s,
                                   static_cast<int64_t>(x) - s, static_cast<int64_t>(x));
    const __m256i down = _mm256_set1_epi64x(4 * s);
    // The 32-bit results sit in the even halves of the lanes: gathered to
    // the low 128 bits.
    const __m256i pack = _mm256_set_epi32(7, 5, 3, 1, 6, 4, 2, 0);
    int32_t j = 0;
    for (; j < n; j += 4) {
        // Past the last tap the lanes read piece 0 (valid memory) and are
        // not stored.
        // Live: a tap of this call whose place lies before the table's end
        // (unsigned, as a place below the first piece wraps to beyond it;
        // AVX2 compares signed, so both sides are flipped at the top bit).
        const __m256i top = _mm256_set1_epi64x(INT64_MIN);
        const __m256i live = _mm256_and_si256(
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(n - j), _mm256_set_epi64x(3, 2, 1, 0)),
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(kEnd ^ (uint64_t{1} << 63))),
                               _mm256_xor_si256(xv, top)));
        const __m256i idx = _mm256_and_si256(_mm256_slli_epi64(_mm256_srli_epi64(xv, 32), 1), live);
        const __m256i lo = _mm256_i64gather_epi64(base, idx, 8);
        const __m256i hi = _mm256_i64gather_epi64(base, _mm256_add_epi64(idx, one), 8);
        const __m256i u = _mm256_and_si256(_mm256_srli_epi64(xv, 1), frac_mask);
        __m256i t = _mm256_add_epi64(hi, mul_round(_mm256_srli_epi64(hi, 32), u, half));
        t = _mm256_add_epi64(_mm256_srli_epi64(lo, 32), mul_round(t, u, half));
        t = _mm256_add_epi64(lo, mul_round(t, u, half));
        t = mul_round(t, g, half);
        t = _mm256_and_si256(t, live);
        const __m128i four = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(t, pack));
        if (n - j >= 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(c + j), four);
        } else {
            alignas(16) int32_t tail[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(tail), four);
            for (int32_t k = 0; k < n - j; ++k)
                c[j + k] = tail[k];
        }
        xv = _mm256_sub_epi64(xv, down);
    }
}

// (v * w + 2^30) >> 31 in each 64-bit lane, of the lanes' low halves.
__attribute__((target("avx512f"))) inline __m512i mul_round(__m512i v, __m512i w, __m512i half)
{
    return _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epi32(v, w), half), 31);
}

// 8 taps a step in 64-bit lanes: each tap's four terms come in two 64-bit
// gathers from the piece-by-piece table, (a0, a1) and (a2, a3); vpmuldq
// reads the low 32 bits of a lane, signed, so a shift right by 32 gives the
// odd term.  The sums are taken modulo 2^32 in the low halves, as the
// portable code takes them.
__attribute__((target("avx512f,avx512dq,avx512vl"))) void stretched_row_avx512(int32_t* c, int32_t n, uint64_t x,
                                                             uint64_t step, int32_t gain)
{
    const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i steps = _mm512_set1_epi64(static_cast<int64_t>(step));
    const __m512i half = _mm512_set1_epi64(int64_t{1} << 30);
    const __m512i frac_mask = _mm512_set1_epi64(0x7FFFFFFF);
    const __m512i g = _mm512_set1_epi64(gain);
    const long long* base = reinterpret_cast<const long long*>(kQ31Pieces.a);
    __m512i xv = _mm512_sub_epi64(_mm512_set1_epi64(static_cast<int64_t>(x)),
                                  _mm512_mullo_epi64(lanes, steps));
    const __m512i down = _mm512_set1_epi64(static_cast<int64_t>(8 * step));
    for (int32_t j = 0; j < n; j += 8) {
        const unsigned in_call = n - j >= 8 ? 0xFFu : (1u << (n - j)) - 1;
        // The mask's type is 8 bits wide; the value fits.
        const __mmask8 live = static_cast<__mmask8>(
            in_call & _mm512_cmplt_epu64_mask(xv, _mm512_set1_epi64(static_cast<int64_t>(kEnd))));
        // Index in 64-bit units: piece g holds two of them.
        const __m512i idx = _mm512_slli_epi64(_mm512_srli_epi64(xv, 32), 1);
        const __m512i lo = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), live, idx, base, 8);
        const __m512i hi = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), live,
                                                       _mm512_add_epi64(idx, _mm512_set1_epi64(1)),
                                                       base, 8);
        const __m512i u = _mm512_and_si512(_mm512_srli_epi64(xv, 1), frac_mask);
        __m512i t = _mm512_add_epi64(hi, mul_round(_mm512_srli_epi64(hi, 32), u, half)); // a2 + a3 u
        t = _mm512_add_epi64(_mm512_srli_epi64(lo, 32), mul_round(t, u, half));           // a1 + .. u
        t = _mm512_add_epi64(lo, mul_round(t, u, half));                                  // a0 + .. u
        t = _mm512_maskz_mov_epi64(live, mul_round(t, g, half));
        _mm256_mask_storeu_epi32(c + j, static_cast<__mmask8>(in_call), _mm512_cvtepi64_epi32(t));
        xv = _mm512_sub_epi64(xv, down);
    }
}
#endif
#pragma GCC diagnostic pop

} // namespace asrc_q31_detail

#endif
