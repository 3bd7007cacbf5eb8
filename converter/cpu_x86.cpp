// cpu_x86.cpp - see internal/cpu_x86.h.  Empty off x86-64.
#include "internal/cpu_x86.h"

#ifdef ASRC_X86_KERNELS

namespace asrc_cpu_detail {

bool has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool has_avx512_vnni()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vnni");
}

bool has_avx512_dq_vl()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
}

} // namespace asrc_cpu_detail

#endif
