// python_ratio_baseline.cpp - the C++ side of bench/python_ratio.py: converts
// a file of raw native int16 samples in one call of the block entry, into an
// output buffer sized and touched beforehand, and prints the nanoseconds that
// call took.  The outputs go to OUT so that the two sides can be compared.
//
//   python_ratio_baseline IN STEP OUT
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "asrc.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: python_ratio_baseline IN STEP OUT\n");
        return 2;
    }
    std::FILE* in_file = std::fopen(argv[1], "rb");
    if (in_file == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<std::int16_t> in;
    std::int16_t piece[4096];
    std::size_t got = 0;
    while ((got = std::fread(piece, sizeof piece[0], 4096, in_file)) > 0)
        in.insert(in.end(), piece, piece + got);
    std::fclose(in_file);
    // The script passes a step within int16 and fewer than 2^31 samples.
    const auto step = static_cast<std::int16_t>(std::atoi(argv[2]));
    const auto count = static_cast<std::int32_t>(in.size());

    std::vector<std::int16_t> out(static_cast<std::size_t>(asrc_max_output(count, step)));
    asrc_state state;
    asrc_state_init(&state);
    std::int32_t nin = count;
    std::int32_t nout = 0;
    const auto start = std::chrono::steady_clock::now();
    asrc_state_process_block(&state, out.data(), in.data(), &nin, &nout, step);
    const auto stop = std::chrono::steady_clock::now();
    std::printf("%lld\n", static_cast<long long>(
                              std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count()));

    std::FILE* out_file = std::fopen(argv[3], "wb");
    if (out_file == nullptr ||
        std::fwrite(out.data(), sizeof out[0], static_cast<std::size_t>(nout), out_file) !=
            static_cast<std::size_t>(nout) ||
        std::fclose(out_file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
