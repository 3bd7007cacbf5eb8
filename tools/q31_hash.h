// q31_hash.h - one long, deterministic run of the 24-bit converter
// (asrc_q31.h), summed into a 64-bit FNV-1a hash, so that builds for
// different machines and paths can be held to each other by one number:
// tools/q31_hash.cpp runs it natively (with the vector sums the processor
// has, and with the portable ones), under wine (the i686 Windows build) and
// on emulated Cortex-M cores (tools/arm_check.sh), and
// tests/q31_port_test.cpp runs the same schedule through the plain
// reference (tests/reference_q31.h) and requires the same hash.
//
// A seed names the run: a splitmix64 generator draws, call by call, which
// of two converters is fed; re-initialisations with 1 to 8 channels and a
// memory sized for ratios up to 1, 1.002, 2, 4.35 or 25 (and refused ones:
// a channel count, ratio or memory out of range, which must change
// nothing); ratio changes anywhere in 64 bits (uniform up to the state's
// limit, on both sides of ASRC_Q31_RATIO_FULL_BAND and right at it, drift
// around one, the studio's rate pairs, 1:25 and 25:1, and refused ones);
// block lengths from negative to 300 frames, at every alignment; and the
// samples of each channel: full-scale noise, quiet noise, silence, the
// extreme values, held steps and full-scale square waves, whose overshoot
// is clipped.
//
// Each call is checked on the way: the block consumed whole, exactly the
// outputs whose time has come (floor(t) + delay <= newest input, computed
// from the state's documented fields before the call), no more than
// asrc_q31_max_output, nothing written beside the outputs or beyond the
// memory given, refused calls changing neither the state nor the memory.
// The hash takes every call's results (return values, counts, every output
// sample) and each converter's state before a re-initialisation and at the
// end (frac, lag, write, window, channels, delay, ratio, max_ratio, the
// input held).  The clip count is reported beside the hash (the plain
// reference does not count clips).
//
// Built with -DQ31_HASH_ROWS, each converter is given rows of its own
// (asrc_q31_attach_table) at every initialisation, and the ratios stay up
// to 2 (so that the rows, 384 KiB a converter, fit the boards' RAM): a
// second hash, for the downsampling path that is not the reference's, held
// between the machines alone.  Where the rows' delay may differ from
// asrc_q31_delay(ratio) (by the frame or so that 2^-10 of the ratio moves
// it) the checks allow it.
//
// Only <cstdint> and the converter's header are used, no heap and no C
// library, so that it runs on a microcontroller with a few MiB of RAM (the
// MPS2 boards); the converter is reached through a small adapter
// (LibraryConverter below; the test has one for the reference).
#ifndef ASRC_TOOLS_Q31_HASH_H
#define ASRC_TOOLS_Q31_HASH_H

#include <cstdint>

#include "asrc_q31.h"

#include "poly_hash.h" // its Rng and Fnv1a

namespace q31_hash {

using poly_hash::Fnv1a;
using poly_hash::Rng;

// What a converter shows of itself.
struct Final {
    std::uint32_t clipped;
    std::uint64_t frac;
    std::int32_t lag;
    std::int32_t write;
    std::int32_t window;
    std::int32_t channels;
    std::int32_t delay;
    std::uint64_t ratio;
    std::uint64_t max_ratio;
    std::int64_t held;
};

inline constexpr int kConverters = 2;
inline constexpr std::int32_t kMaxBlock = 300; // frames
// Each converter's memory: 8 channels up to ratio 25, and a few words more
// for a caller who gives more than it needs.
inline constexpr std::int32_t kMemoryWords = 4 * ASRC_Q31_MAX_CHANNELS * ASRC_Q31_DELAY_MAX + 16;
// The output buffer in words.  A ratio change that would owe more than it
// holds (a stretched filter's long delay dropped at once at 1:25, with
// many channels) is skipped, the same way on every machine.
inline constexpr std::int32_t kOutWords = 1 << 17;
inline constexpr int kMaxOffset = 3; // buffers at every alignment
inline constexpr int kFence = 8;     // words checked behind the outputs and the memory
inline constexpr std::int32_t kFenceValue = 0x5A5A5A5A;

#ifdef Q31_HASH_ROWS
inline constexpr bool kRows = true;
inline constexpr std::uint64_t kMaxRatioDrawn = 2 * ASRC_Q31_RATIO_ONE;
// Rows for ratios up to 2: 4 x 64 x 384 words and the alignment's 15.
inline constexpr std::int32_t kRowsWords = 4 * 64 * 384 + 15;
#else
inline constexpr bool kRows = false;
inline constexpr std::uint64_t kMaxRatioDrawn = ASRC_Q31_RATIO_MAX;
inline constexpr std::int32_t kRowsWords = 1;
#endif

// The library's converter, as the driver calls it (with -DQ31_HASH_ROWS,
// on rows of its own).
struct LibraryConverter {
    asrc_q31_state s;
    std::int32_t rows[kRowsWords];

