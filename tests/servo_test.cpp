// The rate controller against a plant of the thing it controls: a FIFO
// filled by a converter on one clock and emptied in blocks on another.  The
// plant is plain arithmetic (the converter as its position alone, or the
// first family's real rule), so that a run of minutes takes milliseconds;
// asrc-bridge-sim and its tests run the whole chain with audio.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "asrc.h"
#include "asrc_fifo.h"
#include "asrc_servo.h"

namespace {

constexpr double kOne = ASRC_SERVO_RATIO_ONE;

std::uint32_t q30(double r)
{
    return static_cast<std::uint32_t>(std::llround(r * kOne));
}

TEST(ServoConfig, RefusesEveryFieldOutOfRangeAndLeavesTheServoAlone)
{
    const asrc_servo_config good = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    struct Case {
        const char* what;
        void (*spoil)(asrc_servo_config&);
    };
    const Case cases[] = {
        {"rate 0", [](asrc_servo_config& c) { c.rate = 0; }},
        {"rate beyond 4 MHz", [](asrc_servo_config& c) { c.rate = 4000001; }},
        {"block 0", [](asrc_servo_config& c) { c.block = 0; }},
        {"block beyond 65536", [](asrc_servo_config& c) { c.block = 65537; }},
        {"negative target", [](asrc_servo_config& c) { c.target = -1; }},
        {"target beyond 2^20", [](asrc_servo_config& c) { c.target = (1 << 20) + 1; }},
        {"ratio below 0.5", [](asrc_servo_config& c) { c.ratio_min = c.ratio = 0x1FFFFFFFu; }},
        {"ratio above 2", [](asrc_servo_config& c) { c.ratio_max = c.ratio = 0x80000001u; }},
        {"ratio below its minimum", [](asrc_servo_config& c) { c.ratio = c.ratio_min - 1; }},
        {"ratio above its maximum", [](asrc_servo_config& c) { c.ratio = c.ratio_max + 1; }},
        {"acquisition 0 ms", [](asrc_servo_config& c) { c.acquire_ms = 0; }},
        {"tracking faster than acquisition", [](asrc_servo_config& c) { c.track_ms = 200; }},
        {"tracking beyond 1000 s", [](asrc_servo_config& c) { c.track_ms = 1000001; }},
        {"acquisition under 16 updates", [](asrc_servo_config& c) { c.acquire_ms = 10; }},
        {"tracking over 2^20 updates", [](asrc_servo_config& c) { c.track_ms = 40000; c.block = 1; }},
        {"automatic target without timestamps",
         [](asrc_servo_config& c) { c.target = ASRC_SERVO_TARGET_AUTO; }},
        {"a timer slower than the frames", [](asrc_servo_config& c) { c.clock_hz = 47999; }},
        {"a timer beyond 2^31 Hz", [](asrc_servo_config& c) { c.clock_hz = 0x80000001u; }},
        {"capacity below the first refill", [](asrc_servo_config& c) { c.capacity = 279; }},
        {"negative capacity", [](asrc_servo_config& c) { c.capacity = -1; }},
        {"a clock step beyond 1%", [](asrc_servo_config& c) { c.step_ppm = 10001; }},
    };
    for (const Case& k : cases) {
        asrc_servo_config c = good;
        k.spoil(c);
        asrc_servo s;
        std::memset(&s, 0x5A, sizeof s);
        asrc_servo before;
        std::memcpy(&before, &s, sizeof s);
        EXPECT_EQ(asrc_servo_init(&s, &c), -1) << k.what;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << k.what << ": touched";
    }
    asrc_servo s;
    EXPECT_EQ(asrc_servo_init(&s, &good), 0);
}

// The first refill asks for the target, half a block, the converter's
// delay and a block more, and the next block comes on top: a FIFO sized
// by target + swing + margin (122 frames at a 61-frame target) never
// starts.  Init refuses it and says what is needed.
TEST(ServoConfig, CapacityMustHoldTheFirstRefill)
{
    asrc_servo_config c = asrc_servo_defaults(48000, 48, 61, ASRC_SERVO_RATIO_ONE);
    EXPECT_EQ(asrc_servo_capacity_needed(&c), 61 + 24 + 64 + 48 + 48);
    asrc_servo s;
    c.capacity = 122;
    EXPECT_EQ(asrc_servo_init(&s, &c), -1);
    c.capacity = asrc_servo_capacity_needed(&c);
    EXPECT_EQ(asrc_servo_init(&s, &c), 0);
    c.target = ASRC_SERVO_TARGET_AUTO;
    c.clock_hz = 1000000;
    EXPECT_EQ(asrc_servo_capacity_needed(&c), 48 + 24 + 64 + 48 + 48) << "auto counts a block";
    c.capacity = 0;
    c.clock_hz = 0;
    EXPECT_EQ(asrc_servo_capacity_needed(&c), -1) << "auto without timestamps is refused";
}

// The time constants are rounded to the nearest power of two of updates,
// nearest in ratio (the geometric middle between two powers splits them).
TEST(ServoConfig, TimeConstantsRoundToTheNearestPowerOfTwoOfUpdates)
{
    struct Case {
        std::uint32_t ms;
        std::uint32_t rate;
        std::int32_t block;
    };
    const Case cases[] = {{250, 48000, 48},  {16000, 48000, 48}, {250, 44100, 44},
                          {1000, 48000, 64}, {362, 1000, 1},     {363, 1000, 1},
                          {724, 1000, 2},    {725, 1000, 2},     {5000, 192000, 192}};
    for (const Case& k : cases) {
        asrc_servo_config c = asrc_servo_defaults(k.rate, k.block, 10, ASRC_SERVO_RATIO_ONE);
        c.acquire_ms = k.ms;
        c.track_ms = k.ms;
        asrc_servo s;
        ASSERT_EQ(asrc_servo_init(&s, &c), 0) << k.ms;
        const double updates = k.ms / 1000.0 * k.rate / k.block;
        EXPECT_EQ(s.acquire_shift, static_cast<int>(std::lround(std::log2(updates))))
            << k.ms << " ms at " << k.rate << " Hz, blocks of " << k.block;
        EXPECT_EQ(s.track_shift, s.acquire_shift);
    }
}

// A FIFO between a converter and a consumer, one servo update per producer
// block.  The converter is its position alone: input samples arrive, an
// output is due whenever the input reaches the next output's time, which
// then moves on by the ratio (asrc_poly.h's rule without its delay).  The
// consumer reads `out` frames whenever its own clock has run that many,
// with a random lateness of up to `jitter` frames.
struct Plant {
    double true_ratio;          // input samples per consumer frame
    std::int32_t in_block;      // input samples per update
    std::int32_t out_block;     // frames per read
    double jitter;              // frames of lateness, uniform
    std::int64_t fill = 0;
    double input = 0;           // input samples arrived
    double next_output = 0;     // the next output's time, input samples
    double consumer = 0;        // frames the consumer's clock has run
    std::int64_t read = 0;      // frames it has read
    std::mt19937 rng{5};

