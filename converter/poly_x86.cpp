// poly_x86.cpp - the full-band filter sum with SSE2, AVX2 and AVX-512 VNNI:
// the same integer as full_band_sum_portable, from 16-bit multiply-adds on
// the rows of poly_rows.h, whose bounds keep every 32-bit lane exact.
#include "internal/poly_kernels.h"

#ifdef ASRC_POLY_X86_KERNELS

#include <immintrin.h>

#include "internal/poly_rows.h"

namespace asrc_poly_detail {

namespace {

inline int32_t hsum128(__m128i v)
{
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

} // namespace

int64_t full_band_sum_sse2(const int16_t* xn, uint32_t frac)
{
    const RowPosition rp = row_at(frac);
    const int16_t* x = xn - 63;
    const auto* hi = reinterpret_cast<const __m128i*>(kRowTables.hi[rp.p]);
    const auto* lo = reinterpret_cast<const __m128i*>(kRowTables.lo[rp.p]);
    const auto* d = reinterpret_cast<const __m128i*>(kRowTables.d[rp.p]);
    __m128i acc_hi = _mm_setzero_si128();
    __m128i acc_lo = _mm_setzero_si128();
    __m128i acc_d = _mm_setzero_si128();
    for (int k = 0; k < kTaps / 8; ++k) {
        const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 8 * k));
        acc_hi = _mm_add_epi32(acc_hi, _mm_madd_epi16(xv, _mm_load_si128(hi + k)));
        acc_lo = _mm_add_epi32(acc_lo, _mm_madd_epi16(xv, _mm_load_si128(lo + k)));
        acc_d = _mm_add_epi32(acc_d, _mm_madd_epi16(xv, _mm_load_si128(d + k)));
    }
    return join(hsum128(acc_hi), hsum128(acc_lo), hsum128(acc_d), rp.phi);
}

__attribute__((target("avx2"))) int64_t full_band_sum_avx2(const int16_t* xn, uint32_t frac)
{
    const RowPosition rp = row_at(frac);
    const int16_t* x = xn - 63;
    const auto* hi = reinterpret_cast<const __m256i*>(kRowTables.hi[rp.p]);
    const auto* lo = reinterpret_cast<const __m256i*>(kRowTables.lo[rp.p]);
    const auto* d = reinterpret_cast<const __m256i*>(kRowTables.d[rp.p]);
    __m256i acc_hi = _mm256_setzero_si256();
    __m256i acc_lo = _mm256_setzero_si256();
    __m256i acc_d = _mm256_setzero_si256();
    for (int k = 0; k < kTaps / 16; ++k) {
        const __m256i xv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 16 * k));
        acc_hi = _mm256_add_epi32(acc_hi, _mm256_madd_epi16(xv, _mm256_load_si256(hi + k)));
        acc_lo = _mm256_add_epi32(acc_lo, _mm256_madd_epi16(xv, _mm256_load_si256(lo + k)));
        acc_d = _mm256_add_epi32(acc_d, _mm256_madd_epi16(xv, _mm256_load_si256(d + k)));
    }
    const __m128i h = _mm_add_epi32(_mm256_castsi256_si128(acc_hi), _mm256_extracti128_si256(acc_hi, 1));
    const __m128i l = _mm_add_epi32(_mm256_castsi256_si128(acc_lo), _mm256_extracti128_si256(acc_lo, 1));
    const __m128i e = _mm_add_epi32(_mm256_castsi256_si128(acc_d), _mm256_extracti128_si256(acc_d, 1));
    return join(hsum128(h), hsum128(l), hsum128(e), rp.phi);
}

// The lane sums are exact (bounded as above), so the order of the
// reduction does not matter.  GCC 12's own AVX-512 headers start these
// shuffles from an "undefined" vector that its -Wuninitialized then flags
// (a false positive inside the header), hence the pragma.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline int32_t hsum512(__m512i v)
{
    v = _mm512_add_epi32(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m256i h = _mm512_castsi512_si256(v);
    return hsum128(_mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1)));
}

// AVX-512 with VNNI: vpdpwssd does pmaddwd's multiply-add and the lane sum in
// one instruction, 32 products at a time.  The lanes hold the same partial
// sums as before, bounded the same way.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) int64_t
full_band_sum_avx512(const int16_t* xn, uint32_t frac)
{
    const RowPosition rp = row_at(frac);
    const int16_t* x = xn - 63;
    const int16_t* hi = kRowTables.hi[rp.p];
    const int16_t* lo = kRowTables.lo[rp.p];
    const int16_t* d = kRowTables.d[rp.p];
    __m512i acc_hi = _mm512_setzero_si512();
    __m512i acc_lo = _mm512_setzero_si512();
    __m512i acc_d = _mm512_setzero_si512();
    for (int k = 0; k < kTaps / 32; ++k) {
        const __m512i xv = _mm512_loadu_si512(x + 32 * k);
        acc_hi = _mm512_dpwssd_epi32(acc_hi, xv, _mm512_load_si512(hi + 32 * k));
        acc_lo = _mm512_dpwssd_epi32(acc_lo, xv, _mm512_load_si512(lo + 32 * k));
        acc_d = _mm512_dpwssd_epi32(acc_d, xv, _mm512_load_si512(d + 32 * k));
    }
    return join(hsum512(acc_hi), hsum512(acc_lo), hsum512(acc_d), rp.phi);
}
#pragma GCC diagnostic pop

// ---- rows for one stride ---------------------------------------------------