    int init(std::int32_t* memory, std::int32_t words, std::int32_t channels, std::uint64_t ratio,
             std::uint64_t max_ratio)
    {
        const int result = asrc_q31_init(&s, memory, words, channels, ratio, max_ratio);
        if (kRows && result == 0 && asrc_q31_attach_table(&s, rows, kRowsWords) != 0)
            return -2;
        return result;
    }
    int set_ratio(std::uint64_t ratio) { return asrc_q31_set_ratio(&s, ratio); }
    void process(std::int32_t* out, const std::int32_t* in, std::int32_t* nin, std::int32_t* nout)
    {
        asrc_q31_process_block(&s, out, in, nin, nout);
    }
    Final final() const
    {
        return {s.clipped, s.frac,  s.lag,       s.write,
                s.window,  s.channels, s.delay, s.ratio,
                s.max_ratio, asrc_q31_input_held(&s)};
    }
};

struct Summary {
    std::int64_t calls = 0;
    std::int64_t frames_in = 0;
    std::int64_t outputs_full_band = 0; // frames at ratios up to ASRC_Q31_RATIO_FULL_BAND
    std::int64_t outputs_stretched = 0; // frames above it
    std::int64_t outputs_far = 0;       // frames at ratios beyond 1:8 or 8:1
    std::int64_t samples_out = 0;
    std::int64_t ratio_changes = 0; // accepted set_ratio and init calls
    std::int64_t crossings = 0;     // accepted changes from one side of the full band to the other
    std::int64_t refused = 0;       // refused calls, which must change nothing
    std::int64_t skipped = 0;       // ratio changes that would owe more than kOutWords
    std::int64_t clipped = 0;       // samples clipped, over all converters
    std::uint32_t channel_counts = 0; // bit c set: outputs were made with c channels
    std::uint64_t hash = 0;
    // The first broken promise, or nullptr.
    const char* failure = nullptr;
    std::int64_t failed_call = -1;
};

namespace detail {

// Uniform in lo..hi, both included (any 64-bit span).
inline std::uint64_t range64(Rng& rng, std::uint64_t lo, std::uint64_t hi)
{
    const std::uint64_t span = hi - lo + 1;
    return span == 0 ? rng.next() : lo + rng.next() % span;
}

inline constexpr std::uint64_t kOne = ASRC_Q31_RATIO_ONE;
inline constexpr std::uint64_t kMin = ASRC_Q31_RATIO_MIN;
inline constexpr std::uint64_t kMax = ASRC_Q31_RATIO_MAX;
inline constexpr std::uint64_t kFull = ASRC_Q31_RATIO_FULL_BAND;

inline bool in_range(std::uint64_t r) { return r >= kMin && r <= kMax; }

// A ratio for a converter whose memory allows up to max_ratio.
inline std::uint64_t draw_ratio(Rng& rng, std::uint64_t max_ratio)
{
    const std::uint64_t kEdges[] = {
        kMin, kMin + 1, kOne - 1, kOne, kOne + 1, kFull - 1, kFull, kFull + 1, kMax - 1, kMax,
        asrc_q31_ratio(44100, 48000), asrc_q31_ratio(48000, 44100),
        asrc_q31_ratio(48000, 96000), asrc_q31_ratio(96000, 48000),
        asrc_q31_ratio(44100, 96000), asrc_q31_ratio(192000, 44100),
        asrc_q31_ratio(8000, 192000), asrc_q31_ratio(192000, 8000),
    };
    const std::uint64_t kRefused[] = {0, 1, kMin - 1, kMax + 1, ~std::uint64_t{0},
                                      std::uint64_t{1} << 63, max_ratio + 1};
    const std::uint32_t kind = rng.range(0, 99);
    if (kind < 20)
        return range64(rng, kMin, max_ratio);
    if (kind < 32)
        return range64(rng, kMin, max_ratio < kFull ? max_ratio : kFull); // full band
    if (kind < 44) // stretched, where the memory allows
        return max_ratio > kFull ? range64(rng, kFull + 1, max_ratio) : range64(rng, kFull / 2, kFull);
    if (kind < 58) // drift around one: +-1e-3
        return kOne - (std::uint64_t{1} << 30) + range64(rng, 0, std::uint64_t{1} << 31);
    if (kind < 68) // right at the full band's edge
        return kFull - (std::uint64_t{1} << 20) + range64(rng, 0, std::uint64_t{1} << 21);
    if (kind < 90)
        return kEdges[rng.range(0, sizeof kEdges / sizeof kEdges[0] - 1)];
    return kRefused[rng.range(0, sizeof kRefused / sizeof kRefused[0] - 1)];
}

// The largest ratio a re-initialised state is given memory for.
inline std::uint64_t draw_max_ratio(Rng& rng)
{
    const std::uint64_t kLimits[] = {kOne, kFull, 2 * kOne, asrc_q31_ratio(192000, 44100), kMax};
    const std::uint64_t r = rng.percent(20)
                                ? range64(rng, kMin, kMax)
                                : kLimits[rng.range(0, sizeof kLimits / sizeof kLimits[0] - 1)];
    return r > kMaxRatioDrawn && in_range(r) ? kMaxRatioDrawn : r;
}

// A channel's input: runs of one kind of signal, of random lengths that
// ignore the block boundaries.
struct Signal {
    enum Kind : std::uint32_t { kNoise, kQuiet, kSquare, kSilence, kExtremes, kSteps };
    Kind kind = kSilence;
    std::int32_t left = 0;   // samples until the next run
    std::int32_t period = 1; // square: half period
    std::int32_t phase = 0;
    std::int32_t level = 0;  // steps: the current level

