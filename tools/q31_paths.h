// q31_paths.h - which full-band sums the 24-bit converter runs on this
// processor, and, for the check programs only, a way to make it run the
// portable ones on an x86 processor that has vector units, so that one
// machine can hold every path to the same hash.
//
// The converter chooses its sums at run time from GCC's and Clang's
// processor model (__builtin_cpu_supports), which libgcc keeps in one
// global, __cpu_model: clearing its AVX2 and AVX-512 bits makes every later
// choice fall back to the portable sums.  That global is libgcc's own
// layout (stable since GCC 4.8, the one Clang's runtime copies), so
// force_portable() confirms through the converter's own tests that the
// vector paths are off, and says so when it cannot be done (another
// compiler, or a converter in a shared library with its own copy).  Not for
// products: the converter's choice is the right one.
#ifndef ASRC_TOOLS_Q31_PATHS_H
#define ASRC_TOOLS_Q31_PATHS_H

#include "q31_kernels.h"

namespace q31_paths {

// The sums the converter picks now: "avx512", "avx2" or "portable".
inline const char* current()
{
#ifdef ASRC_Q31_X86_KERNELS
    if (asrc_q31_detail::q31_cpu_has_avx512())
        return "avx512";
    if (asrc_q31_detail::q31_cpu_has_avx2())
        return "avx2";
#endif
    return "portable";
}

#ifdef ASRC_Q31_X86_KERNELS
// libgcc's processor model (libgcc/config/i386/cpuinfo.h): the first word
// of features, whose bit k is processor_features entry k.
struct ProcessorModel {
    unsigned vendor, type, subtype;
    unsigned features[1];
};
extern "C" ProcessorModel __cpu_model;
inline constexpr unsigned kAvx2 = 1u << 10;
inline constexpr unsigned kAvx512f = 1u << 15;
#endif

// Makes the converter pick the portable sums from now on in this process;
// true when it does.
inline bool force_portable()
{
#ifdef ASRC_Q31_X86_KERNELS
    __builtin_cpu_init();
    __cpu_model.features[0] &= ~(kAvx2 | kAvx512f);
#endif
    return current()[0] == 'p';
}

// Undoes force_portable (the processor's own features again).
inline void restore()
{
#ifdef ASRC_Q31_X86_KERNELS
    __cpu_model.vendor = 0; // __builtin_cpu_init runs the detection again
    __builtin_cpu_init();
#endif
}

} // namespace q31_paths

#endif
