/* The three pieces between a USB-style input and an I2S-style output, wired
 * as firmware would wire them (docs/bridge.md shows this file): a USB
 * interrupt brings a packet of 48 stereo frames every millisecond on the
 * host's clock, converts it and writes it into the FIFO; the I2S DMA
 * interrupt takes 64 frames each time half of its buffer has played, on
 * the codec's clock.  The main() below stands in for the two interrupts:
 * it runs them in the order their clocks give for five seconds, with the
 * codec 1000 ppm fast, and checks that the stream starts muted, then plays
 * with no underrun or overrun and the fill held near the target.  Built
 * as C99 by the test suite. */
#include <asrc_fifo.h>
#include <asrc_servo.h>
#include <stdio.h>
#include <string.h>

#define IN_BLOCK 48  /* frames per USB packet: 1 ms at 48 kHz */
#define OUT_BLOCK 64 /* frames per half of the I2S DMA buffer */
#define TARGET 96    /* 2 ms of fill: see "Sizing the FIFO" */
#define CAPACITY (2 * TARGET + IN_BLOCK + OUT_BLOCK)
#define CONVERTED (2 * IN_BLOCK + 128) /* asrc_poly_max_output bound */

static int16_t ring[CAPACITY * 2];
static asrc_fifo fifo;
static asrc_servo servo;
static asrc_poly_state converter[2]; /* left, right: same ratio, same outputs */
static asrc_fifo_counts seen;        /* the FIFO's counters at the last packet */
static int32_t drop;                 /* frames of the next packet to drop */

int bridge_init(void)
{
    const asrc_servo_config config =
        asrc_servo_defaults(48000, IN_BLOCK, TARGET, ASRC_POLY_RATIO_ONE);
    return asrc_fifo_init(&fifo, ring, CAPACITY, 2) | asrc_servo_init(&servo, &config) |
           asrc_poly_init(&converter[0], ASRC_POLY_RATIO_ONE) |
           asrc_poly_init(&converter[1], ASRC_POLY_RATIO_ONE);
}

/* USB interrupt, the producer: a packet of IN_BLOCK interleaved frames. */
void usb_packet(const int16_t* frames)
{
    int16_t in[2][IN_BLOCK], out[2][CONVERTED], block[2 * CONVERTED];
    int32_t i, c, n = 0, nin, skip, refill;
    uint32_t ratio;
    asrc_fifo_counts counts;

    for (i = 0; i < IN_BLOCK; ++i) {
        in[0][i] = frames[2 * i];
        in[1][i] = frames[2 * i + 1];
    }
    for (c = 0; c < 2; ++c) {
        nin = IN_BLOCK;
        asrc_poly_process_block(&converter[c], out[c], in[c], &nin, &n);
    }
    for (i = 0; i < n; ++i) { /* silence while the servo refills */
        block[2 * i] = asrc_servo_muted(&servo) ? 0 : out[0][i];
        block[2 * i + 1] = asrc_servo_muted(&servo) ? 0 : out[1][i];
    }
    skip = drop < n ? drop : n;
    asrc_fifo_write(&fifo, block + 2 * skip, n - skip);

    /* An underrun (seen by the I2S side) or an overrun: refill. */
    counts = asrc_fifo_get_counts(&fifo);
    if (counts.underruns != seen.underruns || counts.overruns != seen.overruns)
        asrc_servo_restart(&servo);
    seen = counts;

    ratio = asrc_servo_update(&servo, asrc_fifo_fill(&fifo),
                              asrc_servo_poly_position(&converter[0]));
    asrc_poly_set_ratio(&converter[0], ratio);
    asrc_poly_set_ratio(&converter[1], ratio);
    refill = asrc_servo_refill(&servo);
    if (refill > 0)
        asrc_fifo_write_silence(&fifo, refill);
    drop = refill < 0 ? -refill : 0;
}

/* I2S DMA interrupt, the consumer: fill the half of the buffer that has
 * just played.  An underrun leaves silence in it and is counted. */
void i2s_half_played(int16_t* half)
{
    asrc_fifo_read(&fifo, half, OUT_BLOCK);
}

int main(void)
{
    static int16_t packet[2 * IN_BLOCK], dma[2 * OUT_BLOCK];
    /* Both clocks in units of 1/48,048,000 s: a USB frame lasts 1001 of them,
     * a codec frame 1000 (the codec runs 1000 ppm fast against the host, so
     * the servo settles near a ratio of 1 - 1000 ppm). */
    long usb = 0, i2s = 0, t, lowest = 1000000, highest = -1000000;
    int i, muted_at_start, failures = 0;
    asrc_fifo_counts counts;

    if (bridge_init() != 0) {
        printf("init refused the settings\n");
        return 1;
    }
    muted_at_start = asrc_servo_muted(&servo) != 0;
    for (i = 0; i < 2 * IN_BLOCK; ++i)
        packet[i] = (int16_t)(i * 100);
    while (usb < 5L * 48048000) {
        /* Whichever interrupt comes next; a USB packet is served 0.3 ms
         * after its last frame arrived. */
        const long usb_at = usb + (long)IN_BLOCK * 1001 + 14414;
        const long i2s_at = i2s + (long)OUT_BLOCK * 1000;
        if (usb_at <= i2s_at) {
            usb += (long)IN_BLOCK * 1001;
            usb_packet(packet);
        } else {
            i2s = i2s_at;
            i2s_half_played(dma);
        }
        t = asrc_fifo_fill(&fifo) - TARGET;
        if (usb > 48048000) { /* after the first second */
            lowest = t < lowest ? t : lowest;
            highest = t > highest ? t : highest;
        }
    }
    counts = asrc_fifo_get_counts(&fifo);
    if (!muted_at_start || asrc_servo_muted(&servo)) {
        printf("the stream must start muted and be playing now\n");
        ++failures;
    }
    if (counts.underruns != 0 || counts.overruns != 0) {
        printf("%lu underruns, %lu overruns\n", (unsigned long)counts.underruns,
               (unsigned long)counts.overruns);
        ++failures;
    }
    if (lowest < -(IN_BLOCK + OUT_BLOCK) || highest > IN_BLOCK + OUT_BLOCK) {
        printf("fill from %ld to %ld frames around the target\n", lowest, highest);
        ++failures;
    }
    if (failures == 0)
        printf("asrc bridge wiring: playing, fill %ld..%ld frames around the target, ratio %lu\n",
               lowest, highest, (unsigned long)servo.ratio);
    return failures == 0 ? 0 : 1;
}