    std::int32_t next(Rng& rng)
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
        case kNoise: return static_cast<std::int32_t>(rng.range(0, 0xFFFFFFFFu));
        case kQuiet: return rng.range_signed(-(1 << 16), 1 << 16);
        case kSquare:
            if (++phase == 2 * period)
                phase = 0;
            return phase < period ? INT32_MAX : INT32_MIN;
        case kSilence: return 0;
        case kExtremes: {
            constexpr std::int32_t kValues[] = {INT32_MIN, INT32_MIN + 1, -256, -1, 0,
                                                1,         255,           INT32_MAX - 1, INT32_MAX};
            return kValues[rng.range(0, sizeof kValues / sizeof kValues[0] - 1)];
        }
        default: // steps between random levels, held for a while
            if (rng.percent(2))
                level = static_cast<std::int32_t>(rng.range(0, 0xFFFFFFFFu));
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

// The output frames a block of n frames gives from state f (the header's
// rule: every output whose time t satisfies floor(t) + delay <= the newest
// input's index): with M = lag + n - delay frames past the next output's
// whole part, the k >= 0 with frac + k * ratio < (M + 1) * 2^40.  An
// empty block gives nothing, even when outputs are owed.
inline std::int64_t outputs_due(const Final& f, std::int32_t n)
{
    if (n <= 0)
        return 0;
    const std::int64_t m = std::int64_t{f.lag} + n - f.delay;
    if (m < 0)
        return 0;
    const std::uint64_t span = (static_cast<std::uint64_t>(m + 1) << 40) - f.frac;
    return static_cast<std::int64_t>((span + f.ratio - 1) / f.ratio);
}

} // namespace detail

// Runs `calls` calls from the seed on kConverters converters of type
// Converter (LibraryConverter or the test's reference) and returns the
// summary and the hash.  The buffers live in the driver, which is large
// (about 1.1 MiB): give it static storage.
template <typename Converter>
struct Driver {
    Converter converters[kConverters];
    detail::Signal signals[kConverters][ASRC_Q31_MAX_CHANNELS];
    std::int32_t memory[kConverters][kMemoryWords + kFence];
    std::int32_t words[kConverters]; // given at the last accepted init
    std::int32_t in[kMaxOffset + kMaxBlock * ASRC_Q31_MAX_CHANNELS];
    std::int32_t out[kOutWords];

