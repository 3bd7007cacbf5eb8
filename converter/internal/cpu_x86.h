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

// Defined out of line (cpu_x86.cpp): a source that includes this header
// and also reads libgcc's processor model itself, as tools/q31_paths.h
// does, must not see the builtins inline (clang 14's optimizer crashes
// now and then on the pair).
bool has_avx2();
// AVX-512 with its 16-bit multiply-adds (BW, VNNI): the polyphase
// converter's sums.
bool has_avx512_vnni();
// AVX-512 with 64-bit lanes and 256-bit masked forms (DQ, VL): the 24-bit
// converter's sums and gathers.
bool has_avx512_dq_vl();

} // namespace asrc_cpu_detail

#endif

#endif
