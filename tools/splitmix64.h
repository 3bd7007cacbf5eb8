// splitmix64.h - the pseudo-random numbers of the check programs: small,
// fast and the same on every target, so that a seed names one run on the
// host, under wine and on every Cortex-M core alike.
#ifndef ASRC_TOOLS_SPLITMIX64_H
#define ASRC_TOOLS_SPLITMIX64_H

#include <cstdint>

struct SplitMix64 {
    std::uint64_t s;

    std::uint64_t next()
    {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
};

#endif
