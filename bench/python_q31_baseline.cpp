// python_q31_baseline.cpp - the C++ side of bench/python_q31.py: converts a
// file of raw native int32 frames (CHANNELS interleaved, at most 8) from
// IN_RATE to OUT_RATE as asrc.q31_convert does (the input, then the delay in
// zeros, cut to the outputs whose time lies within the input), in one call
// of the block entry into a buffer sized and touched beforehand, and prints
// the nanoseconds that call took.  The outputs go to OUT for comparison.
//
//   python_q31_baseline IN CHANNELS IN_RATE OUT_RATE OUT
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "asrc_q31.h"

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: python_q31_baseline IN CHANNELS IN_RATE OUT_RATE OUT\n");
        return 2;
    }
    const int channels = std::atoi(argv[2]);
    const std::uint64_t ratio = asrc_q31_ratio(static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                                               static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    if (channels < 1 || channels > ASRC_Q31_MAX_CHANNELS || ratio == 0) {
        std::fprintf(stderr, "channels must be 1..8 and the rates' ratio within 1/25..25\n");
        return 2;
    }
    std::FILE* in_file = std::fopen(argv[1], "rb");
    if (in_file == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<std::int32_t> in;
    std::int32_t piece[4096];
    std::size_t got = 0;
    while ((got = std::fread(piece, sizeof piece[0], 4096, in_file)) > 0)
        in.insert(in.end(), piece, piece + got);
    std::fclose(in_file);
    const auto width = static_cast<std::size_t>(channels);
    // The script passes whole frames, fewer than 2^31 of them with the delay.
    const auto frames = static_cast<std::int32_t>(in.size() / width);
    const std::int32_t delay = asrc_q31_delay(ratio);
    in.resize(in.size() + static_cast<std::size_t>(delay) * width, 0);

    std::vector<std::int32_t> out(
        static_cast<std::size_t>(asrc_q31_max_output(frames + delay, ratio)) * width, 1);
    std::vector<std::int32_t> memory(static_cast<std::size_t>(asrc_q31_memory_words(channels, ratio)));
    asrc_q31_state state;
    asrc_q31_init(&state, memory.data(), static_cast<std::int32_t>(memory.size()), channels, ratio, ratio);
    std::int32_t nin = frames + delay;
    std::int32_t nout = 0;
    const auto start = std::chrono::steady_clock::now();
    asrc_q31_process_block(&state, out.data(), in.data(), &nin, &nout);
    const auto stop = std::chrono::steady_clock::now();
    std::printf("%lld\n", static_cast<long long>(
                              std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count()));

    const auto wanted = static_cast<std::size_t>(
        ((static_cast<unsigned __int128>(frames) << 40) + ratio - 1) / ratio);
    const std::size_t words = std::min(wanted, static_cast<std::size_t>(nout)) * width;
    std::FILE* out_file = std::fopen(argv[5], "wb");
    if (out_file == nullptr || std::fwrite(out.data(), sizeof out[0], words, out_file) != words ||
        std::fclose(out_file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[5]);
        return 1;
    }
    return 0;
}
