// bitexact_check.cpp - holds the converter, built for the target at hand,
// against the plain reference rule on many random streams, and exits
// non-zero at the first difference.  Made for a microcontroller under
// emulation (tools/arm_check.sh), where GoogleTest is not available.  It
// needs only printf, strtol and exit from the C library, no heap and nothing
// from the C++ library (its buffers have fixed sizes), so that the target's
// toolchain needs newlib alone; it builds natively as well.
//
//   bitexact_check [SEED [ROUNDS]]
//
// Each round feeds one of several converters: caller-owned states side by
// side in one array (so that a stray write lands in a neighbour) and the
// module-scope converter.  Each call goes through the sample or the block
// entry, with a step drawn across the whole int16 range (the edges of the
// drop and insert rules weighted up, small steps that keep the fast path
// busy), block lengths from negative to a few hundred, samples with the
// extremes weighted up, buffers at every alignment, and every output buffer
// fenced with a pattern behind what the call may write.
#include "asrc.h"
#include "reference_converter.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../splitmix64.h"

#ifndef ASRC_CHECK_TARGET
#define ASRC_CHECK_TARGET "host"
#endif

namespace {

// splitmix64 (tools/splitmix64.h), with a range.
struct Rng : SplitMix64 {
    // Uniform in lo..hi (both inclusive, hi - lo < 2^32).
    std::int32_t range(std::int32_t lo, std::int32_t hi)
    {
        const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi) - lo) + 1;
        return static_cast<std::int32_t>(lo + static_cast<std::int64_t>(next() % span));
    }
    bool percent(int p) { return range(0, 99) < p; }
    template <typename T, std::size_t N>
    T pick(const T (&table)[N])
    {
        return table[next() % N];
    }
};

// Steps at and beside every boundary of the drop and insert rules, of the
// fast path's group test (8 * 2048 = 16384) and of the int16 range.
constexpr std::int16_t kEdgeSteps[] = {-32768, -32767, -16385, -16384, -16383, -8193, -8192,
                                       -2049,  -2048,  -2047,  -1,     0,      1,     2047,
                                       2048,   2049,   8192,   8193,   16383,  16384, 16385,
                                       32766,  32767};
constexpr std::int16_t kEdgeSamples[] = {-32768, -32767, -16384, -1, 0, 1, 16383, 32766, 32767};

std::int16_t draw_step(Rng& rng)
{
    switch (rng.range(0, 3)) {
    case 0: return rng.pick(kEdgeSteps);
    case 1: return static_cast<std::int16_t>(rng.range(-32768, 32767));
    case 2: return static_cast<std::int16_t>(rng.range(-2048, 2048));
    default: return static_cast<std::int16_t>(rng.range(-40, 40));
    }
}

std::int16_t draw_sample(Rng& rng)
{
    return rng.percent(25) ? rng.pick(kEdgeSamples)
                           : static_cast<std::int16_t>(rng.range(-32768, 32767));
}

constexpr std::int32_t kMaxBlock = 300;

std::int32_t draw_block_length(Rng& rng)
{
    const int kind = rng.range(0, 19);
    if (kind == 0)
        return rng.percent(20) ? INT32_MIN : rng.range(-3, 0);
    if (kind < 9)
        return rng.range(1, 8);
    if (kind < 18)
        return rng.range(9, 64);
    return rng.range(65, kMaxBlock);
}

// One converter under test and the reference that shadows it.
struct Stream {
    asrc_state* state; // nullptr: the module-scope converter
    asrc_test::ReferenceConverter ref;
    std::int16_t step;
};

constexpr std::int16_t kFence = 0x5a5a;
constexpr int kFenceLength = 4;
// Room before a buffer for the offsets that put it at every alignment.
constexpr std::int32_t kMaxOffset = 3;
// One input gives at most two outputs.
constexpr std::size_t kMaxOut = 2 * kMaxBlock;

// The reference's output: a fixed array with just what
// ReferenceConverter::push needs.
struct Expected {
    std::int16_t data[kMaxOut];
    std::size_t size = 0;

    void push_back(std::int16_t v)
    {
        // Only a reference that gives more than two outputs per input could
        // get here; stop rather than write past the array.
        if (size == kMaxOut) {
            std::printf("FAIL on %s: the reference gave more than %u outputs for one call\n",
                        ASRC_CHECK_TARGET, static_cast<unsigned>(kMaxOut));
            std::exit(1);
        }
        data[size++] = v;
    }
    void clear() { size = 0; }
    std::int16_t operator[](std::size_t k) const { return data[k]; }
};

