// bridge_check.cpp - runs the FIFO and the servo, built for the target at
// hand, through a few minutes of a simulated stream in integer arithmetic
// only, and prints what they did as a checksum, so that the same program
// built for the host and for each Cortex-M core can be compared line for
// line (tools/arm_bridge.sh).  Needs only printf and strtoul of the C
// library and nothing of the C++ library.
//
//   bridge_check [SEED [SECONDS]]
//
// The plant: a producer whose converter is its position alone (input
// arrives 48 samples per update, an output is due whenever the input
// reaches the next output's time, which moves on by the ratio; Q.30
// integers), writing its frames through a real FIFO; a consumer on a clock
// off by a few hundred ppm that reads 64 frames whenever it has run that
// many plus a random lateness.  Both converter families' servo entries are
// driven, the ratio's and the step's, each with its own FIFO, and the
// timestamped entry (asrc_servo_update_at, asrc_fifo_read_at) with a third,
// on a microsecond timer derived from the same clocks.
#include "asrc_fifo.h"
#include "asrc_servo.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../splitmix64.h"

#ifndef ASRC_CHECK_TARGET
#define ASRC_CHECK_TARGET "host"
#endif

namespace {

using Rng = SplitMix64;

// FNV-1a over 32-bit words.
struct Checksum {
    std::uint32_t h = 2166136261u;
    void add(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i) {
            h ^= (v >> (8 * i)) & 0xFFu;
            h *= 16777619u;
        }
    }
};

constexpr std::int64_t kOne = std::int64_t{1} << 30;
constexpr std::int32_t kIn = 48;
constexpr std::int32_t kOut = 64;
constexpr std::int32_t kCapacity = 2 * 96 + kIn + kOut;

struct Lane {
    std::int16_t memory[kCapacity];
    asrc_fifo fifo;
    asrc_servo servo;
    std::int64_t input = 0;        // Q.30 input samples arrived
    std::int64_t next_output = 0;  // Q.30
    std::int64_t consumer = 0;     // Q.30 frames the consumer's clock has run
    std::int64_t read = 0;         // frames read
    std::int32_t withhold = 0;
    std::uint32_t ratio = ASRC_SERVO_RATIO_ONE; // what the converter runs at
};

bool setup(Lane& l, bool clocked = false)
{
    asrc_servo_config c = asrc_servo_defaults(48000, kIn, 96, ASRC_SERVO_RATIO_ONE);
    if (clocked) {
        c.target = ASRC_SERVO_TARGET_AUTO;
        c.clock_hz = 1000000;
        c.capacity = kCapacity;
    }
    if (asrc_fifo_init(&l.fifo, l.memory, kCapacity, 1) != 0 || asrc_servo_init(&l.servo, &c) != 0)
        return false;
    asrc_fifo_set_read_period(&l.fifo, asrc_servo_read_period(&l.servo));
    return true;
}

// One producer block and the consumer's reads up to its end; returns the
// frames written.  `per_update` is the consumer's clock per update, Q.30
// frames; `late` its lateness now, Q.30 frames.
std::int32_t block(Lane& l, std::int64_t per_update, std::int64_t late, Checksum& sum,
                   std::uint32_t now_us = 0, bool stamped = false)
{
    static std::int16_t frames[4 * kIn];
    l.input += std::int64_t{kIn} << 30;
    std::int32_t n = 0;
    while (l.next_output <= l.input - kOne) {
        l.next_output += l.ratio;
        frames[n] = static_cast<std::int16_t>(n); // any values: the FIFO is checked by count
        ++n;
    }
    const std::int32_t dropped = n < l.withhold ? n : l.withhold;
    sum.add(static_cast<std::uint32_t>(asrc_fifo_write(&l.fifo, frames + dropped, n - dropped)));
    l.consumer += per_update;
    static std::int16_t pulled[kOut];
    while (l.consumer - late >= (l.read + kOut) * kOne) {
        l.read += kOut;
        // The read's time: this update's, less the frames the consumer's
        // clock has run past it (at 48 per millisecond), in microseconds.
        const std::int64_t past = (l.consumer - late - l.read * kOne) >> 30; // frames
        const std::uint32_t at = now_us - static_cast<std::uint32_t>(past * 1000 / 48);
        sum.add(static_cast<std::uint32_t>(stamped ? asrc_fifo_read_at(&l.fifo, pulled, kOut, at)
                                                   : asrc_fifo_read(&l.fifo, pulled, kOut)));
    }
    const asrc_fifo_counts c = asrc_fifo_get_counts(&l.fifo);
    if (c.underruns + c.overruns != 0) {
        sum.add(c.underruns * 7 + c.overruns);
        l.fifo.underruns = 0; // single-threaded here: nobody else touches them
        l.fifo.overruns = 0;
        asrc_servo_restart(&l.servo);
    }
    return n;
}