    // One block: returns the frames the converter gives at `ratio`.
    std::int32_t convert(double ratio)
    {
        input += in_block;
        std::int32_t n = 0;
        while (next_output <= input - 1) {
            next_output += ratio;
            ++n;
        }
        return n;
    }
    void consume()
    {
        consumer += in_block / true_ratio;
        std::uniform_real_distribution<double> late(0, jitter);
        while (consumer - late(rng) >= static_cast<double>(read + out_block)) {
            read += out_block;
            fill -= out_block;
        }
    }
    // Held beyond the next output, centred as asrc_servo_poly_position is.
    std::int64_t position(double ratio) const
    {
        return std::llround((input - 1 - next_output + ratio / 2) * kOne);
    }
};

struct Outcome {
    double final_ppm = 0;  // mean ratio over the last tenth against the true one
    double mean_error = 0; // over the last tenth, frames
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    int mode = -1;
    std::uint32_t ratio_min_seen = 0xFFFFFFFFu;
    std::uint32_t ratio_max_seen = 0;
};

// Runs `seconds` of updates (at 1000 per second of blocks of 48) and keeps
// score from the first loop update on.
Outcome run(asrc_servo& s, Plant& p, double seconds)
{
    Outcome r;
    std::uint32_t ratio = s.ratio_nominal;
    std::int32_t withhold = 0;
    const long updates = std::lround(seconds * 48000.0 / p.in_block);
    double error_sum = 0;
    double ratio_sum = 0;
    long error_count = 0;
    bool started = false;
    for (long u = 0; u < updates; ++u) {
        const std::int32_t n = p.convert(ratio / kOne);
        const std::int32_t dropped = std::min(n, withhold);
        p.fill += n - dropped;
        p.consume();
        ratio = asrc_servo_update(&s, static_cast<std::int32_t>(p.fill), p.position(ratio / kOne));
        const std::int32_t refill = asrc_servo_refill(&s);
        if (refill > 0)
            p.fill += refill;
        withhold = refill < 0 ? -refill : 0;
        r.ratio_min_seen = std::min(r.ratio_min_seen, ratio);
        r.ratio_max_seen = std::max(r.ratio_max_seen, ratio);
        started = started || s.mode != ASRC_SERVO_REFILL;
        if (started) {
            r.lowest = std::min(r.lowest, p.fill - s.target);
            r.highest = std::max(r.highest, p.fill - s.target);
        }
        if (u >= updates - updates / 10) {
            error_sum += static_cast<double>(p.fill) - p.in_block / 2.0 - s.target;
            ratio_sum += ratio / kOne;
            ++error_count;
        }
    }
    r.final_ppm = (ratio_sum / static_cast<double>(error_count) / p.true_ratio - 1) * 1e6;
    r.mean_error = error_sum / static_cast<double>(error_count);
    r.mode = s.mode;
    return r;
}

struct Corner {
    const char* name;
    double nominal;   // the servo's nominal ratio
    double offset_ppm; // the true ratio's offset from it
    std::int32_t in_block;
    std::int32_t out_block;
    double jitter;     // consumer lateness, frames
    std::int32_t target;
};

void PrintTo(const Corner& c, std::ostream* os)
{
    *os << c.name;
}

class ServoLocks : public ::testing::TestWithParam<Corner> {};

// From the corners: the largest offsets the limits allow, both signs,
// another nominal rate, consumer blocks far from the producer's, a jittery
// consumer, a FIFO target barely above the sawtooth.  Three simulated
// minutes each: enough to reach tracking (32 s at the defaults) and settle.
TEST_P(ServoLocks, FromTheCornersToTrackingWithTheFillAtTheTarget)
{
    const Corner c = GetParam();
    asrc_servo_config cfg = asrc_servo_defaults(
        48000, static_cast<std::int32_t>(std::lround(c.in_block / c.nominal)), c.target,
        q30(c.nominal));
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{c.nominal * (1 + c.offset_ppm * 1e-6), c.in_block, c.out_block, c.jitter};
    const Outcome r = run(s, p, 180);
    EXPECT_EQ(r.mode, ASRC_SERVO_TRACK);
    EXPECT_LT(std::fabs(r.final_ppm), 2.0) << "ratio off the true one (ppm)";
    EXPECT_LT(std::fabs(r.mean_error), 2.0) << "mean fill off the target (frames)";
    // The fill never strays beyond the two blocks' sawtooth and the jitter,
    // plus half a block of loop error, from the first loop update on; and
    // while the loop acquires a large offset, by up to half of what the
    // offset moves the fill in one acquisition time constant more.
    const double acquisition =
        std::fabs(c.offset_ppm) * 1e-6 * c.in_block * (1 << s.acquire_shift) / 2;
    const double span =
        (c.in_block + c.out_block) / 2.0 + c.jitter + c.in_block / 2.0 + acquisition;
    EXPECT_GT(static_cast<double>(r.lowest), -span);
    EXPECT_LT(static_cast<double>(r.highest), span);
    EXPECT_GE(r.ratio_min_seen, cfg.ratio_min);
    EXPECT_LE(r.ratio_max_seen, cfg.ratio_max);
}

INSTANTIATE_TEST_SUITE_P(
    Corners, ServoLocks,
    ::testing::Values(Corner{"plus_1000_ppm", 1.0, 1000, 48, 64, 24, 96},
                      Corner{"minus_1000_ppm", 1.0, -1000, 48, 64, 24, 96},
                      Corner{"plus_9500_ppm_near_the_limit", 1.0, 9500, 48, 64, 24, 96},
                      Corner{"minus_9500_ppm_near_the_limit", 1.0, -9500, 48, 64, 24, 96},
                      Corner{"from_44k1_to_48k", 44100.0 / 48000, 300, 44, 64, 24, 96},
                      Corner{"from_48k_to_44k1", 48000.0 / 44100, -300, 48, 441, 24, 600},
                      Corner{"large_jitter", 1.0, 1000, 48, 64, 240, 400},
                      Corner{"small_fifo", 1.0, -1000, 48, 64, 0, 64},
                      Corner{"large_blocks", 1.0, 1000, 480, 256, 48, 600}),
    [](const ::testing::TestParamInfo<Corner>& i) { return std::string(i.param.name); });

// An offset beyond the limits cannot be followed: the ratio sits at the
// limit, never beyond, and the fill drifts as it must.  When the clock comes
// back within the limits, the loop recovers at once (the estimate did not
// wind up beyond the limit while it sat there).
TEST(ServoLimits, TheRatioStaysWithinItsLimitsAndDoesNotWindUp)
{
    asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    cfg.ratio_min = q30(1 - 500e-6);
    cfg.ratio_max = q30(1 + 500e-6);
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{1 + 800e-6, 48, 64, 0};
    Outcome r = run(s, p, 60);
    EXPECT_EQ(r.ratio_max_seen, cfg.ratio_max);
    EXPECT_GE(r.ratio_min_seen, cfg.ratio_min);
    EXPECT_GT(p.fill, s.target + 480) << "the fill must have drifted up";
    // Back within the limits; the fill is restored by a restart, as a
    // caller would after the underrun that such a drift ends in.
    p.true_ratio = 1 + 300e-6;
    asrc_servo_restart(&s);
    r = run(s, p, 120);
    EXPECT_EQ(r.mode, ASRC_SERVO_TRACK);
    EXPECT_LT(std::fabs(r.final_ppm), 2.0);
}

// Stamps, counts and positions from anywhere (a timer that jumps, a
// consumer that reads nothing or everything, a position far off): the
// ratio stays within its limits and the target within the FIFO, and
// nothing overflows (the sanitizer build runs this too).  The cases mix
// plausible stretches, which let the lines' start-up edge fill its bins
// and fit, with wild ones.
TEST(ServoLimits, AnyStampsCountsAndPositionsKeepTheRatioWithinItsLimits)
{
    struct Case {
        const char* what;
        std::uint32_t tick_span;  // the timer's step per update: 0 .. span
        std::int32_t most_input;  // input per update: 1 .. most
        std::int32_t most_read;   // frames per read: 0 .. most
    };
    const Case cases[] = {{"plausible", 1100, 48, 64},
                          {"a timer that jumps anywhere", 0xFFFFFFFFu, 48, 64},
                          {"long blocks, long reads", 30000, 65536, 4096},
                          {"a stalled consumer", 1000, 48, 0}};
    for (const Case& c : cases) {
        asrc_servo_config cfg = asrc_servo_defaults(48000, 48, ASRC_SERVO_TARGET_AUTO,
                                                    ASRC_SERVO_RATIO_ONE);
        cfg.clock_hz = 1000000;
        cfg.capacity = 8192;
        asrc_servo s;
        ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
        std::vector<std::int16_t> memory(8192);
        std::vector<std::int16_t> frames(8192);
        asrc_fifo f;
        ASSERT_EQ(asrc_fifo_init(&f, memory.data(), 8192, 1), 0);
        std::mt19937 rng{7};
        // mt19937 draws 32 bits: the cast is exact.
        auto next = [&rng] { return static_cast<std::uint32_t>(rng()); };
        std::uint32_t now = next();
        for (int u = 0; u < 200000; ++u) {
            now += c.tick_span == 0xFFFFFFFFu ? next() : next() % (c.tick_span + 1);
            const auto read = static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(c.most_read + 1));
            asrc_fifo_read_at(&f, frames.data(), read, now - next() % 500);
            const auto input = 1 + static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(c.most_input));
            asrc_fifo_write(&f, frames.data(), std::min(input, asrc_fifo_space(&f)));
            const std::int64_t position =
                u % 1000 == 999 ? static_cast<std::int64_t>(next()) << 31 : static_cast<std::int64_t>(next() % 64) << 24;
            const std::uint32_t ratio = asrc_servo_update_at(&s, &f, position, now, input);
            ASSERT_GE(ratio, cfg.ratio_min) << c.what;
            ASSERT_LE(ratio, cfg.ratio_max) << c.what;
            ASSERT_GE(asrc_servo_target(&s), 0) << c.what;
            ASSERT_LE(asrc_servo_target(&s), 8192) << c.what;
        }
    }
}

