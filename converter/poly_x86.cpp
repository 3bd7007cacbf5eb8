// poly_x86.cpp - the full-band filter sum with SSE2 and AVX2: the same
// integer as full_band_sum_portable, from 16-bit multiply-adds.
//
// The 20-bit coefficients do not fit the 16-bit lanes of pmaddwd, so each is
// split, F = hi * 64 + lo with lo in 0..63, and the difference to the next
// phase, F(q - 1) - F(q), is small enough to be a third 16-bit stream.
// Three dot products of the 128 inputs with 16-bit rows then give
//     A = 64 * sum(x * hi) + sum(x * lo),   D = sum(x * d),
// and X = A * 2^15 + phi * D exactly as the portable code forms it.  The
// rows are laid out phase by phase (the portable code walks the table with
// a stride of 256 instead), 3 x 256 x 128 int16, built by the compiler from
// poly_table.h.  Every partial sum that a 32-bit lane holds is bounded
// below 2^31 by the static_asserts at the end of the table's construction,
// so the lanes cannot overflow and the result is exact.
#include "poly_kernels.h"

#ifdef ASRC_POLY_X86_KERNELS

#include <immintrin.h>

#include "poly_table.h"

namespace asrc_poly_detail {

namespace {

constexpr int kRows = kTablePhases;
constexpr int kTaps = kTableTaps;

struct Rows {
    alignas(64) int16_t hi[kRows][kTaps];
    alignas(64) int16_t lo[kRows][kTaps];
    alignas(64) int16_t d[kRows][kTaps];
    // Largest sums of magnitudes over one row, for the bounds below.
    int32_t max_abs_hi;
    int32_t max_abs_lo;
    int32_t max_abs_d;
};

constexpr int32_t entry(int32_t q)
{
    return q < 0 || q > 2 * kTableCentre ? 0
           : q <= kTableCentre           ? kHalfTable[q]
                                         : kHalfTable[2 * kTableCentre - q];
}

// Row p, tap i holds input n + i - 63 at table position 256 * (i + 1) - p.
constexpr Rows make_rows()
{
    Rows r{};
    for (int p = 0; p < kRows; ++p) {
        int32_t sum_hi = 0;
        int32_t sum_lo = 0;
        int32_t sum_d = 0;
        for (int i = 0; i < kTaps; ++i) {
            const int32_t q = kTablePhases * (i + 1) - p;
            const int32_t f = entry(q);
            const int32_t hi = f >> 6; // floor: lo = f - 64 * hi is 0..63
            const int32_t lo = f - hi * 64;
            const int32_t d = entry(q - 1) - f;
            r.hi[p][i] = static_cast<int16_t>(hi); // bounded below
            r.lo[p][i] = static_cast<int16_t>(lo);
            r.d[p][i] = static_cast<int16_t>(d);
            if (hi < -32768 || hi > 32767 || d < -32768 || d > 32767)
                r.max_abs_hi = 1 << 30; // fails the assertion below
            sum_hi += hi < 0 ? -hi : hi;
            sum_lo += lo;
            sum_d += d < 0 ? -d : d;
        }
        r.max_abs_hi = sum_hi > r.max_abs_hi ? sum_hi : r.max_abs_hi;
        r.max_abs_lo = sum_lo > r.max_abs_lo ? sum_lo : r.max_abs_lo;
        r.max_abs_d = sum_d > r.max_abs_d ? sum_d : r.max_abs_d;
    }
    return r;
}

constexpr Rows kRowTables = make_rows();

// A 32-bit lane sums products of inputs (|x| <= 32768) with part of a row,
// so it stays within 32768 times the row's sum of magnitudes; pmaddwd's own
// pair sums are bounded the same way.
constexpr int64_t kLaneLimit = int64_t{1} << 31;
static_assert(int64_t{32768} * kRowTables.max_abs_hi < kLaneLimit, "hi sums fit 32 bits");
static_assert(int64_t{32768} * kRowTables.max_abs_lo < kLaneLimit, "lo sums fit 32 bits");
static_assert(int64_t{32768} * kRowTables.max_abs_d < kLaneLimit, "d sums fit 32 bits");

struct RowPosition {
    int p;
    int32_t phi;
};

inline RowPosition row_at(uint32_t frac)
{
    // Stride 256: a = frac >> 22, phi = (frac >> 7) & 0x7FFF.
    return {static_cast<int>(frac >> 22), static_cast<int32_t>((frac >> 7) & 0x7FFF)};
}

inline int64_t join(int32_t sum_hi, int32_t sum_lo, int32_t sum_d, int32_t phi)
{
    const int64_t a = int64_t{sum_hi} * 64 + sum_lo;
    return a * 32768 + int64_t{phi} * sum_d;
}

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
__attribute__((target("avx512f,avx512bw,avx512vnni"))) inline int32_t hsum512(__m512i v)
{
    v = _mm512_add_epi32(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m256i h = _mm512_castsi512_si256(v);
    return hsum128(_mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1)));
}
#pragma GCC diagnostic pop

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

bool cpu_has_avx512_vnni()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vnni");
}

bool cpu_has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

} // namespace asrc_poly_detail

#endif
