// q31_cycles.cpp - counts the instructions the 24-bit converter
// (asrc_q31.h) executes per output frame on an emulated Cortex-M core, mono
// and stereo.  Run by tools/arm_cycles.sh under qemu-system-arm with
// -icount shift=0, as tools/arm/poly_cycles.cpp is (see there for the
// timer and its calibration).
//
// The downsampling cases run both on the per-tap path and on rows of the
// state's own (asrc_q31_attach_table: 384 KiB of RAM at ratios up to 2,
// which the board has and many Cortex-M7 parts do).
//
// For each case it converts blocks of 64 frames of noise (a quarter of
// full scale, so that nothing clips) and reports the instructions per
// output frame from the timer over 20,000 output frames.  Only the
// converter's calls are timed; the input is made between them.
//
// Output, one line each, `|`-separated for tools/arm_cycles.sh:
//
//   calibration|INSTRUCTIONS_PER_TICK
//   case|NAME|CHANNELS|RATIO|TAPS|FRAMES|INSTRUCTIONS_PER_FRAME
#include "asrc_q31.h"

#include <cstdint>
#include <cstdio>

namespace {

// CMSDK APB timer 0 of the MPS2 boards (AN385, AN386, AN500): counts down
// from RELOAD at the peripheral clock.
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
    timer0.ctrl = 1; // enable
}

std::uint32_t ticks()
{
    return 0xFFFFFFFFu - timer0.value;
}

// n rounds of two instructions (subtract, branch), plus the call's few.
__attribute__((noinline)) void known_loop(std::uint32_t n)
{
    __asm__ volatile("1: subs %0, %0, #1\n\t"
                     "bne 1b\n\t"
                     : "+l"(n)
                     :
                     : "cc");
}

std::uint32_t rng_state = 12345;
std::int32_t noise()
{
    rng_state = rng_state * 1664525u + 1013904223u;
    return static_cast<std::int32_t>(rng_state) >> 2; // a quarter of full scale
}

constexpr std::int32_t kMaxChannels = 2;
constexpr std::int32_t kBlock = 64;
// History for two channels at ratios up to 2.
std::int32_t memory[ASRC_Q31_MEMORY_WORDS(kMaxChannels, 2)];
asrc_q31_state state;
// Rows of the state's own, for ratios up to 2.
std::int32_t rows[4 * 64 * 384 + 15];
std::int32_t in[kBlock * kMaxChannels];
std::int32_t out[(2 * kBlock + 16) * kMaxChannels];

bool measure(const char* name, std::int32_t channels, std::uint64_t ratio, bool own_rows,
             std::int32_t frames, double per_tick)
{
    if (asrc_q31_init(&state, memory, static_cast<std::int32_t>(sizeof memory / sizeof memory[0]),
                      channels, ratio, ratio) != 0 ||
        (own_rows && asrc_q31_attach_table(&state, rows, sizeof rows / sizeof rows[0]) != 0)) {
        std::printf("q31_cycles: %s refused\n", name);
        return false;
    }
    // Past the start, where no output is due yet.
    for (int warm = 0; warm < 8; ++warm) {
        for (std::int32_t k = 0; k < kBlock * channels; ++k)
            in[k] = noise();
        std::int32_t nin = kBlock;
        std::int32_t nout = 0;
        asrc_q31_process_block(&state, out, in, &nin, &nout);
    }
    std::uint64_t spent = 0;
    std::int64_t made = 0;
    while (made < frames) {
        for (std::int32_t k = 0; k < kBlock * channels; ++k)
            in[k] = noise();
        std::int32_t nin = kBlock;
        std::int32_t nout = 0;
        const std::uint32_t t0 = ticks();
        asrc_q31_process_block(&state, out, in, &nin, &nout);
        const std::uint32_t t1 = ticks();
        spent += t1 - t0;
        made += nout;
    }
    const double per_frame = static_cast<double>(spent) * per_tick / static_cast<double>(made);
    // Taps per output frame: 2 x the delay (the stretched filter's taps
    // past its ends count for nothing).
    std::printf("case|%s|%ld|%.6f|%ld|%lld|%.1f\n", name, static_cast<long>(channels),
                static_cast<double>(ratio) / static_cast<double>(ASRC_Q31_RATIO_ONE),
                static_cast<long>(2 * state.delay), static_cast<long long>(made),
                per_frame);
    if (state.clipped != 0)
        std::printf("q31_cycles: %lu outputs clipped\n", static_cast<unsigned long>(state.clipped));
    return state.clipped == 0;
}

} // namespace

int main()
{
    timer_start();
    constexpr std::uint32_t kRounds = 20000000;
    const std::uint32_t c0 = ticks();
    known_loop(kRounds);
    const std::uint32_t c1 = ticks();
    const double per_tick = 2.0 * kRounds / static_cast<double>(c1 - c0);
    std::printf("calibration|%.4f\n", per_tick);

    struct Case {
        const char* name;
        std::uint64_t ratio;
        bool own_rows;
    };
    const Case cases[] = {
        {"1:1", ASRC_Q31_RATIO_ONE, false},
        {"48 kHz, input 100 ppm fast", asrc_q31_ratio(48005, 48000), false},
        {"44.1 -> 48 kHz", asrc_q31_ratio(44100, 48000), false},
        {"48 -> 44.1 kHz", asrc_q31_ratio(48000, 44100), false},
        {"96 -> 48 kHz", asrc_q31_ratio(96000, 48000), false},
        {"48 -> 44.1 kHz, own rows", asrc_q31_ratio(48000, 44100), true},
        {"96 -> 48 kHz, own rows", asrc_q31_ratio(96000, 48000), true},
    };
    constexpr std::int32_t kFrames = 20000;
    bool ok = true;
    for (std::int32_t channels = 1; channels <= kMaxChannels; ++channels)
        for (const Case& c : cases)
            ok &= measure(c.name, channels, c.ratio, c.own_rows, kFrames, per_tick);
    return ok ? 0 : 1;
}
