// poly_rows.h - the table's rows split into 16-bit parts, for the sums
// that multiply 16-bit pairs (SSE2/AVX2/AVX-512 on x86-64, SMLAD on Cortex-M
// cores with the DSP extension).  Internal to the library.
//
// The 20-bit coefficients do not fit 16 bits, so each is split, F = hi * 64
// + lo with lo in 0..63, and the difference to the next phase, F(q - 1) -
// F(q), is small enough to be a third 16-bit part.  Three dot products of
// the 128 inputs with 16-bit rows then give
//     A = 64 * sum(x * hi) + sum(x * lo),   D = sum(x * d),
// and X = A * 2^15 + phi * D exactly as the portable code forms it.  The
// rows are laid out phase by phase (the portable code walks the folded
// table with a stride of 256 instead), 3 x 256 x 128 int16 = 192 KiB, built
// by the compiler from poly_table.h.  Any partial sum of products of inputs
// with one row's parts is bounded below 2^31 by the static_asserts below,
// so 32-bit sums of them cannot overflow, in whatever order they are added.
#ifndef ASRC_POLY_ROWS_H
#define ASRC_POLY_ROWS_H

#include <cstdint>

#include "poly_table.h"

namespace asrc_poly_detail {

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
            const int32_t f = table_entry(q);
            const int32_t hi = f >> 6; // floor: lo = f - 64 * hi is 0..63
            const int32_t lo = f - hi * 64;
            const int32_t d = table_entry(q - 1) - f;
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

inline constexpr Rows kRowTables = make_rows();

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

} // namespace asrc_poly_detail

#endif
