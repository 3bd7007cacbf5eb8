// A C++ program using the converter as a library user would: a stereo pair
// of caller-owned states in an array and the module-scope entries, held to
// known outputs.  Built in the tree as C++11 to C++20, and by
// tools/check_consumers.sh against an installed or included library.  Exit
// status 0 when every value matches.
#include <asrc.h>
#include <asrc_poly.h>
#include <asrc_q31.h>

#include <cstdint>
#include <cstdio>
#include <vector>

// The worst-case count and the phase unit are constant expressions.
static_assert(asrc_max_output(16, -2341) == 19, "worst case of a block of 16");
static_assert(asrc_max_output(16, 163) == 16, "no more outputs than inputs when dropping");
static_assert(ASRC_ONE == 16384, "one sample in Q2.14");
static_assert(asrc_poly_max_output(48, ASRC_POLY_RATIO_ONE) == 112,
              "48 inputs at 1:1, from any state");
static_assert(asrc_poly_delay(ASRC_POLY_RATIO_MAX) == ASRC_POLY_DELAY_MAX, "longest filter at 2:1");
// The 24-bit converter's memory sizes a static array; the servo's Q2.30
// ratio converts exactly.
static_assert(ASRC_Q31_MEMORY_WORDS(2, 1) == 4 * 2 * ASRC_Q31_DELAY_MIN, "stereo, ratios up to 1");
static_assert(asrc_q31_ratio_from_q30(ASRC_POLY_RATIO_ONE) == ASRC_Q31_RATIO_ONE, "Q2.30 to Q24.40");

namespace {

int failures = 0;

void expect(const char* what, const std::vector<std::int16_t>& got,
            const std::vector<std::int16_t>& want)
{
    if (got != want) {
        std::printf("%s: wrong output\n", what);
        ++failures;
    }
}

} // namespace

int main()
{
    asrc_state channel[2] = {}; // zero-filled: both just reset
    const std::int16_t step[2] = {8192, -1000};
    const std::vector<std::int16_t> in[2] = {{100, 200, 300, 400, 500}, {100, 200}};
    std::vector<std::int16_t> got[2];

    // Interleaved sample by sample, as a frame loop would feed them.
    for (std::size_t i = 0; i < 5; ++i) {
        for (int c = 0; c < 2; ++c) {
            if (i >= in[c].size())
                continue;
            std::int16_t out[2];
            std::int32_t nout = 0;
            asrc_state_process_sample(&channel[c], out, in[c][i], &nout, step[c]);
            got[c].insert(got[c].end(), out, out + nout);
        }
    }
    expect("left", got[0], {50, 250, 400, 500});
    expect("right", got[1], {0, 100, 193});

    asrc_init();
    const std::int16_t delay_in[3] = {5, 7, -3};
    std::int16_t out[asrc_max_output(3, 0)];
    std::int32_t nin = 3;
    std::int32_t nout = 0;
    asrc_process_block(out, delay_in, &nin, &nout, 0);
    expect("module", std::vector<std::int16_t>(out, out + nout), {0, 5, 7});

    // The polyphase converter at 1:1 on a constant: outputs k = 0..135 are
    // due after 200 inputs, and equal the input once the window is inside it.
    asrc_poly_state poly;
    if (asrc_poly_init(&poly, ASRC_POLY_RATIO_ONE) != 0)
        ++failures;
    const std::vector<std::int16_t> flat(200, -777);
    std::vector<std::int16_t> pout(static_cast<std::size_t>(asrc_poly_max_output(200, poly.ratio)));
    nin = 200;
    asrc_poly_process_block(&poly, pout.data(), flat.data(), &nin, &nout);
    pout.resize(static_cast<std::size_t>(nout));
    expect("poly", std::vector<std::int16_t>(pout.begin() + 63, pout.end()),
           std::vector<std::int16_t>(136 - 63, -777));

    if (failures == 0)
        std::printf("asrc C++ consumer: all values as expected\n");
    return failures == 0 ? 0 : 1;
}