    Summary run(std::uint64_t seed, std::int64_t calls)
    {
        Summary sum;
        Rng rng{seed};
        Fnv1a h;
        for (int c = 0; c < kConverters; ++c) {
            const auto channels = static_cast<std::int32_t>(rng.range(1, ASRC_Q31_MAX_CHANNELS));
            const std::uint64_t max_ratio = detail::draw_max_ratio(rng);
            const std::uint64_t ratio = detail::range64(rng, detail::kMin, max_ratio);
            if (!init(c, channels, ratio, max_ratio, asrc_q31_memory_words(channels, max_ratio)))
                return failed(sum, "asrc_q31_init refused a state in range", -1);
            h.i32(channels);
            h.u64(ratio);
            h.u64(max_ratio);
        }
        for (; sum.calls < calls; ++sum.calls) {
            const auto c = static_cast<int>(rng.range(0, kConverters - 1));
            Converter& cv = converters[c];
            h.byte(static_cast<std::uint8_t>(c));
            if (rng.percent(4)) {
                if (const char* why = reinit(c, rng, h, sum))
                    return failed(sum, why, sum.calls);
            } else if (rng.percent(15)) {
                if (const char* why = change_ratio(c, rng, h, sum))
                    return failed(sum, why, sum.calls);
            }

            const Final before = cv.final();
            const std::int32_t count = detail::draw_count(rng);
            const std::int32_t n = count > 0 ? count : 0;
            const auto in_at = static_cast<int>(rng.range(0, kMaxOffset));
            const auto out_at = static_cast<int>(rng.range(0, kMaxOffset));
            for (std::int32_t i = 0; i < n; ++i)
                for (std::int32_t ch = 0; ch < before.channels; ++ch)
                    in[in_at + i * before.channels + ch] = signals[c][ch].next(rng);
            const std::int64_t due = detail::outputs_due(before, n);
            const std::int64_t room = asrc_q31_max_output(count, before.ratio);
            if (due > room)
                return failed(sum, "asrc_q31_max_output is below the outputs due", sum.calls);
            const std::int64_t fenced = out_at + due * before.channels + kFence;
            if (fenced > kOutWords)
                return failed(sum, "the schedule owes more than its output buffer", sum.calls);
            for (std::int64_t k = 0; k < fenced; ++k)
                out[k] = kFenceValue;
            std::int32_t nin = count;
            std::int32_t nout = -12345; // ignored on entry
            cv.process(out + out_at, in + in_at, &nin, &nout);
            h.byte('B');
            h.i32(count);
            h.i32(nin);
            h.i32(nout);
            if (nin != n)
                return failed(sum, "the block was not consumed whole", sum.calls);
            if (nout != due)
                return failed(sum, "not exactly the outputs whose time has come", sum.calls);
            for (std::int64_t k = out_at + std::int64_t{nout} * before.channels; k < fenced; ++k)
                if (out[k] != kFenceValue)
                    return failed(sum, "a write past the outputs", sum.calls);
            for (int k = 0; k < out_at; ++k)
                if (out[k] != kFenceValue)
                    return failed(sum, "a write before the outputs", sum.calls);
            if (!fence_intact(c))
                return failed(sum, "a write past the memory given", sum.calls);
            for (std::int64_t k = 0; k < std::int64_t{nout} * before.channels; ++k)
                h.i32(out[out_at + k]);
            sum.frames_in += n;
            sum.samples_out += std::int64_t{nout} * before.channels;
            (before.ratio <= detail::kFull ? sum.outputs_full_band : sum.outputs_stretched) += nout;
            if (before.ratio < detail::kOne / 8 || before.ratio > 8 * detail::kOne)
                sum.outputs_far += nout;
            if (nout > 0)
                sum.channel_counts |= 1u << before.channels;
        }
        for (const Converter& cv : converters) {
            const Final f = cv.final();
            hash_state(h, f);
            sum.clipped += f.clipped;
        }
        sum.hash = h.h;
        return sum;
    }

private:
    static void hash_state(Fnv1a& h, const Final& f)
    {
        h.u64(f.frac);
        h.i32(f.lag);
        h.i32(f.write);
        h.i32(f.window);
        h.i32(f.channels);
        h.i32(f.delay);
        h.u64(f.ratio);
        h.u64(f.max_ratio);
        h.i64(f.held);
    }