struct Checker {
    Rng rng;
    std::uint64_t seed;
    std::int64_t round = 0;
    std::int64_t samples_in = 0, samples_out = 0, fast_groups = 0;
    std::int16_t in[kMaxOffset + kMaxBlock];
    std::int16_t out[kMaxOffset + kMaxOut + kFenceLength];
    Expected expected;

    [[noreturn]] void fail(const Stream& st, const char* what, std::int32_t count,
                           std::int64_t index, std::int64_t expected, std::int64_t got)
    {
        std::printf("FAIL on %s, seed %llu, round %lld: %s (%s, step %d, count %ld, at %lld: "
                    "expected %lld, got %lld)\n",
                    ASRC_CHECK_TARGET, static_cast<unsigned long long>(seed),
                    static_cast<long long>(round), what,
                    st.state ? "caller's state" : "module state", st.step, static_cast<long>(count),
                    static_cast<long long>(index), static_cast<long long>(expected),
                    static_cast<long long>(got));
        std::exit(1);
    }

    void expect(const Stream& st, const char* what, std::int32_t count, std::int64_t index,
                std::int64_t expected, std::int64_t got)
    {
        if (expected != got)
            fail(st, what, count, index, expected, got);
    }

    // The converter's own state must equal the reference's after every call.
    void compare_state(const Stream& st)
    {
        if (!st.state)
            return;
        const asrc_state& s = *st.state;
        const auto& r = st.ref;
        expect(st, "state.in", 0, 0, asrc_test::wrap16(r.in), s.in);
        expect(st, "state.in_prev", 0, 0, asrc_test::wrap16(r.in_prev), s.in_prev);
        expect(st, "state.out", 0, 0, asrc_test::wrap16(r.out), s.out);
        expect(st, "state.out_prev", 0, 0, asrc_test::wrap16(r.out_prev), s.out_prev);
        expect(st, "state.phase", 0, 0, r.phase, s.phase);
    }

    // Groups of 8 that the block entry may take without the per-sample
    // tests, counted from the reference's phase so that the summary shows
    // the fast path was exercised.
    void count_fast_groups(const Stream& st, std::int32_t count)
    {
        std::int64_t phase = st.ref.phase;
        for (std::int32_t left = count; left > 8; left -= 8) {
            const std::int64_t end = phase + 8 * st.step;
            if (st.step > 0 ? end > ASRC_ONE : end < 0)
                break;
            phase = end;
            ++fast_groups;
        }
    }

    void feed_block(Stream& st)
    {
        const std::int32_t count = draw_block_length(rng);
        const std::int32_t n = count > 0 ? count : 0;
        // Offsets of 0..3 samples put the buffers at every alignment.
        const auto in_at = static_cast<std::size_t>(rng.range(0, kMaxOffset));
        const auto out_at = static_cast<std::size_t>(rng.range(0, kMaxOffset));
        expected.clear();
        for (std::int32_t k = 0; k < n; ++k)
            in[in_at + static_cast<std::size_t>(k)] = draw_sample(rng);
        count_fast_groups(st, count);
        for (std::int32_t k = 0; k < n; ++k)
            st.ref.push(in[in_at + static_cast<std::size_t>(k)], st.step, expected);

        // The header promises at most 2 * count, which sizes `out`.
        const std::int64_t max_output = asrc_max_output(count, st.step);
        if (max_output < 0 || max_output > 2 * static_cast<std::int64_t>(n))
            fail(st, "asrc_max_output outside 0..2 * count", count, 0, 2 * n, max_output);
        const std::size_t out_size = out_at + static_cast<std::size_t>(max_output) + kFenceLength;
        for (std::size_t k = 0; k < out_size; ++k)
            out[k] = kFence;
        std::int32_t nin = count;
        auto nout = static_cast<std::int32_t>(rng.next()); // ignored on entry
        if (st.state)
            asrc_state_process_block(st.state, out + out_at, in + in_at, &nin, &nout, st.step);
        else
            asrc_process_block(out + out_at, in + in_at, &nin, &nout, st.step);

        expect(st, "block: consumed", count, 0, n, nin);
        expect(st, "block: produced", count, 0, static_cast<std::int64_t>(expected.size), nout);
        for (std::size_t k = 0; k < expected.size; ++k)
            expect(st, "block: output", count, static_cast<std::int64_t>(k), expected[k],
                   out[out_at + k]);
        for (std::size_t k = 0; k < out_size; ++k)
            if (k < out_at || k >= out_at + expected.size)
                expect(st, "block: wrote outside its output", count,
                       static_cast<std::int64_t>(k) - static_cast<std::int64_t>(out_at), kFence,
                       out[k]);
        samples_in += n;
        samples_out += nout;
    }

