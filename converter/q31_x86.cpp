// q31_x86.cpp - the 24-bit converter's full-band loops compiled for AVX2.
// The source is the portable one (q31_kernels.h); only the instructions the
// compiler may choose differ, so the results are the same bits.
#include "q31_kernels.h"
#include "q31_table.h"

#ifdef ASRC_Q31_X86_KERNELS

namespace asrc_q31_detail {

__attribute__((target("avx2"))) int32_t full_band_row_avx2(int32_t* c, uint64_t frac)
{
    return form_row(c, kQ31Coef[0][frac >> 34], kQ31Coef[1][frac >> 34], kQ31Coef[2][frac >> 34],
                    kQ31Coef[3][frac >> 34], row_fraction(frac));
}

__attribute__((target("avx2"))) void full_band_sums_avx2(const int32_t* c,
                                                         const int32_t* const* x,
                                                         int32_t channels, int64_t* acc)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        acc[ch] = dot(c, x[ch]);
}

bool q31_cpu_has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

} // namespace asrc_q31_detail

#endif