namespace {

// The hi parts' lanes are added in 64 bits: their total can pass 2^31.
inline int64_t hsum128_wide(__m128i v)
{
    const __m128i sign = _mm_srai_epi32(v, 31);
    const __m128i lo = _mm_unpacklo_epi32(v, sign);
    const __m128i hi = _mm_unpackhi_epi32(v, sign);
    const __m128i s = _mm_add_epi64(lo, hi);
    return _mm_cvtsi128_si64(s) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
}

inline int64_t join_wide(int64_t sum_hi, int64_t sum_lo, int64_t sum_d, int32_t phi)
{
    return (sum_hi * 64 + sum_lo) * 32768 + phi * sum_d;
}

// The taps past the last whole vector, one at a time.
struct Tail {
    int64_t hi = 0;
    int64_t lo = 0;
    int64_t d = 0;
};

inline Tail tail(const int16_t* x, const int16_t* hi, const int16_t* lo, const int16_t* d,
                 int32_t from, int32_t taps)
{
    Tail t;
    for (int32_t k = from; k < taps; ++k) {
        t.hi += int32_t{x[k]} * hi[k];
        t.lo += int32_t{x[k]} * lo[k];
        t.d += int32_t{x[k]} * d[k];
    }
    return t;
}

} // namespace

int64_t rows_sum_sse2(const int16_t* x, const int16_t* hi, const int16_t* lo, const int16_t* d,
                      int32_t taps, int32_t phi)
{
    __m128i acc_hi = _mm_setzero_si128();
    __m128i acc_lo = _mm_setzero_si128();
    __m128i acc_d = _mm_setzero_si128();
    int32_t k = 0;
    for (; k + 8 <= taps; k += 8) {
        const __m128i xv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + k));
        const auto at = [k](const int16_t* p) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        };
        acc_hi = _mm_add_epi32(acc_hi, _mm_madd_epi16(xv, at(hi)));
        acc_lo = _mm_add_epi32(acc_lo, _mm_madd_epi16(xv, at(lo)));
        acc_d = _mm_add_epi32(acc_d, _mm_madd_epi16(xv, at(d)));
    }
    Tail t = tail(x, hi, lo, d, k, taps);
    return join_wide(hsum128_wide(acc_hi) + t.hi, hsum128(acc_lo) + t.lo, hsum128(acc_d) + t.d,
                     phi);
}

__attribute__((target("avx2"))) int64_t rows_sum_avx2(const int16_t* x, const int16_t* hi,
                                                      const int16_t* lo, const int16_t* d,
                                                      int32_t taps, int32_t phi)
{
    __m256i acc_hi = _mm256_setzero_si256();
    __m256i acc_lo = _mm256_setzero_si256();
    __m256i acc_d = _mm256_setzero_si256();
    int32_t k = 0;
    for (; k + 16 <= taps; k += 16) {
        const __m256i xv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + k));
        acc_hi = _mm256_add_epi32(
            acc_hi,
            _mm256_madd_epi16(xv, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hi + k))));
        acc_lo = _mm256_add_epi32(
            acc_lo,
            _mm256_madd_epi16(xv, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lo + k))));
        acc_d = _mm256_add_epi32(
            acc_d,
            _mm256_madd_epi16(xv, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + k))));
    }
    // Each 128-bit half's lanes are bounded, their sum is not: the halves
    // are widened before they meet.
    const int64_t sum_hi = hsum128_wide(_mm256_castsi256_si128(acc_hi)) +
                           hsum128_wide(_mm256_extracti128_si256(acc_hi, 1));
    const __m128i l =
        _mm_add_epi32(_mm256_castsi256_si128(acc_lo), _mm256_extracti128_si256(acc_lo, 1));
    const __m128i e =
        _mm_add_epi32(_mm256_castsi256_si128(acc_d), _mm256_extracti128_si256(acc_d, 1));
    const Tail t = tail(x, hi, lo, d, k, taps);
    return join_wide(sum_hi + t.hi, hsum128(l) + t.lo, hsum128(e) + t.d, phi);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw,avx512vnni"))) int64_t
rows_sum_avx512(const int16_t* x, const int16_t* hi, const int16_t* lo, const int16_t* d,
                int32_t taps, int32_t phi)
{
    __m512i acc_hi = _mm512_setzero_si512();
    __m512i acc_lo = _mm512_setzero_si512();
    __m512i acc_d = _mm512_setzero_si512();
    for (int32_t k = 0; k < taps; k += 32) {
        // The last vector only as far as the row goes: masked loads read
        // nothing past it, and the entries they leave out count as 0.
        const __mmask32 m = taps - k >= 32 ? ~__mmask32{0} : (__mmask32{1} << (taps - k)) - 1;
        const __m512i xv = _mm512_maskz_loadu_epi16(m, x + k);
        acc_hi = _mm512_dpwssd_epi32(acc_hi, xv, _mm512_maskz_loadu_epi16(m, hi + k));
        acc_lo = _mm512_dpwssd_epi32(acc_lo, xv, _mm512_maskz_loadu_epi16(m, lo + k));
        acc_d = _mm512_dpwssd_epi32(acc_d, xv, _mm512_maskz_loadu_epi16(m, d + k));
    }
    // The hi lanes widened to 64 bits before they are added (see above).
    const __m512i wide = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc_hi)),
                                          _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc_hi, 1)));
    const __m256i w = _mm256_add_epi64(_mm512_castsi512_si256(wide), _mm512_extracti64x4_epi64(wide, 1));
    const __m128i w2 = _mm_add_epi64(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
    const int64_t sum_hi = _mm_cvtsi128_si64(w2) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(w2, w2));
    return join_wide(sum_hi, hsum512(acc_lo), hsum512(acc_d), phi);
}
#pragma GCC diagnostic pop

} // namespace asrc_poly_detail

#endif
