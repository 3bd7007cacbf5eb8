// stdio_baseline.cpp - the yardstick of the end-to-end benchmark: the same
// conversion with one fscanf("%d") per number and one fprintf("%d\n") per
// sample, as a plain transcription of the program would do it.  Valid input
// only; it checks nothing.
//
//   stdio_baseline RATE_OFFSET      (in the folder that holds TEST24.TXT)
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "asrc.h"
#include "conditioning.h"

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    std::FILE* in = std::fopen("TEST24.TXT", "rt");
    std::FILE* out = std::fopen("TEST24_ASRC.TXT", "wt");
    if (in == nullptr || out == nullptr)
        return 1;
    // Wraps like the program's step for offsets in range.
    const auto step = static_cast<std::int16_t>(static_cast<std::int32_t>(16384.0 * std::atof(argv[1])));
    std::int16_t block[16];
    std::int16_t converted[32];
    asrc_init();
    for (;;) {
        int i = 0;
        for (; i < 16; ++i) {
            int v = 0;
            if (std::fscanf(in, "%d", &v) != 1)
                break;
            block[i] = asrc_cli::condition_sample(v);
        }
        if (i < 16)
            break;
        std::int32_t nin = 16, nout = 0;
        asrc_process_block(converted, block, &nin, &nout, step);
        for (std::int32_t k = 0; k < nout; ++k)
            std::fprintf(out, "%d\n", converted[k]);
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