    void feed_sample(Stream& st)
    {
        const std::int16_t sample = draw_sample(rng);
        expected.clear();
        st.ref.push(sample, st.step, expected);
        std::int16_t out[2 + kFenceLength];
        for (std::int16_t& o : out)
            o = kFence;
        auto nout = static_cast<std::int32_t>(rng.next()); // not read by the entry
        if (st.state)
            asrc_state_process_sample(st.state, out, sample, &nout, st.step);
        else
            asrc_process_sample(out, sample, &nout, st.step);

        expect(st, "sample: produced", 1, 0, static_cast<std::int64_t>(expected.size), nout);
        for (std::size_t k = 0; k < 2 + kFenceLength; ++k)
            expect(st, k < expected.size ? "sample: output" : "sample: wrote outside its output",
                   1, static_cast<std::int64_t>(k), k < expected.size ? expected[k] : kFence,
                   out[k]);
        samples_in += 1;
        samples_out += nout;
    }

    // Writes a state as a caller restoring a saved one may: any samples and
    // any phase in 0..ASRC_ONE, half the time one that makes the first group
    // of 8 end at or just beside the edge of the range, where the fast
    // path's group test decides.
    void plant(Stream& st)
    {
        const std::int32_t edge = (st.step > 0 ? ASRC_ONE : 0) - 8 * st.step;
        std::int32_t phase = rng.percent(50) ? edge + rng.range(-2, 2) : rng.range(0, ASRC_ONE);
        phase = phase < 0 ? 0 : phase > ASRC_ONE ? ASRC_ONE : phase;
        asrc_state& s = *st.state;
        s = asrc_state{draw_sample(rng), draw_sample(rng), draw_sample(rng), draw_sample(rng),
                       static_cast<std::int16_t>(phase)}; // 0..16384
        st.ref.in = s.in;
        st.ref.in_prev = s.in_prev;
        st.ref.out = s.out;
        st.ref.out_prev = s.out_prev;
        st.ref.phase = s.phase;
    }

    void reset(Stream& st)
    {
        if (st.state)
            asrc_state_init(st.state);
        else
            asrc_init();
        st.ref = asrc_test::ReferenceConverter{};
    }
};

// At namespace scope rather than on the stack: its buffers are a good part
// of a small core's RAM.
Checker c;

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 1;
    const long rounds = argc > 2 ? std::strtol(argv[2], nullptr, 0) : 20000;
    if (rounds <= 0) {
        std::printf("usage: bitexact_check [SEED [ROUNDS]]  (ROUNDS > 0)\n");
        return 2;
    }
    c.rng = Rng{seed};
    c.seed = seed;

    // The caller's converters lie back to back in one array: a write past
    // one state lands in its neighbour and shows up in the state check.
    // A state left zero-filled must work without asrc_state_init.
    constexpr int kStates = 4;
    static asrc_state states[kStates];
    Stream streams[kStates + 1];
    for (int k = 0; k < kStates; ++k)
        streams[k] = Stream{&states[k], {}, draw_step(c.rng)};
    streams[kStates] = Stream{nullptr, {}, draw_step(c.rng)};

    for (; c.round < rounds; ++c.round) {
        Stream& st = streams[c.rng.range(0, kStates)];
        if (c.rng.percent(2))
            st.step = draw_step(c.rng);
        if (c.rng.percent(1))
            c.reset(st);
        else if (st.state && c.rng.percent(3))
            c.plant(st);
        if (c.rng.percent(30))
            c.feed_sample(st);
        else
            c.feed_block(st);
        for (const Stream& each : streams)
            c.compare_state(each);
    }
    if (c.fast_groups == 0) {
        std::printf("FAIL on %s: no block could take the fast path; the streams do not test it\n",
                    ASRC_CHECK_TARGET);
        return 1;
    }
    std::printf("bit-exact on %s: seed %llu, %lld calls on %d converters, %lld samples in, %lld "
                "out, %lld groups of 8 open to the fast path\n",
                ASRC_CHECK_TARGET, static_cast<unsigned long long>(seed),
                static_cast<long long>(c.round), kStates + 1, static_cast<long long>(c.samples_in),
                static_cast<long long>(c.samples_out), static_cast<long long>(c.fast_groups));
    return 0;
}