void after_update(Lane& l, Checksum& sum)
{
    const std::int32_t refill = asrc_servo_refill(&l.servo);
    if (refill > 0)
        asrc_fifo_write_silence(&l.fifo, refill);
    l.withhold = refill < 0 ? -refill : 0;
    sum.add(static_cast<std::uint32_t>(refill));
    sum.add(static_cast<std::uint32_t>(asrc_fifo_fill(&l.fifo)));
    sum.add(static_cast<std::uint32_t>(l.servo.mode));
}

// At namespace scope, so that they need no guard variables (the C++
// runtime is not linked).
Lane poly;
Lane rule;
Lane timed;

} // namespace

int main(int argc, char** argv)
{
    const unsigned long seed = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1;
    const unsigned long seconds = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 60;
    Rng rng{seed};
    // A true ratio of 1 + 200..999 ppm, from the seed: the consumer's clock
    // runs kIn / ratio frames per update.
    const std::int64_t ppm = 200 + static_cast<std::int64_t>(rng.next() % 800);
    const std::int64_t true_ratio = kOne + kOne / 1000000 * ppm;
    // kIn * 2^60 / true_ratio, scaled to stay within 64 bits.
    const std::int64_t per_update =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(kIn) << 54) /
                                  static_cast<std::uint64_t>(true_ratio >> 6));

    if (!setup(poly) || !setup(rule) || !setup(timed, true)) {
        std::printf("FAIL: init refused the defaults\n");
        return 1;
    }
    Checksum sum;
    std::int32_t dither_steps = 0;
    for (unsigned long u = 0; u < seconds * 1000; ++u) {
        const std::int64_t late = static_cast<std::int64_t>(rng.next() % (24ull << 30));
        block(poly, per_update, late, sum);
        const std::int64_t held = poly.input - kOne - poly.next_output + poly.ratio / 2;
        poly.ratio = asrc_servo_update(&poly.servo, asrc_fifo_fill(&poly.fifo), held);
        sum.add(poly.ratio);
        after_update(poly, sum);

        // The rule as a plant: the step's ratio, 1 + step / 16384, and the
        // same position.
        block(rule, per_update, late, sum);
        const std::int64_t rule_held = rule.input - kOne - rule.next_output + rule.ratio / 2;
        const std::int16_t step =
            asrc_servo_update_step(&rule.servo, asrc_fifo_fill(&rule.fifo), rule_held);
        rule.ratio = static_cast<std::uint32_t>(kOne + std::int64_t{step} * 65536);
        dither_steps += step;
        sum.add(static_cast<std::uint32_t>(step));
        after_update(rule, sum);

        // Timestamped: the producer's block at u + 1 milliseconds (a late
        // one later by its lateness, 0 .. 0.5 ms).
        const std::uint32_t now_us =
            static_cast<std::uint32_t>(1000 * (u + 1) + static_cast<std::uint64_t>(late >> 30) * 1000 / 48);
        block(timed, per_update, late, sum, now_us, true);
        const std::int64_t timed_held = timed.input - kOne - timed.next_output + timed.ratio / 2;
        timed.ratio = asrc_servo_update_at(&timed.servo, &timed.fifo, timed_held, now_us, kIn);
        sum.add(timed.ratio);
        sum.add(static_cast<std::uint32_t>(asrc_servo_target(&timed.servo)));
        after_update(timed, sum);
    }
    std::printf("bridge on %s: seed %lu, %lu s at +%ld ppm: ratio %lu, mode %d, steps %ld, "
                "timestamped ratio %lu, mode %d, target %ld, checksum %08lx\n",
                ASRC_CHECK_TARGET, seed, seconds, static_cast<long>(ppm),
                static_cast<unsigned long>(poly.ratio), static_cast<int>(poly.servo.mode),
                static_cast<long>(dither_steps), static_cast<unsigned long>(timed.ratio),
                static_cast<int>(timed.servo.mode), static_cast<long>(asrc_servo_target(&timed.servo)),
                static_cast<unsigned long>(sum.h));
    return 0;
}