    // asrc_q31_delay(ratio); on rows beyond the full band, that of a ratio
    // within 2^-10 of it.
    static bool delay_as_documented(std::int32_t delay, std::uint64_t ratio)
    {
        if (!kRows || ratio <= detail::kFull)
            return delay == asrc_q31_delay(ratio);
        return delay >= asrc_q31_delay(ratio - (ratio >> 10)) &&
               delay <= asrc_q31_delay(ratio + (ratio >> 10));
    }

    static bool same(const Final& a, const Final& b)
    {
        return a.clipped == b.clipped && a.frac == b.frac && a.lag == b.lag &&
               a.write == b.write && a.window == b.window && a.channels == b.channels &&
               a.delay == b.delay && a.ratio == b.ratio && a.max_ratio == b.max_ratio &&
               a.held == b.held;
    }

    // A sum of converter c's memory and fence, to see that a refused call
    // leaves them alone.
    std::uint64_t memory_sum(int c) const
    {
        Fnv1a m;
        for (std::int32_t k = 0; k < kMemoryWords + kFence; ++k)
            m.i32(memory[c][k]);
        return m.h;
    }

    bool fence_intact(int c) const
    {
        for (int k = 0; k < kFence; ++k)
            if (memory[c][words[c] + k] != kFenceValue)
                return false;
        return true;
    }

    bool init(int c, std::int32_t channels, std::uint64_t ratio, std::uint64_t max_ratio,
              std::int32_t given)
    {
        for (int k = 0; k < kFence; ++k)
            memory[c][given + k] = kFenceValue;
        if (converters[c].init(memory[c], given, channels, ratio, max_ratio) != 0)
            return false;
        words[c] = given;
        for (detail::Signal& s : signals[c])
            s = detail::Signal{};
        return true;
    }

