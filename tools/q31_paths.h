// q31_paths.h - which full-band sums the 24-bit converter runs on this
// processor, and, for the check programs only, a way to make it run lesser
// ones (AVX2 on a processor with AVX-512, the portable sums on any x86) so
// that one machine can hold every path to the same hash.
//
// The converter chooses its sums at run time from GCC's and Clang's
// processor model (__builtin_cpu_supports), which libgcc keeps in one
// global, __cpu_model: clearing its AVX2 and AVX-512 bits makes every later
// choice fall back to the portable sums.  That global is libgcc's own
// layout (stable since GCC 4.8, the one Clang's runtime copies), so
// limit() confirms through the converter's own tests that the
// vector paths are off, and says so when it cannot be done (another
// compiler, or a converter in a shared library with its own copy).  Not for
// products: the converter's choice is the right one.
#ifndef ASRC_TOOLS_Q31_PATHS_H
#define ASRC_TOOLS_Q31_PATHS_H

#include "internal/q31_kernels.h"

namespace q31_paths {

// The sums the converter picks now: "avx512", "avx2" or "portable".
inline const char* current()
{
#ifdef ASRC_Q31_X86_KERNELS
    if (asrc_cpu_detail::has_avx512_dq_vl())
        return "avx512";
    if (asrc_cpu_detail::has_avx2())
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

// The sums at most, from the best down: a name of current() or "".
inline int rank(const char* sums)
{
    return sums[0] == 'a' ? (sums[3] == '5' ? 2 : 1) : 0;
}

// Makes the converter pick at most `sums` ("avx2" or "portable") from now
// on in this process; true when it does (it cannot pick better ones than
// the processor has, of course).
inline bool limit(const char* sums)
{
#ifdef ASRC_Q31_X86_KERNELS
    __builtin_cpu_init();
    if (rank(sums) < 2)
        __cpu_model.features[0] &= rank(sums) == 1 ? ~kAvx512f : ~(kAvx2 | kAvx512f);
#endif
    return rank(current()) <= rank(sums);
}

// Undoes limit (the processor's own features again).
inline void restore()
{
#ifdef ASRC_Q31_X86_KERNELS
    __cpu_model.vendor = 0; // __builtin_cpu_init runs the detection again
    __builtin_cpu_init();
#endif
}

} // namespace q31_paths

#endif
