// q31_hash.cpp - runs the 24-bit converter through the deterministic
// schedule of q31_hash.h and prints one line ending in the run's 64-bit
// hash.  The same seed and call count must give the same line on every
// machine and every path: tools/windows_e2e.sh compares the native build's
// vector and portable paths and the i686 Windows build under wine,
// tools/arm_check.sh each Cortex-M build under qemu with the host's, and
// tests/q31_port_test.cpp the schedule's hash from the library with the
// plain reference's.
//
//   q31_hash [SEED [CALLS]]     (defaults 1 and 400)
//
// Built with -DQ31_HASH_ROWS, the converters run on rows of their own when
// downsampling (see q31_hash.h), and the line says "own rows" beside the
// sums: another hash, which the machines must agree on among themselves.
//
// With ASRC_Q31_SUMS=avx2 or ASRC_Q31_SUMS=portable in the environment (x86
// only), the converter is made to run those sums at most instead of the
// best this processor has (see q31_paths.h); the line names the sums that
// ran.
//
// Exit status 0 with the line
//
//   q31 hash on TARGET (SUMS): seed 1, 400 calls on 2 converters, ... hash 0x...
//
// (everything after "): " is what the machines must agree on), 1 with a
// FAIL line when the converter broke a promise of asrc_q31.h on the way (a
// refused call that changed the state, a write outside the outputs, not
// exactly the outputs due, ...) or the run did not reach what it tests, 2
// on a bad argument.  It needs printf, getenv, strcmp and strtoull alone, no heap:
// its buffers are static.
#include "q31_hash.h"
#include "q31_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef ASRC_CHECK_TARGET
#define ASRC_CHECK_TARGET "host"
#endif

namespace {

// Static: about 1.1 MiB of buffers and memory.
q31_hash::Driver<q31_hash::LibraryConverter> driver;

bool parse(const char* text, unsigned long long& value)
{
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return *text >= '0' && *text <= '9' && end != text && *end == '\0';
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long long seed = 1;
    unsigned long long calls = 400;
    if (argc > 3 || (argc > 1 && !parse(argv[1], seed)) ||
        (argc > 2 && (!parse(argv[2], calls) || calls == 0 || calls > 100000000))) {
        std::printf("usage: q31_hash [SEED [CALLS]]  (CALLS 1..100000000)\n");
        return 2;
    }
    const char* limit = std::getenv("ASRC_Q31_SUMS");
    if (limit != nullptr && limit[0] != '\0') {
        const bool known = std::strcmp(limit, "avx2") == 0 || std::strcmp(limit, "portable") == 0;
        if (!known) {
            std::printf("q31_hash: ASRC_Q31_SUMS must be avx2 or portable, not %s\n", limit);
            return 2;
        }
        if (!q31_paths::limit(limit)) {
            std::printf("FAIL on %s: ASRC_Q31_SUMS is %s, but the converter still runs its %s "
                        "sums\n",
                        ASRC_CHECK_TARGET, limit, q31_paths::current());
            return 1;
        }
    }
    const char* sums = q31_paths::current();
    const q31_hash::Summary s = driver.run(seed, static_cast<std::int64_t>(calls));
    if (s.failure) {
        std::printf("FAIL on %s (%s), seed %llu, call %lld: %s\n", ASRC_CHECK_TARGET, sums, seed,
                    static_cast<long long>(s.failed_call), s.failure);
        return 1;
    }
    const char* missing = s.outputs_full_band == 0   ? "full-band"
                          : s.outputs_stretched == 0 ? "stretched"
                          : s.clipped == 0           ? "clipped"
                          : s.crossings == 0         ? "full band's edge crossed"
                                                     : nullptr;
    if (missing) {
        std::printf("FAIL on %s, seed %llu: the run gave no %s outputs; it does not test them\n",
                    ASRC_CHECK_TARGET, seed, missing);
        return 1;
    }
    int counts = 0;
    for (int c = 1; c <= ASRC_Q31_MAX_CHANNELS; ++c)
        counts += (s.channel_counts >> c) & 1;
    using ll = long long;
    std::printf("q31 hash on %s (%s%s): seed %llu, %lld calls on %d converters of 1 to 8 channels "
                "(%d counts seen), %lld frames in, %lld out (%lld full-band, %lld stretched, %lld "
                "beyond 1:8 or 8:1), %lld samples out, %lld clipped, %lld ratio changes (%lld "
                "across the full band's edge), %lld refused, %lld skipped: hash 0x%016llx\n",
                ASRC_CHECK_TARGET, sums, q31_hash::kRows ? ", own rows" : "", seed, ll{s.calls}, q31_hash::kConverters, counts,
                ll{s.frames_in}, ll{s.outputs_full_band + s.outputs_stretched},
                ll{s.outputs_full_band}, ll{s.outputs_stretched}, ll{s.outputs_far},
                ll{s.samples_out}, ll{s.clipped}, ll{s.ratio_changes}, ll{s.crossings},
                ll{s.refused}, ll{s.skipped}, static_cast<unsigned long long>(s.hash));
    return 0;
}