// With acquisition and tracking at the same time constant the loop starts
// in TRACK: there is nothing to climb.
TEST(ServoGear, EqualTimeConstantsStartTheLoopTracking)
{
    asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    cfg.track_ms = cfg.acquire_ms;
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{1 + 200e-6, 48, 64, 24};
    int first_mode = -1;
    std::uint32_t ratio = s.ratio;
    std::int32_t withhold = 0;
    for (int u = 0; u < 200 && first_mode < 0; ++u) {
        const std::int32_t n = p.convert(ratio / kOne);
        p.fill += n - std::min(n, withhold);
        p.consume();
        ratio = asrc_servo_update(&s, static_cast<std::int32_t>(p.fill), p.position(ratio / kOne));
        const std::int32_t refill = asrc_servo_refill(&s);
        if (refill > 0)
            p.fill += refill;
        withhold = refill < 0 ? -refill : 0;
        if (s.mode != ASRC_SERVO_REFILL)
            first_mode = s.mode;
    }
    EXPECT_EQ(first_mode, ASRC_SERVO_TRACK);
}

// A loss of lock: the fill jumps by a block and a half for good while the
// loop tracks (frames lost without an underrun).  The filtered error
// passes the one-block scale within a few thousand updates (its lowpass
// is N / 4 = 4096 updates) and the loop falls back to acquisition; a
// limit twice as wide would take over 17,000.
TEST(ServoGear, AFillStepOfABlockAndAHalfFallsBackToAcquisition)
{
    const asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{1 + 200e-6, 48, 64, 24};
    run(s, p, 60);
    ASSERT_EQ(s.mode, ASRC_SERVO_TRACK);
    std::uint32_t ratio = s.ratio;
    long fell_back = -1;
    for (long u = 0; u < 20000 && fell_back < 0; ++u) {
        const std::int32_t n = p.convert(ratio / kOne);
        p.fill += n;
        p.consume();
        ratio = asrc_servo_update(&s, static_cast<std::int32_t>(p.fill) + 72,
                                  p.position(ratio / kOne));
        if (s.mode == ASRC_SERVO_ACQUIRE && s.shift == s.acquire_shift)
            fell_back = u;
    }
    ASSERT_GE(fell_back, 0) << "never fell back in 20,000 updates";
    EXPECT_GE(fell_back, 1000) << "fell back on the sawtooth";
    EXPECT_LE(fell_back, 5000) << "fell back only after (updates)";
}

