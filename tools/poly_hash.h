// poly_hash.h - one long, deterministic run of the polyphase converter
// (asrc_poly.h), summed into a 64-bit FNV-1a hash, so that builds for
// different machines can be held to each other by comparing one number:
// tools/poly_hash.cpp runs it natively, under wine (the i686 Windows build)
// and on emulated Cortex-M cores (tools/arm_check.sh), and
// tests/poly_port_test.cpp runs the same schedule through the plain
// reference (tests/reference_poly.h) and requires the same hash.
//
// A seed names the run: a splitmix64 generator draws, call by call, which of
// two converters is fed, its ratio changes (uniform in 0.5..2, on both sides
// of ASRC_POLY_RATIO_FULL_BAND, at the edges of the range, of the full band
// and of the stride's steps, and refused ones), re-initialisations, block
// lengths (including 0 and negative) and samples: full-scale noise, quiet
// noise, silence, the extreme values, and full-scale square waves, whose
// overshoot is clipped.  The hash takes every call's results (return
// values, counts, every output) and, at the end, each converter's state
// (clipped, frac, lag, write, the input held, ratio, stride, delay).
//
// Only <cstdint> and asrc_poly.h are used, no heap and no C library, so that
// it runs on a microcontroller; the converter is reached through a small
// adapter (LibraryChannel below; the test has one for the reference).
#ifndef ASRC_TOOLS_POLY_HASH_H
#define ASRC_TOOLS_POLY_HASH_H

#include <cstdint>

#include "asrc_poly.h"

#include "splitmix64.h"

namespace poly_hash {

// splitmix64 (tools/splitmix64.h), with a range.
struct Rng : SplitMix64 {
    // Uniform in lo..hi, both included; by 32-bit arithmetic on the top
    // bits (a multiply, not a 64-bit remainder), so that it is cheap on a
    // small core.
    std::uint32_t range(std::uint32_t lo, std::uint32_t hi)
    {
        const std::uint64_t span = std::uint64_t{hi} - lo + 1; // 1..2^32
        return lo + static_cast<std::uint32_t>(((next() >> 32) * span) >> 32);
    }
    std::int32_t range_signed(std::int32_t lo, std::int32_t hi)
    {
        const auto span = static_cast<std::uint32_t>(hi) - static_cast<std::uint32_t>(lo);
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(lo) + range(0, span));
    }
    bool percent(std::uint32_t p) { return range(0, 99) < p; }
};

// FNV-1a over bytes, 64 bits; every value is fed little-endian, so the hash
// does not depend on the machine's byte order.
struct Fnv1a {
    std::uint64_t h = 0xcbf29ce484222325u;

