// fuzz_check.h - a failed check ends the run, so that libFuzzer keeps the
// input that broke it.
#ifndef ASRC_FUZZ_CHECK_H
#define ASRC_FUZZ_CHECK_H

#include <cstdlib>

inline void check(bool ok)
{
    if (!ok)
        std::abort();
}

#endif
