// bridge_cycles.cpp - counts the instructions the bridge's per-block calls
// execute on an emulated Cortex-M core: run by tools/arm_bridge.sh under
// qemu-system-arm with -icount shift=0, where the virtual clock advances
// one nanosecond per instruction, so that the MPS2 boards' CMSDK timer 0
// (25 MHz) counts one tick per 40 instructions.  As tools/arm/poly_cycles.cpp
// does, it first times a loop of a known number of instructions and reports
// the instructions per tick it finds, which the script checks.
//
// The stream: 48 frames written and 64 read per millisecond at 48 kHz, the
// producer's clock 300 ppm fast, each side late by up to 0.25 ms, for 40
// simulated seconds (40,000 updates; both servos reach their tracking
// time constants within them).  Each call is timed on its own;
// the mean and the largest count per call are printed (to the timer's 40
// instructions), over the last 10 seconds, when the loop runs.
//
// Output, one line each, `|`-separated:
//
//   calibration|INSTRUCTIONS_PER_TICK
//   call|NAME|CALLS|MEAN|MOST
#include "asrc_fifo.h"
#include "asrc_servo.h"

#include <cstdint>
#include <cstdio>

namespace {

struct CmsdkTimer {
    volatile std::uint32_t ctrl;
    volatile std::uint32_t value;
    volatile std::uint32_t reload;
    volatile std::uint32_t intstatus;
};

CmsdkTimer& timer0 = *reinterpret_cast<CmsdkTimer*>(0x40000000u);

void timer_start()
{
    timer0.ctrl = 0;
    timer0.reload = 0xFFFFFFFFu;
    timer0.value = 0xFFFFFFFFu;
    timer0.ctrl = 1;
}

std::uint32_t ticks()
{
    return 0xFFFFFFFFu - timer0.value;
}

__attribute__((noinline)) void known_loop(std::uint32_t n)
{
#ifdef __ARM_ARCH_6M__
#define ASRC_SUBTRACT_ONE "sub %0, #1\n\t"
#else
#define ASRC_SUBTRACT_ONE "subs %0, %0, #1\n\t"
#endif
    __asm__ volatile("1: " ASRC_SUBTRACT_ONE
                     "bne 1b\n\t"
                     : "+l"(n)
                     :
                     : "cc");
}

struct Tally {
    const char* name;
    std::uint32_t calls = 0;
    std::uint64_t sum = 0;
    std::uint32_t most = 0;
    void add(std::uint32_t t)
    {
        ++calls;
        sum += t;
        most = t > most ? t : most;
    }
};

std::uint32_t rng_state = 12345;
std::uint32_t random_below(std::uint32_t n)
{
    rng_state = rng_state * 1664525u + 1013904223u;
    return (rng_state >> 8) % n;
}

constexpr std::int32_t kIn = 48;
constexpr std::int32_t kOut = 64;
constexpr std::int32_t kCapacity = 1024;
std::int16_t memory[2][kCapacity];
std::int16_t frames[2 * kIn];
std::int16_t pulled[kOut];
asrc_fifo fifos[2];
asrc_servo servos[2];
Tally tallies[] = {{"asrc_fifo_write"},     {"asrc_fifo_read"},   {"asrc_fifo_read_at"},
                   {"asrc_servo_update"},   {"asrc_servo_update_at"}};

} // namespace