    void byte(std::uint8_t b) { h = (h ^ b) * 0x100000001b3u; }
    void u16(std::uint16_t v)
    {
        byte(static_cast<std::uint8_t>(v));
        byte(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v)
    {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void u64(std::uint64_t v)
    {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
};

// What a converter shows at the end (or before a re-initialisation).
struct Final {
    std::uint32_t clipped;
    std::uint32_t frac;
    std::int32_t lag;
    std::uint32_t write;
    std::int64_t held;
    std::uint32_t ratio;
    std::int32_t stride;
    std::int32_t delay;
};

inline constexpr int kChannels = 2;
inline constexpr std::int32_t kMaxBlock = 400;
// asrc_poly_max_output(count, ratio) <= 2 * count + 128.
inline constexpr std::int32_t kMaxOut = 2 * kMaxBlock + 128;
inline constexpr int kMaxOffset = 3;  // buffers at every alignment
inline constexpr int kFence = 8;      // samples checked behind the room
inline constexpr std::int16_t kFenceValue = 0x5A5A;

// The library's converter, as the driver calls it.
struct LibraryChannel {
    asrc_poly_state s;

    int init(std::uint32_t ratio) { return asrc_poly_init(&s, ratio); }
    int set_ratio(std::uint32_t ratio) { return asrc_poly_set_ratio(&s, ratio); }
    void process(std::int16_t* out, const std::int16_t* in, std::int32_t* nin, std::int32_t* nout)
    {
        asrc_poly_process_block(&s, out, in, nin, nout);
    }
    Final final() const
    {
        return {s.clipped, s.frac, s.lag, s.write, asrc_poly_input_held(&s), s.ratio, s.stride,
                s.delay};
    }
};

struct Summary {
    std::int64_t calls = 0;
    std::int64_t inputs = 0;
    std::int64_t outputs_full_band = 0; // at stride 256
    std::int64_t outputs_stretched = 0; // at a stride below 256
    std::int64_t ratio_changes = 0;     // accepted set_ratio and init calls
    std::int64_t refused = 0;           // refused ones, which must change nothing
    std::int64_t clipped = 0;           // outputs clipped, over all converters
    std::uint64_t hash = 0;
    // The first broken promise, or nullptr.
    const char* failure = nullptr;
    std::int64_t failed_call = -1;
};

namespace detail {

// Where the stride steps: the smallest ratio with stride s - 1 is
// floor(K / s) + 1, K = ASRC_POLY_RATIO_FULL_BAND * 256.
inline std::uint32_t stride_step(std::uint32_t s)
{
    return static_cast<std::uint32_t>((std::uint64_t{ASRC_POLY_RATIO_FULL_BAND} << 8) / s) + 1;
}

inline std::uint32_t draw_ratio(Rng& rng)
{
    constexpr std::uint32_t kMin = ASRC_POLY_RATIO_MIN;
    constexpr std::uint32_t kMax = ASRC_POLY_RATIO_MAX;
    constexpr std::uint32_t kFull = ASRC_POLY_RATIO_FULL_BAND;
    constexpr std::uint32_t kOne = ASRC_POLY_RATIO_ONE;
    constexpr std::uint32_t kEdges[] = {
        kMin, kMin + 1, kOne - 1, kOne, kOne + 1, kFull - 1, kFull, kFull + 1, kMax - 1, kMax,
        986500301u,  // 44.1 -> 48 kHz
        1168698584u, // 48 -> 44.1 kHz
    };
    constexpr std::uint32_t kRefused[] = {0, 1, kMin - 1, kMax + 1, 0xFFFFFFFFu};
    const std::uint32_t kind = rng.range(0, 99);
    if (kind < 25)
        return rng.range(kMin, kMax);
    if (kind < 40)
        return rng.range(kMin, kFull); // full band
    if (kind < 55)
        return rng.range(kFull + 1, kMax); // stretched
    if (kind < 70) // drift around one: +-1e-3
        return kOne - (1u << 20) + rng.range(0, 1u << 21);
    if (kind < 80) // at a step of the stride
        return stride_step(rng.range(130, 256)) - 1 + rng.range(0, 2);
    if (kind < 96)
        return kEdges[rng.range(0, sizeof kEdges / sizeof kEdges[0] - 1)];
    return kRefused[rng.range(0, sizeof kRefused / sizeof kRefused[0] - 1)];
}

// A channel's input: runs of one kind of signal, of random lengths that
// ignore the block boundaries.
struct Signal {
    enum Kind : std::uint32_t { kNoise, kQuiet, kSquare, kSilence, kExtremes, kSteps };
    Kind kind = kSilence;
    std::int32_t left = 0;   // samples until the next run
    std::int32_t period = 1; // square: half period
    std::int32_t phase = 0;
    std::int16_t level = 0;  // steps: the current level

    std::int16_t next(Rng& rng)
    {
        if (left-- <= 0) {
            // Full-scale squares a third of the time: clipping must happen.
            constexpr Kind kRuns[] = {kSquare, kSquare, kSquare, kNoise, kNoise,
                                      kQuiet,  kSilence, kExtremes, kSteps};
            kind = kRuns[rng.range(0, sizeof kRuns / sizeof kRuns[0] - 1)];
            left = rng.range_signed(1, 3000);
            period = rng.range_signed(1, 80);
            phase = 0;
        }
        switch (kind) {
        case kNoise: return static_cast<std::int16_t>(rng.range(0, 65535) - 32768);
        case kQuiet: return static_cast<std::int16_t>(rng.range_signed(-300, 300));
        case kSquare:
            if (++phase == 2 * period)
                phase = 0;
            return phase < period ? std::int16_t{32767} : std::int16_t{-32768};
        case kSilence: return 0;
        case kExtremes: {
            constexpr std::int16_t kValues[] = {-32768, -32767, -1, 0, 1, 32766, 32767};
            return kValues[rng.range(0, 6)];
        }
        default: // steps between random levels, held for a while
            if (rng.percent(2))
                level = static_cast<std::int16_t>(rng.range(0, 65535) - 32768);
            return level;
        }
    }
};

inline std::int32_t draw_count(Rng& rng)
{
    const std::uint32_t kind = rng.range(0, 99);
    if (kind < 2)
        return rng.percent(30) ? INT32_MIN : rng.range_signed(-2, 0);
    if (kind < 30)
        return rng.range_signed(1, 8);
    if (kind < 72)
        return rng.range_signed(9, 64);
    return rng.range_signed(65, kMaxBlock);
}

} // namespace detail

// Runs `calls` calls from the seed on kChannels converters of type Channel
// (LibraryChannel or the test's reference) and returns the summary and the
// hash.  The buffers live in the driver, which is large: give it static
// storage on a small core.
template <typename Channel>
struct Driver {
    Channel channels[kChannels];
    detail::Signal signals[kChannels];
    std::int16_t in[kMaxOffset + kMaxBlock];
    std::int16_t out[kMaxOffset + kMaxOut + kFence];

    Summary run(std::uint64_t seed, std::int64_t calls)
    {
        Summary sum;
        Rng rng{seed};
        Fnv1a h;
        for (int c = 0; c < kChannels; ++c) {
            signals[c] = detail::Signal{};
            const std::uint32_t ratio = rng.range(ASRC_POLY_RATIO_MIN, ASRC_POLY_RATIO_MAX);
            if (channels[c].init(ratio) != 0)
                return failed(sum, "asrc_poly_init refused a ratio in range", -1);
            h.u32(ratio);
        }
        for (; sum.calls < calls; ++sum.calls) {
            const auto c = static_cast<int>(rng.range(0, kChannels - 1));
            Channel& ch = channels[c];
            h.byte(static_cast<std::uint8_t>(c));
            if (rng.percent(15)) {
                // A new ratio; one time in sixteen through init.
                const bool init = rng.range(0, 15) == 0;
                const std::uint32_t ratio = detail::draw_ratio(rng);
                const bool valid = ratio >= ASRC_POLY_RATIO_MIN && ratio <= ASRC_POLY_RATIO_MAX;
                const Final before = ch.final();
                const int result = init ? ch.init(ratio) : ch.set_ratio(ratio);
                const Final after = ch.final();
                h.byte(init ? 'I' : 'R');
                h.u32(ratio);
                h.i32(result);
                if (result != (valid ? 0 : -1))
                    return failed(sum, "a ratio was refused or taken against the range", sum.calls);
                if (!valid) {
                    ++sum.refused;
                    if (!same(before, after))
                        return failed(sum, "a refused ratio changed the state", sum.calls);
                } else {
                    ++sum.ratio_changes;
                    if (after.ratio != ratio || after.stride != asrc_poly_stride(ratio) ||
                        after.delay != asrc_poly_delay(ratio))
                        return failed(sum, "ratio, stride or delay differs from asrc_poly.h",
                                      sum.calls);
                    if (init) {
                        sum.clipped += before.clipped;
                        if (after.clipped != 0 || after.frac != 0 || after.lag != -1)
                            return failed(sum, "asrc_poly_init did not reset", sum.calls);
                    } else if (after.held != before.held || after.clipped != before.clipped) {
                        return failed(sum, "asrc_poly_set_ratio moved the position", sum.calls);
                    }
                }
            }

            const std::int32_t count = detail::draw_count(rng);
            const std::int32_t n = count > 0 ? count : 0;
            const auto in_at = static_cast<int>(rng.range(0, kMaxOffset));
            const auto out_at = static_cast<int>(rng.range(0, kMaxOffset));
            for (std::int32_t k = 0; k < n; ++k)
                in[in_at + k] = signals[c].next(rng);
            const Final before = ch.final();
            const std::int64_t room = asrc_poly_max_output(count, before.ratio);
            if (room < 0 || room > 2 * std::int64_t{n} + 128)
                return failed(sum, "asrc_poly_max_output is out of its bounds", sum.calls);
            const std::int32_t fenced = out_at + static_cast<std::int32_t>(room) + kFence;
            for (std::int32_t k = 0; k < fenced; ++k)
                out[k] = kFenceValue;
            std::int32_t nin = count;
            std::int32_t nout = -12345; // ignored on entry
            ch.process(out + out_at, in + in_at, &nin, &nout);
            h.byte('B');
            h.i32(count);
            h.i32(nin);
            h.i32(nout);
            if (nin != n)
                return failed(sum, "the block was not consumed whole", sum.calls);
            if (nout < 0 || nout > room)
                return failed(sum, "more outputs than asrc_poly_max_output", sum.calls);
            for (std::int32_t k = 0; k < fenced; ++k)
                if ((k < out_at || k >= out_at + nout) && out[k] != kFenceValue)
                    return failed(sum, "a write outside the outputs", sum.calls);
            for (std::int32_t k = 0; k < nout; ++k)
                h.i16(out[out_at + k]);
            sum.inputs += n;
            (before.stride == 256 ? sum.outputs_full_band : sum.outputs_stretched) += nout;
        }
        for (Channel& ch : channels) {
            const Final f = ch.final();
            h.u32(f.clipped);
            h.u32(f.frac);
            h.i32(f.lag);
            h.u32(f.write);
            h.i64(f.held);
            h.u32(f.ratio);
            h.i32(f.stride);
            h.i32(f.delay);
            sum.clipped += f.clipped;
        }
        sum.hash = h.h;
        return sum;
    }

private:
    static bool same(const Final& a, const Final& b)
    {
        return a.clipped == b.clipped && a.frac == b.frac && a.lag == b.lag && a.write == b.write &&
               a.held == b.held && a.ratio == b.ratio && a.stride == b.stride && a.delay == b.delay;
    }
    static Summary failed(Summary sum, const char* what, std::int64_t call)
    {
        sum.failure = what;
        sum.failed_call = call;
        return sum;
    }
};

} // namespace poly_hash

#endif
