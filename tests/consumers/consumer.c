/* A C program using the converter as a library user would: the module-scope
 * entries and a stereo pair of caller-owned states, each held to known
 * outputs.  Built in the tree as C99 and C11, and by tools/check_consumers.sh
 * against an installed or included library.  Exit status 0 when every value
 * matches. */
#include <asrc.h>
#include <asrc_poly.h>
#include <asrc_q31.h>
#include <stdio.h>

static int failures;

static void expect(const char* what, const int16_t* got, int32_t n, const int16_t* want,
                   int32_t m)
{
    int32_t i;
    int same = n == m;
    for (i = 0; same && i < n; ++i)
        same = got[i] == want[i];
    if (!same) {
        printf("%s: wrong output\n", what);
        ++failures;
    }
}

int main(void)
{
    /* A zero-filled static state is a converter just reset. */
    static asrc_state left;
    asrc_state right;
    int16_t out[2 * 5];
    int16_t in_left[5] = {100, 200, 300, 400, 500};
    int16_t in_right[2] = {100, 200};
    const int16_t want_left[4] = {50, 250, 400, 500};
    const int16_t want_right[3] = {0, 100, 193};
    const int16_t want_delay[3] = {0, 5, 7};
    const int16_t delay_in[3] = {5, 7, -3};
    int32_t nin, nout, i, total;

    asrc_state_init(&right);

    /* Left: step 8192 drops every third input (the phase ends on 16384
     * twice, which is not a drop). */
    nin = 5;
    asrc_state_process_block(&left, out, in_left, &nin, &nout, 8192);
    expect("left, block", out, nout, want_left, 4);

    /* Right: step -1000 inserts on the first input after a reset; fed one
     * sample at a time, interleaved with the left channel above. */
    total = 0;
    for (i = 0; i < 2; ++i) {
        asrc_state_process_sample(&right, out + total, in_right[i], &nout, -1000);
        total += nout;
    }
    expect("right, samples", out, total, want_right, 3);

    /* The module-scope converter: step 0 is a delay of one sample. */
    asrc_init();
    nin = 3;
    asrc_process_block(out, delay_in, &nin, &nout, 0);
    expect("module, block", out, nout, want_delay, 3);

    if (ASRC_ONE != 16384 || asrc_max_output(16, -2341) != 19 || asrc_max_output(16, 5) != 16 ||
        asrc_max_output(0, -1) != 0) {
        printf("constants: wrong value\n");
        ++failures;
    }
    /* The polyphase converter, 44.1 to 48 kHz, on a constant: 149 outputs
     * are due after 200 inputs (those with floor(k * 0.91875) + 64 <= 199),
     * and once the filter's window lies inside the input they equal it. */
    {
        static asrc_poly_state poly;
        static int16_t flat[200], pout[300];
        const uint32_t ratio = asrc_poly_ratio(44100, 48000);
        for (i = 0; i < 200; ++i)
            flat[i] = 1000;
        if (ratio != 986500301u || asrc_poly_init(&poly, ratio) != 0 ||
            asrc_poly_delay(ratio) != 64 || asrc_poly_max_output(200, ratio) > 300) {
            printf("poly: wrong ratio, delay or bound\n");
            ++failures;
        }
        nin = 200;
        asrc_poly_process_block(&poly, pout, flat, &nin, &nout);
        for (i = 70; nout == 149 && i < nout && pout[i] == 1000; ++i)
            ;
        if (nout != 149 || i != nout || asrc_poly_init(&poly, 3u << 30) != -1) {
            printf("poly: wrong output\n");
            ++failures;
        }
    }
    /* The 24-bit converter, 44.1 to 48 kHz, on a constant stereo frame: 223
     * frames are due after 300 (those with floor(k * 0.91875) + 96 <= 299),
     * and once the filter's window lies inside the input (k >= 104) they
     * equal it exactly. */
    {
        static int32_t mem[ASRC_Q31_MEMORY_WORDS(2, 1)];
        static int32_t flat2[2 * 300], out2[2 * 2900];
        asrc_q31_state q;
        const uint64_t ratio = asrc_q31_ratio(44100, 48000);
        for (i = 0; i < 300; ++i) {
            flat2[2 * i] = 1 << 28;
            flat2[2 * i + 1] = -(1 << 20) - 3;
        }
        if (ratio != 1010176308019ull || asrc_q31_delay(ratio) != 96 ||
            asrc_q31_max_output(300, ratio) > 2900) {
            printf("q31: wrong ratio, delay or bound\n");
            ++failures;
        }
        nin = 300;
        nout = 0;
        if (asrc_q31_init(&q, mem, ASRC_Q31_MEMORY_WORDS(2, 1), 2, ratio, ASRC_Q31_RATIO_ONE) == 0)
            asrc_q31_process_block(&q, out2, flat2, &nin, &nout);
        for (i = 104; nout == 223 && i < nout && out2[2 * i] == flat2[0] && out2[2 * i + 1] == flat2[1];
             ++i)
            ;
        if (nout != 223 || i != nout || asrc_q31_set_ratio(&q, 2 * ASRC_Q31_RATIO_ONE) != -1) {
            printf("q31: wrong output\n");
            ++failures;
        }
    }

    if (failures == 0)
        printf("asrc C consumer: all values as expected\n");
    return failures == 0 ? 0 : 1;
}
