/* A C program using the converter as a library user would: the module-scope
 * entries and a stereo pair of caller-owned states, each held to known
 * outputs.  Built in the tree as C99 and C11, and by tools/check_consumers.sh
 * against an installed or included library.  Exit status 0 when every value
 * matches. */
#include <asrc.h>
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
    if (failures == 0)
        printf("asrc C consumer: all values as expected\n");
    return failures == 0 ? 0 : 1;
}
