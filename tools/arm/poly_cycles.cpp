// poly_cycles.cpp - counts the instructions the polyphase converter
// (asrc_poly.h) executes per output sample on an emulated Cortex-M core.
// Run by tools/arm_cycles.sh under qemu-system-arm with -icount shift=0, where
// the board's virtual clock advances exactly one nanosecond per instruction
// executed: the MPS2 boards' CMSDK timer 0 (25 MHz) then counts one tick per
// 40 instructions.  The program does not take that on trust: it first times
// a loop of a known number of instructions and derives the instructions per
// tick from it.
//
// For each case it converts blocks of 64 noise samples (a quarter of full
// scale, so that nothing clips) and reports the instructions per output
// from the timer, over 40,000 outputs, so that the timer's resolution (40
// instructions) does not show.  Only the converter's calls are timed; the
// input is made between them.
//
// Output, one line each, `|`-separated for tools/arm_cycles.sh:
//
//   calibration|INSTRUCTIONS_PER_TICK
//   case|NAME|RATIO|STRIDE|TAPS|OUTPUTS|INSTRUCTIONS_PER_OUTPUT
#include "asrc_poly.h"

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

// Ticks since timer_start (the counter runs down; 2^32 ticks of 40 ns are
// 171 s of virtual time, far more than any run here).
std::uint32_t ticks()
{
    return 0xFFFFFFFFu - timer0.value;
}

// n rounds of two instructions (subtract, branch), plus the call's few.
// (GCC hands ARMv6-M inline assembly over in the old divided syntax.)
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

std::uint32_t rng_state = 12345;
std::int16_t noise()
{
    rng_state = rng_state * 1664525u + 1013904223u;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(rng_state) >> 18); // +-8192
}

asrc_poly_state state;
constexpr std::int32_t kBlock = 64;
std::int16_t in[kBlock];
std::int16_t out[2 * kBlock + 128];

// Converts `outputs` outputs or a little more at `ratio` and prints the
// instructions per output; false if an output was clipped (it must not be,
// or the case would not measure the usual path).
bool measure(const char* name, std::uint32_t ratio, std::int32_t outputs, double per_tick)
{
    asrc_poly_init(&state, ratio);
    // Past the start, where no output is due yet.
    for (int warm = 0; warm < 8; ++warm) {
        for (std::int16_t& x : in)
            x = noise();
        std::int32_t nin = kBlock;
        std::int32_t nout = 0;
        asrc_poly_process_block(&state, out, in, &nin, &nout);
    }
    std::uint64_t spent = 0;
    std::int64_t made = 0;
    while (made < outputs) {
        for (std::int16_t& x : in)
            x = noise();
        std::int32_t nin = kBlock;
        std::int32_t nout = 0;
        const std::uint32_t t0 = ticks();
        asrc_poly_process_block(&state, out, in, &nin, &nout);
        const std::uint32_t t1 = ticks();
        spent += t1 - t0;
        made += nout;
    }
    const double per_output = static_cast<double>(spent) * per_tick / static_cast<double>(made);
    // Taps per output at fraction 0: j from -floor(16383 / stride) to
    // floor(16384 / stride).
    const std::int32_t stride = asrc_poly_stride(ratio);
    std::printf("case|%s|%.6f|%ld|%ld|%lld|%.1f\n", name, ratio / 1073741824.0,
                static_cast<long>(stride), static_cast<long>(16383 / stride + 16384 / stride + 1),
                static_cast<long long>(made), per_output);
    if (state.clipped != 0)
        std::printf("poly_cycles: %lu outputs clipped\n",
                    static_cast<unsigned long>(state.clipped));
    return state.clipped == 0;
}

} // namespace

int main()
{
    timer_start();
    // Calibration: 40 million instructions (and the call's few).
    constexpr std::uint32_t kRounds = 20000000;
    const std::uint32_t c0 = ticks();
    known_loop(kRounds);
    const std::uint32_t c1 = ticks();
    const double per_tick = 2.0 * kRounds / static_cast<double>(c1 - c0);
    std::printf("calibration|%.4f\n", per_tick);

    constexpr std::int32_t kOutputs = 40000;
    bool ok = measure("1:1", ASRC_POLY_RATIO_ONE, kOutputs, per_tick);
    ok &= measure("48 kHz, input 100 ppm fast", asrc_poly_ratio(48005, 48000), kOutputs, per_tick);
    ok &= measure("44.1 -> 48 kHz", asrc_poly_ratio(44100, 48000), kOutputs, per_tick);
    ok &= measure("48 -> 44.1 kHz", asrc_poly_ratio(48000, 44100), kOutputs, per_tick);
    ok &= measure("2:1 (the longest filter)", ASRC_POLY_RATIO_MAX, kOutputs, per_tick);
    return ok ? 0 : 1;
}
