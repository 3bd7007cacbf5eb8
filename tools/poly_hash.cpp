// poly_hash.cpp - runs the polyphase converter through the deterministic
// schedule of poly_hash.h and prints one line ending in the run's 64-bit
// hash.  The same seed and call count must give the same line on every
// machine: tools/windows_e2e.sh compares the i686 Windows build under wine
// with the native one, tools/arm_check.sh each Cortex-M build under qemu
// with the host's, and tests/poly_port_test.cpp the schedule's hash from
// the library with the plain reference's.
//
//   poly_hash [SEED [CALLS]]     (defaults 1 and 600)
//
// Exit status 0 with the line
//
//   poly hash on TARGET: seed 1, 600 calls on 2 converters, ... hash 0x...
//
// (everything after "TARGET: " is what the machines must agree on), 1 with
// a FAIL line when the converter broke a promise of asrc_poly.h on the way
// (a refused ratio that changed the state, a write outside the outputs,
// more outputs than asrc_poly_max_output, ...), 2 on a bad argument.  It
// needs printf and strtoull alone, no heap: its buffers are static.
#include "poly_hash.h"

#include <cstdio>
#include <cstdlib>

#ifndef ASRC_CHECK_TARGET
#define ASRC_CHECK_TARGET "host"
#endif

namespace {

// Static: its buffers and two converters are a good part of a small core's
// RAM.
poly_hash::Driver<poly_hash::LibraryChannel> driver;

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
    unsigned long long calls = 600;
    if (argc > 3 || (argc > 1 && !parse(argv[1], seed)) ||
        (argc > 2 && (!parse(argv[2], calls) || calls == 0 || calls > 100000000))) {
        std::printf("usage: poly_hash [SEED [CALLS]]  (CALLS 1..100000000)\n");
        return 2;
    }
    const poly_hash::Summary s = driver.run(seed, static_cast<std::int64_t>(calls));
    if (s.failure) {
        std::printf("FAIL on %s, seed %llu, call %lld: %s\n", ASRC_CHECK_TARGET, seed,
                    static_cast<long long>(s.failed_call), s.failure);
        return 1;
    }
    if (s.outputs_full_band == 0 || s.outputs_stretched == 0 || s.clipped == 0) {
        std::printf("FAIL on %s, seed %llu: the run gave no %s outputs; it does not test them\n",
                    ASRC_CHECK_TARGET, seed,
                    s.outputs_full_band == 0   ? "full-band"
                    : s.outputs_stretched == 0 ? "stretched"
                                               : "clipped");
        return 1;
    }
    using ll = long long;
    std::printf("poly hash on %s: seed %llu, %lld calls on %d converters, %lld samples in, %lld "
                "out (%lld full-band, %lld stretched), %lld clipped, %lld ratio changes, %lld "
                "refused: hash 0x%016llx\n",
                ASRC_CHECK_TARGET, seed, ll{s.calls}, poly_hash::kChannels, ll{s.inputs},
                ll{s.outputs_full_band + s.outputs_stretched}, ll{s.outputs_full_band},
                ll{s.outputs_stretched}, ll{s.clipped}, ll{s.ratio_changes}, ll{s.refused},
                static_cast<unsigned long long>(s.hash));
    return 0;
}
