/* A C program using the FIFO and the servo as a library user would, with
 * the polyphase converter and the first family's state for the servo's
 * position, each call held to values worked out by hand from the headers.
 * Built in the tree as C99 and C11, and by tools/check_consumers.sh against
 * an installed or included library.  Exit status 0 when every value
 * matches. */
#include <asrc_fifo.h>
#include <asrc_servo.h>
#include <stdio.h>

static int failures;

static void expect(const char* what, long long got, long long want)
{
    if (got != want) {
        printf("%s: %lld, expected %lld\n", what, got, want);
        ++failures;
    }
}

int main(void)
{
    static int16_t memory[4 * 2]; /* four stereo frames */
    const int16_t in[3 * 2] = {1, -1, 2, -2, 3, -3};
    int16_t out[5 * 2];
    asrc_fifo fifo;
    asrc_fifo_counts counts;
    asrc_servo servo;
    asrc_servo_config config;
    asrc_poly_state poly;
    asrc_state rule = {0, 0, 0, 0, 0};

    expect("fifo init", asrc_fifo_init(&fifo, memory, 4, 2), 0);
    expect("write", asrc_fifo_write(&fifo, in, 3), 3);
    expect("fill", asrc_fifo_fill(&fifo), 3);
    expect("space", asrc_fifo_space(&fifo), 1);
    /* Five asked, three there: the last two frames are silence. */
    expect("read", asrc_fifo_read(&fifo, out, 5), 3);
    expect("third frame", out[5], -3);
    expect("silence", out[6] | out[7] | out[8] | out[9], 0);
    counts = asrc_fifo_get_counts(&fifo);
    expect("underruns", counts.underruns, 1);
    expect("underrun frames", counts.underrun_frames, 2);
    expect("silence written", asrc_fifo_write_silence(&fifo, 6), 4);
    counts = asrc_fifo_get_counts(&fifo);
    expect("overrun frames", counts.overrun_frames, 2);

    /* 48 kHz, a 1 ms block of 48 frames, 2 ms of target. */
    config = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    expect("servo init", asrc_servo_init(&servo, &config), 0);
    expect("acquisition: 2^8 updates", servo.acquire_shift, 8);
    expect("tracking: 2^14 updates", servo.track_shift, 14);
    expect("muted at first", asrc_servo_muted(&servo) != 0, 1);

    /* A converter just set up holds input -1 beyond its next output, 63.5
     * short of the middle of its steady state: the first refill brings the
     * target (96), half a block (24), those 63.5 frames (rounded up) and a
     * block more (48). */
    expect("poly init", asrc_poly_init(&poly, ASRC_POLY_RATIO_ONE), 0);
    expect("poly position", asrc_servo_poly_position(&poly), -(127LL << 29));
    expect("ratio while refilling", asrc_servo_update(&servo, 0, asrc_servo_poly_position(&poly)),
           ASRC_SERVO_RATIO_ONE);
    expect("first refill", asrc_servo_refill(&servo), 96 + 24 + 64 + 48);

    /* The rule's phase at one whole sample is half a sample behind its
     * middle. */
    rule.phase = 16384;
    expect("rule position", asrc_servo_rule_position(&rule), -(1LL << 29));

    if (failures == 0)
        printf("asrc bridge C consumer: all values as expected\n");
    return failures == 0 ? 0 : 1;
}
