// cpu_x86.h - the one place where the library asks which vector units the
// processor has, for the x86-64 paths of both the polyphase and the 24-bit
// converter.  Internal to the library.
//
// The answers come from GCC's and Clang's processor model
// (__builtin_cpu_supports), which libgcc detects once per process.  They are
// asked again at every choice, not kept here: a check program may narrow
// that model to hold a lesser path to the same hash (tools/q31_paths.h).
#ifndef ASRC_CPU_X86_H
#define ASRC_CPU_X86_H

// The vector paths are x86-64's (the 32-bit x86 ABI lacks some of their
// 64-bit moves; i686 runs the portable code, to the same bits).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ASRC_X86_KERNELS 1

namespace asrc_cpu_detail {

inline bool has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// AVX-512 with its 16-bit multiply-adds (BW, VNNI): the polyphase
// converter's sums.
inline bool has_avx512_vnni()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vnni");
}

// AVX-512 with 64-bit lanes and 256-bit masked forms (DQ, VL): the 24-bit
// converter's sums and gathers.
inline bool has_avx512_dq_vl()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
}

} // namespace asrc_cpu_detail

#endif

#endif
