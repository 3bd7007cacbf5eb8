// The caller-owned converters: several streams at once through both
// families of entries against the reference rule, and the fast path's group
// test pinned from both sides.  Built with the converter's source and
// ASRC_COUNT_FAST_PATH_GROUPS, so that the groups taken can be counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "asrc.h"
#include "reference_converter.h"

extern "C" long asrc_fast_path_groups;
long asrc_fast_path_groups = 0;

namespace {

using Samples = std::vector<std::int16_t>;

// One stream: either a caller-owned state or, for `state == nullptr`, the
// module-scope converter, fed through either entry.
Samples feed(asrc_state* state, const Samples& in, std::int16_t step, bool by_block)
{
    Samples out(static_cast<std::size_t>(asrc_max_output(static_cast<std::int32_t>(in.size()), step)));
    std::int32_t nout = 0;
    if (by_block) {
        std::int32_t nin = static_cast<std::int32_t>(in.size());
        if (state != nullptr)
            asrc_state_process_block(state, out.data(), in.data(), &nin, &nout, step);
        else
            asrc_process_block(out.data(), in.data(), &nin, &nout, step);
        EXPECT_EQ(nin, static_cast<std::int32_t>(in.size()));
        out.resize(static_cast<std::size_t>(nout));
        return out;
    }
    Samples got;
    for (std::int16_t s : in) {
        std::int16_t two[2];
        if (state != nullptr)
            asrc_state_process_sample(state, two, s, &nout, step);
        else
            asrc_process_sample(two, s, &nout, step);
        got.insert(got.end(), two, two + nout);
    }
    return got;
}

// Four streams (three caller-owned states and the module's converter),
// each with its own step, fed in random turns through random entries and
// block lengths: each must give exactly what the reference gives for it
// alone, so no call may touch another stream's state.
TEST(States, InterleavedStreamsEachGiveWhatTheyGiveAlone)
{
    std::mt19937 rng(8);
    auto pick = [&](std::int32_t lo, std::int32_t hi) {
        return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
    };
    constexpr int kStreams = 4;
    for (int round = 0; round < 400; ++round) {
        asrc_state states[kStreams - 1];
        for (auto& s : states)
            asrc_state_init(&s);
        asrc_init();
        asrc_test::ReferenceConverter ref[kStreams];
        std::int16_t step[kStreams];
        for (auto& st : step)
            st = static_cast<std::int16_t>(pick(0, 1) ? pick(-2500, 2500) : pick(INT16_MIN, INT16_MAX));

        for (int call = 0; call < 40; ++call) {
            const int k = pick(0, kStreams - 1);
            Samples in(static_cast<std::size_t>(pick(0, 40)));
            for (auto& s : in)
                s = static_cast<std::int16_t>(pick(-12000, 12000));
            asrc_state* state = k < kStreams - 1 ? &states[k] : nullptr;
            const Samples got = feed(state, in, step[k], pick(0, 2) != 0);
            ASSERT_EQ(got, ref[k].run(in, step[k]))
                << "round " << round << " call " << call << " stream " << k << " step " << step[k];
        }
    }
}

// A zero-filled state, asrc_state_init and the module's converter after
// asrc_init are the same converter: identical outputs and identical state.
TEST(States, ZeroFilledInitialisedAndModuleScopeAgree)
{
    Samples in(300);
    std::mt19937 rng(3);
    for (auto& s : in)
        s = static_cast<std::int16_t>(std::uniform_int_distribution<int>(-30000, 30000)(rng));
    for (std::int16_t step : {std::int16_t{0}, std::int16_t{163}, std::int16_t{-163},
                              std::int16_t{-2341}, std::int16_t{16384}, std::int16_t{-32768}}) {
        asrc_state zeroed{};
        asrc_state initialised;
        std::fill_n(reinterpret_cast<unsigned char*>(&initialised), sizeof initialised, 0xA5);
        asrc_state_init(&initialised);
        // Every field, also those the next call writes before it reads them.
        EXPECT_EQ(std::make_tuple(initialised.in, initialised.in_prev, initialised.out,
                                  initialised.out_prev, initialised.phase),
                  std::make_tuple(0, 0, 0, 0, 0));
        asrc_init();
        const Samples a = feed(&zeroed, in, step, true);
        EXPECT_EQ(feed(&initialised, in, step, false), a) << "step " << step;
        EXPECT_EQ(feed(nullptr, in, step, true), a) << "step " << step;

        // Block and sample entries leave the same state behind; the module's
        // state, seen through its next outputs, is that state too.
        EXPECT_EQ(std::make_tuple(zeroed.in, zeroed.in_prev, zeroed.out, zeroed.out_prev, zeroed.phase),
                  std::make_tuple(initialised.in, initialised.in_prev, initialised.out,
                                  initialised.out_prev, initialised.phase))
            << "step " << step;
        const Samples probe = {1234, -4321, 777, 32000, -32000};
        EXPECT_EQ(feed(nullptr, probe, step, false), feed(&zeroed, probe, step, false))
            << "step " << step;
    }
}

struct GroupCase {
    const char* name;
    std::int16_t start_phase;
    std::int16_t step;
    long groups; // groups the fast path takes in a block of 16
};

class FastPathGroup : public ::testing::TestWithParam<GroupCase> {};

// A group that ends exactly on 16384 (or 0) stays in range and must take
// the fast path; one that ends a unit past must not, since its last sample
// drops (or inserts).  The output is checked against the reference too, so
// a group test that lets the unit past through fails on the samples.
TEST_P(FastPathGroup, IsTakenExactlyWhenTheGroupEndsInRange)
{
    const GroupCase& c = GetParam();
    Samples in(16);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<std::int16_t>(900 * static_cast<int>(i) - 7000);
    asrc_state state{};
    state.phase = c.start_phase;
    asrc_test::ReferenceConverter ref;
    ref.phase = c.start_phase;

    asrc_fast_path_groups = 0;
    EXPECT_EQ(feed(&state, in, c.step, true), ref.run(in, c.step));
    EXPECT_EQ(asrc_fast_path_groups, c.groups);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, FastPathGroup,
    ::testing::Values(GroupCase{"ends_on_one", 0, 2048, 1},
                      GroupCase{"ends_one_past_one", 1, 2048, 0},
                      GroupCase{"ends_on_zero", 16384, -2048, 1},
                      GroupCase{"ends_one_below_zero", 16383, -2048, 0},
                      // Step 0 never leaves the range; 16 samples leave 8
                      // for the tail, so one group either way.
                      GroupCase{"step_zero", 5000, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
