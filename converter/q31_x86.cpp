// q31_x86.cpp - the 24-bit converter's full-band sums compiled for AVX2 and
// AVX-512.  The source is the portable one (q31_kernels.h); only the
// instructions the compiler may choose differ, and integer sums have one
// result in any order, so the results are the same bits.
#include "q31_kernels.h"
#include "q31_table.h"

#ifdef ASRC_Q31_X86_KERNELS

namespace asrc_q31_detail {

__attribute__((target("avx2"))) void full_band_sums_avx2(const int32_t* const* x,
                                                         int32_t channels, uint32_t p, int64_t* d)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        row_sums(kQ31Coef[0][p], kQ31Coef[1][p], kQ31Coef[2][p], kQ31Coef[3][p], x[ch], d + 4 * ch);
}

__attribute__((target("avx512f,avx512vl,avx512dq"))) void
full_band_sums_avx512(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        row_sums(kQ31Coef[0][p], kQ31Coef[1][p], kQ31Coef[2][p], kQ31Coef[3][p], x[ch], d + 4 * ch);
}

bool q31_cpu_has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool q31_cpu_has_avx512()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq");
}

} // namespace asrc_q31_detail

#endif
