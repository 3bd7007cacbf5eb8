// poly_dsp.cpp - the full-band filter sum on Cortex-M cores with the DSP
// extension (M4, M7, M33, ...), when the library is built with
// ASRC_POLY_SPLIT_ROWS: SMLAD multiplies two 16-bit inputs by two 16-bit
// row entries and adds both products to a 32-bit sum in one instruction, so
// each pair of taps costs three of them (hi, lo, d) and four loads.  The
// rows of poly_rows.h cost 192 KiB of constant data beside the folded
// 64 KiB table; their bounds keep the 32-bit sums exact, so the result is
// full_band_sum_portable's integer.
#include "internal/poly_kernels.h"

#ifdef ASRC_POLY_DSP_KERNEL

#include <arm_acle.h>

#include "internal/poly_rows.h"

namespace asrc_poly_detail {

namespace {

// Two neighbouring 16-bit values as one word, the first in the low half (the
// byte order of every Cortex-M).  The inputs need not be word-aligned: the
// DSP cores load unaligned words.
inline uint32_t pair(const int16_t* p)
{
    uint32_t v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

int64_t full_band_sum_dsp(const int16_t* xn, uint32_t frac)
{
    const RowPosition rp = row_at(frac);
    const int16_t* x = xn - 63;
    const int16_t* hi = kRowTables.hi[rp.p];
    const int16_t* lo = kRowTables.lo[rp.p];
    const int16_t* d = kRowTables.d[rp.p];
    // The casts reinterpret the bits of the 32-bit sums (two's complement).
    int32_t sum_hi = 0;
    int32_t sum_lo = 0;
    int32_t sum_d = 0;
    // Left rolled: GCC's unrolling interleaves the loads with the
    // multiplies that wait on them and counts 8% more instructions.
    for (int i = 0; i < kTaps; i += 2) {
        const uint32_t xv = pair(x + i);
        sum_hi = __smlad(xv, pair(hi + i), sum_hi);
        sum_lo = __smlad(xv, pair(lo + i), sum_lo);
        sum_d = __smlad(xv, pair(d + i), sum_d);
    }
    return join(sum_hi, sum_lo, sum_d, rp.phi);
}

} // namespace asrc_poly_detail

#endif