// With timestamps, against a real FIFO: the converter as its position
// alone, the consumer reading out-block frames on its own clock, both
// sides stamping a 1 MHz timer, no lateness.  At other nominal ratios too
// (44.1 to 48 kHz and back): the lines' ratio and the fill's correction
// hold the mean fill on the target and the ratio on the clocks'.
struct Clocked {
    const char* name;
    double nominal;
    double offset_ppm;
    std::int32_t in_block;
    std::int32_t out_block;
    std::int32_t target; // or ASRC_SERVO_TARGET_AUTO
};

void PrintTo(const Clocked& c, std::ostream* os)
{
    *os << c.name;
}

class ServoClocked : public ::testing::TestWithParam<Clocked> {};

// The servo with timestamps against a real FIFO of 8192 frames: the
// converter as its position alone, the consumer reading out-block frames
// on its own clock (a read every out-block frames after `origin` seconds),
// both sides stamping a 1 MHz timer.
struct ClockedRig {
    asrc_servo s{};
    asrc_fifo f{};
    std::vector<std::int16_t> memory = std::vector<std::int16_t>(8192);
    std::vector<std::int16_t> frames;
    std::vector<std::int16_t> pulled;
    std::int32_t out_block;
    double origin;
    double input = 0;
    double next_output = 0;
    std::int64_t reads = 0;
    std::uint32_t ratio = 0;
    std::int32_t withhold = 0;