    // A re-initialisation, one in six of them refused.
    const char* reinit(int c, Rng& rng, Fnv1a& h, Summary& sum)
    {
        Converter& cv = converters[c];
        auto channels = static_cast<std::int32_t>(rng.range(1, ASRC_Q31_MAX_CHANNELS));
        std::uint64_t max_ratio = detail::draw_max_ratio(rng);
        std::uint64_t ratio = rng.percent(50) ? detail::range64(rng, detail::kMin, max_ratio)
                                              : detail::draw_ratio(rng, max_ratio);
        const std::int32_t need = asrc_q31_memory_words(channels, max_ratio);
        std::int32_t given = need + static_cast<std::int32_t>(rng.range(0, rng.percent(80) ? 0 : 16));
        bool null_memory = false;
        if (rng.percent(16)) {
            switch (rng.range(0, 4)) {
            case 0: channels = rng.percent(50) ? 0 : ASRC_Q31_MAX_CHANNELS + 1; break;
            case 1: given = need - 1; break;
            case 2: null_memory = true; break;
            case 3: ratio = max_ratio + 1; break;
            default: max_ratio = detail::kMax + 1; break;
            }
        }
        const bool valid = channels >= 1 && channels <= ASRC_Q31_MAX_CHANNELS &&
                           detail::in_range(ratio) && detail::in_range(max_ratio) &&
                           ratio <= max_ratio && !null_memory && given >= need;
        h.byte('I');
        h.i32(channels);
        h.u64(ratio);
        h.u64(max_ratio);
        h.i32(given);
        h.byte(null_memory ? 1 : 0);
        const Final before = cv.final();
        if (!valid) {
            const std::uint64_t memory_before = memory_sum(c);
            const int result = cv.init(null_memory ? nullptr : memory[c], given, channels, ratio,
                                       max_ratio);
            h.i32(result);
            if (result != -1)
                return "asrc_q31_init took a state out of range";
            if (!same(before, cv.final()) || memory_sum(c) != memory_before)
                return "a refused asrc_q31_init changed the state or the memory";
            ++sum.refused;
            return nullptr;
        }
        hash_state(h, before);
        sum.clipped += before.clipped;
        if (!init(c, channels, ratio, max_ratio, given))
            return "asrc_q31_init refused a state in range";
        h.i32(0);
        const Final after = cv.final();
        if (after.clipped != 0 || after.frac != 0 || after.lag != -1 || after.ratio != ratio ||
            after.delay != asrc_q31_delay(ratio) || after.window != 2 * asrc_q31_delay(max_ratio))
            return "asrc_q31_init did not reset to its header's state";
        ++sum.ratio_changes;
        return nullptr;
    }

    const char* change_ratio(int c, Rng& rng, Fnv1a& h, Summary& sum)
    {
        Converter& cv = converters[c];
        const Final before = cv.final();
        const std::uint64_t ratio = detail::draw_ratio(rng, before.max_ratio);
        const bool valid = detail::in_range(ratio) && ratio <= before.max_ratio;
        if (valid) {
            // What a full block would owe at the new ratio (rows may keep
            // a delay a few frames shorter).
            Final at = before;
            at.ratio = ratio;
            at.delay = asrc_q31_delay(ratio) - (kRows ? 3 : 0);
            if (kMaxOffset + detail::outputs_due(at, kMaxBlock) * before.channels + kFence >
                kOutWords) {
                h.byte('S');
                ++sum.skipped;
                return nullptr;
            }
        }
        const int result = cv.set_ratio(ratio);
        const Final after = cv.final();
        h.byte('R');
        h.u64(ratio);
        h.i32(result);
        if (result != (valid ? 0 : -1))
            return "a ratio was refused or taken against the range and the memory";
        if (!valid) {
            ++sum.refused;
            return same(before, after) ? nullptr : "a refused ratio changed the state";
        }
        ++sum.ratio_changes;
        if ((before.ratio <= detail::kFull) != (ratio <= detail::kFull))
            ++sum.crossings;
        if (after.ratio != ratio || !delay_as_documented(after.delay, ratio))
            return "ratio or delay differs from asrc_q31.h";
        if (after.held != before.held || after.lag != before.lag || after.frac != before.frac ||
            after.clipped != before.clipped)
            return "asrc_q31_set_ratio moved the position";
        return nullptr;
    }

    static Summary failed(Summary sum, const char* what, std::int64_t call)
    {
        sum.failure = what;
        sum.failed_call = call;
        return sum;
    }
};

} // namespace q31_hash

#endif