int main()
{
    timer_start();
    constexpr std::uint32_t kRounds = 2000000;
    const std::uint32_t c0 = ticks();
    known_loop(kRounds);
    const std::uint32_t c1 = ticks();
    const double per_tick = 2.0 * kRounds / static_cast<double>(c1 - c0);
    std::printf("calibration|%.4f\n", per_tick);

    // Lane 0 the fill-only servo, lane 1 the timestamped one.
    for (int lane = 0; lane < 2; ++lane) {
        asrc_servo_config c = asrc_servo_defaults(48000, kIn, 96, ASRC_SERVO_RATIO_ONE);
        if (lane == 1) {
            c.target = ASRC_SERVO_TARGET_AUTO;
            c.clock_hz = 1000000;
            c.capacity = kCapacity;
        }
        if (asrc_fifo_init(&fifos[lane], memory[lane], kCapacity, 1) != 0 ||
            asrc_servo_init(&servos[lane], &c) != 0) {
            std::printf("bridge_cycles: init refused\n");
            return 1;
        }
        asrc_fifo_set_read_period(&fifos[lane], asrc_servo_read_period(&servos[lane]));
    }
    // Time in nanoseconds of the simulated stream (not of the emulator).
    const std::uint64_t in_period = 1000000000ull * kIn / 48000 * 1000000 / 1000300; // 300 ppm fast
    const std::uint64_t out_period = 1000000000ull * kOut / 48000;
    std::uint64_t next_in = in_period;
    std::uint64_t next_out = in_period + out_period / 2; // from the first block on
    std::uint32_t ratio[2] = {ASRC_SERVO_RATIO_ONE, ASRC_SERVO_RATIO_ONE};
    std::int64_t phase[2] = {0, 0}; // Q.30 input samples towards the next output
    std::int32_t withhold[2] = {0, 0};
    for (std::uint32_t u = 0; u < 40000;) {
        if (next_out < next_in) {
            const std::uint64_t at = next_out + random_below(250000);
            for (int lane = 0; lane < 2; ++lane) {
                const std::uint32_t t0 = ticks();
                if (lane == 0)
                    asrc_fifo_read(&fifos[0], pulled, kOut);
                else
                    asrc_fifo_read_at(&fifos[1], pulled, kOut, static_cast<std::uint32_t>(at / 1000));
                const std::uint32_t t1 = ticks();
                if (u >= 30000)
                    tallies[1 + lane].add(t1 - t0);
            }
            next_out += out_period;
            continue;
        }
        const std::uint64_t at = next_in + random_below(250000);
        for (int lane = 0; lane < 2; ++lane) {
            // The converter as its count: an output each time the phase
            // passes one input sample.
            std::int32_t n = 0;
            phase[lane] += std::int64_t{kIn} << 30;
            while (phase[lane] >= std::int64_t{1} << 30) {
                phase[lane] -= ratio[lane];
                ++n;
            }
            const std::int32_t skip = n < withhold[lane] ? n : withhold[lane];
            std::uint32_t t0 = ticks();
            asrc_fifo_write(&fifos[lane], frames, n - skip);
            std::uint32_t t1 = ticks();
            if (u >= 30000 && lane == 1)
                tallies[0].add(t1 - t0);
            const std::int64_t position = phase[lane] - (std::int64_t{1} << 29);
            t0 = ticks();
            if (lane == 0)
                ratio[0] = asrc_servo_update(&servos[0], asrc_fifo_fill(&fifos[0]), position);
            else
                ratio[1] = asrc_servo_update_at(&servos[1], &fifos[1], position,
                                                static_cast<std::uint32_t>(at / 1000), kIn);
            t1 = ticks();
            if (u >= 30000)
                tallies[3 + lane].add(t1 - t0);
            const std::int32_t refill = asrc_servo_refill(&servos[lane]);
            if (refill > 0)
                asrc_fifo_write_silence(&fifos[lane], refill);
            withhold[lane] = refill < 0 ? -refill : 0;
        }
        next_in += in_period;
        ++u;
    }
    for (const Tally& t : tallies)
        std::printf("call|%s|%lu|%.0f|%.0f\n", t.name, static_cast<unsigned long>(t.calls),
                    static_cast<double>(t.sum) * per_tick / static_cast<double>(t.calls), t.most * per_tick);
    const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifos[1]);
    std::printf("state|%d|%d|%lu\n", static_cast<int>(servos[1].mode), static_cast<int>(servos[0].mode),
                static_cast<unsigned long>(counts.underruns + counts.overruns));
    return 0;
}