    ClockedRig(std::int32_t in_block, std::int32_t out, double first_read)
        : frames(4 * static_cast<std::size_t>(in_block) + 8),
          pulled(static_cast<std::size_t>(out)), out_block(out), origin(first_read)
    {
    }

    bool init(const asrc_servo_config& cfg)
    {
        ratio = cfg.ratio;
        return asrc_servo_init(&s, &cfg) == 0 && asrc_fifo_init(&f, memory.data(), 8192, 1) == 0;
    }

    // The reads due by `now`, then a producer block of in_block input
    // samples written and the servo's update stamped `now`, then its refill.
    std::uint32_t block(double now, std::int32_t in_block)
    {
        while (origin + static_cast<double>((reads + 1) * out_block) / 48000.0 <= now) {
            ++reads;
            const double at = origin + static_cast<double>(reads * out_block) / 48000.0;
            asrc_fifo_read_at(&f, pulled.data(), out_block,
                              static_cast<std::uint32_t>(std::llround(at * 1e6)));
        }
        input += in_block;
        std::int32_t n = 0;
        while (next_output <= input - 1) {
            next_output += ratio / kOne;
            ++n;
        }
        const std::int32_t dropped = std::min(n, withhold);
        asrc_fifo_write(&f, frames.data(), n - dropped);
        const std::int64_t position = std::llround((input - 1 - next_output + ratio / kOne / 2) * kOne);
        ratio = asrc_servo_update_at(&s, &f, position, static_cast<std::uint32_t>(std::llround(now * 1e6)),
                                     in_block);
        const std::int32_t refill = asrc_servo_refill(&s);
        if (refill > 0)
            asrc_fifo_write_silence(&f, refill);
        withhold = refill < 0 ? -refill : 0;
        return ratio;
    }
};

TEST_P(ServoClocked, HoldsTheFillAndTheRatioFromTimestamps)
{
    const Clocked c = GetParam();
    asrc_servo_config cfg = asrc_servo_defaults(
        48000, static_cast<std::int32_t>(std::lround(c.in_block / c.nominal)), c.target,
        q30(c.nominal));
    cfg.clock_hz = 1000000;
    cfg.capacity = 8192;
    const double true_ratio = c.nominal * (1 + c.offset_ppm * 1e-6);
    const double in_rate = 48000 * true_ratio; // input samples per second
    // The consumer's reads from the producer's first block on.
    ClockedRig rig(c.in_block, c.out_block, c.in_block / in_rate + 1e-4);
    ASSERT_TRUE(rig.init(cfg));
    asrc_servo& s = rig.s;
    asrc_fifo& f = rig.f;
    double ratio_sum = 0;
    double error_sum = 0;
    long counted = 0;
    const long updates = std::lround(60 * in_rate / c.in_block);
    for (long u = 0; u < updates; ++u) {
        const std::uint32_t ratio = rig.block(static_cast<double>(u + 1) * c.in_block / in_rate, c.in_block);
        if (u >= updates - updates / 6) {
            ratio_sum += ratio / kOne;
            error_sum += static_cast<double>(s.fill_error_q16) / 65536;
            ++counted;
        }
    }
    EXPECT_NE(s.mode, ASRC_SERVO_REFILL);
    EXPECT_EQ(asrc_fifo_get_counts(&f).underruns, 0u);
    EXPECT_EQ(asrc_fifo_get_counts(&f).overruns, 0u);
    EXPECT_LT(std::fabs((ratio_sum / static_cast<double>(counted) / true_ratio - 1) * 1e6), 0.5)
        << "ratio off the clocks' (ppm)";
    EXPECT_LT(std::fabs(error_sum / static_cast<double>(counted)), 1.0) << "mean fill off (frames)";
    EXPECT_LE(asrc_servo_capacity_wanted(&s), 8192);
    if (c.target == ASRC_SERVO_TARGET_AUTO) {
        // Without lateness: the half blocks and what a 1000 ppm step costs.
        const double halves = (c.in_block / c.nominal + c.out_block) / 2;
        EXPECT_GE(asrc_servo_target(&s), halves);
        EXPECT_LE(asrc_servo_target(&s), halves + 60);
    } else {
        EXPECT_EQ(asrc_servo_target(&s), c.target);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corners, ServoClocked,
    ::testing::Values(Clocked{"plus_1000_ppm_auto", 1.0, 1000, 48, 64, ASRC_SERVO_TARGET_AUTO},
                      Clocked{"minus_1000_ppm_62_frames", 1.0, -1000, 48, 64, 62},
                      Clocked{"from_44k1_to_48k", 44100.0 / 48000, 300, 44, 64, ASRC_SERVO_TARGET_AUTO},
                      Clocked{"from_48k_to_44k1", 48000.0 / 44100, -300, 48, 441, ASRC_SERVO_TARGET_AUTO},
                      Clocked{"blocks_1024_and_256", 1.0, 100, 1024, 256, ASRC_SERVO_TARGET_AUTO}),
    [](const ::testing::TestParamInfo<Clocked>& i) { return std::string(i.param.name); });

// A new lateness peak raises the chosen target; the fill held follows it
// at 15 ppm, so the ratio moves by a ramp, never by a step (a raise taken
// at once stepped the correction to its 40 ppm within one update).
TEST(ServoClockedTarget, ARaiseMovesTheRatioByARampNotAStep)
{
    asrc_servo_config cfg = asrc_servo_defaults(48000, 48, ASRC_SERVO_TARGET_AUTO, q30(1.0));
    cfg.clock_hz = 1000000;
    cfg.capacity = 8192;
    ClockedRig rig(48, 64, 1e-3);
    ASSERT_TRUE(rig.init(cfg));
    asrc_servo& s = rig.s;
    asrc_fifo& f = rig.f;
    asrc_fifo_set_read_period(&f, asrc_servo_read_period(&s));
    const double in_rate = 48000 * (1 + 100e-6);
    std::int32_t target_before = 0;
    double largest_step_ppm = 0;
    const long updates = std::lround(60 * in_rate / 48);
    const long late_at = updates / 2; // at 30 s
    for (long u = 0; u < updates; ++u) {
        // The block at late_at comes 1 ms late: the reads due meanwhile go first.
        const double now = static_cast<double>(u + 1) * 48 / in_rate + (u == late_at ? 1e-3 : 0);
        if (u == late_at)
            target_before = asrc_servo_target(&s);
        const std::uint32_t before = rig.ratio;
        const std::uint32_t next = rig.block(now, 48);
        if (u >= late_at)
            largest_step_ppm = std::max(largest_step_ppm, std::fabs((next / kOne - before / kOne) * 1e6));
    }
    EXPECT_GT(asrc_servo_target(&s), target_before + 40) << "the late block raised the target";
    EXPECT_LT(largest_step_ppm, 0.5) << "the ratio stepped";
    EXPECT_EQ(asrc_fifo_get_counts(&f).underruns, 0u);
}

// A drift too fast for the tracking time constant (3 ppm/s, a crystal
// heating up quickly; its lag there would be 3e-6 * 48000 * 16.4 s^2 = 39
// frames) takes the loop down a gear or two, where the lag is a quarter or
// less, and once the clock holds still again it climbs back to tracking.
TEST(ServoGear, AFastDriftShortensTheLoopUntilItStops)
{
    const asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{1 + 200e-6, 48, 64, 24};
    run(s, p, 60);
    ASSERT_EQ(s.mode, ASRC_SERVO_TRACK);
    double worst = 0;
    int lowest_shift = s.shift;
    std::uint32_t ratio = s.ratio;
    std::int32_t withhold = 0;
    double error = 0; // the mean fill error over each 100 updates
    for (long u = 0; u < 180000; ++u) {
        if (u < 60000)
            p.true_ratio += 3e-6 / 1000;
        const std::int32_t n = p.convert(ratio / kOne);
        p.fill += n - std::min(n, withhold);
        p.consume();
        ratio = asrc_servo_update(&s, static_cast<std::int32_t>(p.fill), p.position(ratio / kOne));
        const std::int32_t refill = asrc_servo_refill(&s);
        ASSERT_EQ(refill, 0) << "restarted at update " << u;
        error += static_cast<double>(p.fill) - 24 - 96;
        if (u % 100 == 99) {
            worst = std::max(worst, std::fabs(error / 100));
            error = 0;
        }
        lowest_shift = std::min(lowest_shift, s.shift);
    }
    EXPECT_LT(lowest_shift, s.track_shift) << "never left tracking";
    // Shortened once the error passes half a block (24 frames), the loop
    // overshoots that by what its filter lags, but stays well short of the
    // 45 frames it would reach if it stayed at tracking.
    EXPECT_LT(worst, 36.0) << "the fill lagged the drift by (frames)";
    EXPECT_EQ(s.mode, ASRC_SERVO_TRACK) << "not back to tracking two minutes after the drift";
}

// The refill, stage by stage, on a plant whose consumer takes exactly what
// the producer's 48-frame blocks bring: the first update asks for what a
// reading says is missing and a block more, the output stays muted while
// the error is averaged over N / 16 updates and trimmed (dropping frames
// of the next block), and the loop starts with the mean fill on the
// target.  At the defaults the first 19 blocks are silence, as asrc_servo.h
// promises.
TEST(ServoRefill, PrimesSettlesTrimsAndStartsTheLoopOnTheTarget)
{
    for (const int bias : {-10, 30}) {
        SCOPED_TRACE(bias);
        const asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
        asrc_servo s;
        ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
        EXPECT_NE(asrc_servo_muted(&s), 0) << "the first block is silence";
        // 0 at first; then what the refill brings, plus a bias that a single
        // reading cannot see (where the consumer's first read fell).
        std::int32_t fill = 0;
        std::int32_t withhold = 0;
        int muted_blocks = 1;
        for (int u = 0; u < 40; ++u) {
            if (u > 0)
                fill += 48 - std::min(48, withhold) - 48;
            asrc_servo_update(&s, fill, 0);
            const std::int32_t refill = asrc_servo_refill(&s);
            withhold = refill < 0 ? -refill : 0;
            if (u == 0) {
                EXPECT_EQ(refill, 96 + 24 + 48) << "target, half a block, a block more";
                fill += bias;
            }
            fill += refill > 0 ? refill : 0;
            muted_blocks += asrc_servo_muted(&s) != 0;
        }
        // The trim is 48 - bias frames: within a block for -10, one more
        // update to drop the rest for 30.
        EXPECT_EQ(muted_blocks, bias < 0 ? 19 : 20);
        EXPECT_EQ(fill, 96 + 24) << "the trim took the extra block and the bias away";
        EXPECT_EQ(s.mode, ASRC_SERVO_ACQUIRE);
    }
}

// After an overrun the FIFO is full; the restart drops converted frames
// (never adds silence) until the fill is within a block of the target, and
// keeps the frequency the loop had found, so that no reacquisition is
// needed.
TEST(ServoRefill, RestartAfterAnOverrunDropsFramesAndKeepsTheFrequency)
{
    const asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
    asrc_servo s;
    ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
    Plant p{1 + 1000e-6, 48, 64, 0};
    run(s, p, 60);
    // The frequency estimate alone, without the proportional part.
    const double found = (s.ratio_nominal + static_cast<double>(s.frequency_q54) / (1 << 24)) / kOne;
    ASSERT_NEAR((found - 1) * 1e6, 1000, 5);

    p.fill = 600; // what an overrun of a large FIFO leaves
    asrc_servo_restart(&s);
    ASSERT_NE(asrc_servo_muted(&s), 0);
    int dropping = 0;
    std::uint32_t ratio = s.ratio;
    std::int32_t withhold = 0;
    while (asrc_servo_muted(&s) != 0) {
        const std::int32_t n = p.convert(ratio / kOne);
        p.fill += n - std::min(n, withhold);
        p.consume();
        ratio = asrc_servo_update(&s, static_cast<std::int32_t>(p.fill), p.position(ratio / kOne));
        EXPECT_NEAR((ratio / kOne - found) * 1e6, 0, 0.01) << "the estimate is kept";
        const std::int32_t refill = asrc_servo_refill(&s);
        if (p.fill > 96 + 24 + 48) {
            EXPECT_LE(refill, 0) << "silence added to a full FIFO";
        }
        dropping += refill < 0;
        withhold = refill < 0 ? -refill : 0;
        if (refill > 0)
            p.fill += refill;
        ASSERT_LT(dropping, 1000) << "never leaves the refill";
    }
    EXPECT_GT(dropping, 5);
    EXPECT_NEAR(static_cast<double>(p.fill) - 24 - 96, 0, 40);
}

// The first family, on its real rule: the servo's step drives
// asrc_state_process_block, whose output count fills the plant, with the
// rule's phase as the position.  The coarse step is dithered: the steps
// summed never drift from the fine ratios summed by more than half a unit,
// and the loop holds the fill.
TEST(ServoStep, DitheredStepsAverageToTheFineRatioAndHoldTheFill)
{
    for (const double offset : {1000e-6, -1000e-6, 37e-6}) {
        SCOPED_TRACE(offset);
        const asrc_servo_config cfg = asrc_servo_defaults(48000, 48, 96, ASRC_SERVO_RATIO_ONE);
        asrc_servo s;
        ASSERT_EQ(asrc_servo_init(&s, &cfg), 0);
        asrc_state rule{};
        Plant p{1 + offset, 48, 64, 24};
        std::vector<std::int16_t> in(48, 0);
        std::vector<std::int16_t> out(96);
        std::int16_t step = 0;
        std::int32_t withhold = 0;
        double fine_sum = 0;
        double step_sum = 0;
        double worst = 0;
        double error_sum = 0;
        long error_count = 0;
        for (long u = 0; u < 120000; ++u) {
            std::int32_t nin = 48;
            std::int32_t nout = 0;
            asrc_state_process_block(&rule, out.data(), in.data(), &nin, &nout, step);
            p.fill += nout - std::min(nout, withhold);
            p.consume();
            step = asrc_servo_update_step(&s, static_cast<std::int32_t>(p.fill),
                                          asrc_servo_rule_position(&rule));
            // From the update that started the loop (and zeroed the carry).
            if (s.mode != ASRC_SERVO_REFILL) {
                fine_sum += (s.ratio / kOne - 1) * 16384;
                step_sum += step;
                worst = std::max(worst, std::fabs(fine_sum - step_sum));
            }
            const std::int32_t refill = asrc_servo_refill(&s);
            if (refill > 0)
                p.fill += refill;
            withhold = refill < 0 ? -refill : 0;
            if (u >= 100000) {
                error_sum += static_cast<double>(p.fill) - 24 - 96;
                ++error_count;
            }
        }
        EXPECT_LE(worst, 0.5 + 1e-9) << "the steps' sum strayed from the fine values' sum";
        EXPECT_EQ(s.mode, ASRC_SERVO_TRACK);
        EXPECT_LT(std::fabs(error_sum / static_cast<double>(error_count)), 3.0);
    }
}

} // namespace
