// fuzz_q31.cpp - drives the 24-bit converter from the fuzz bytes and holds
// it to its plain reference (tests/reference_q31.h): ratios anywhere in 64
// bits (refused ones must change neither the state nor its memory), 1 to 8
// channels and counts outside that, memory sized for any limit (and one
// word short), ratio changes and re-initialisations at any point, blocks
// from negative to long, full-scale runs that clip.  Checks nin on return,
// nout against asrc_q31_max_output, that nothing is written past it or past
// the memory given, that a ratio change moves nothing, and every output.
// A twin state with rows of its own takes the same calls: its outputs are
// not the reference's bits, so it is held to the contract alone (the
// counts, the guards round its memory and rows, the ratios its rows serve).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "asrc_q31.h"
#include "fuzz_check.h"
#include "reference_q31.h"

namespace {

constexpr int32_t kGuard = 0x2D2D2D2D;
constexpr int kGuardWords = 8;

// One stream since the last accepted init: its input, its ratio changes
// (by the count of outputs before them) and its output.
struct Stream {
    int channels = 0;
    std::vector<int32_t> input;
    std::vector<asrc_ref::Q31RatioChange> changes;
    std::vector<int32_t> output;
};

void check_against_reference(const Stream& s)
{
    if (s.channels == 0 || s.output.empty())
        return;
    asrc_ref::ReferenceQ31 ref(s.input, s.channels, s.changes);
    std::vector<int32_t> frame(static_cast<size_t>(s.channels));
    const auto frames = static_cast<int64_t>(s.output.size()) / s.channels;
    for (int64_t k = 0; k < frames; ++k) {
        check(ref.output(k, frame.data()));
        check(std::memcmp(frame.data(), &s.output[static_cast<size_t>(k * s.channels)],
                          frame.size() * sizeof(int32_t)) == 0);
    }
}

bool valid_ratio(uint64_t r)
{
    return r >= ASRC_Q31_RATIO_MIN && r <= ASRC_Q31_RATIO_MAX;
}

uint64_t some_ratio(FuzzedDataProvider& in)
{
    // Mostly valid ratios (a third of them at most 1.002, the full band),
    // and some of anything.
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.ConsumeIntegral<uint64_t>();
    case 1:
        return in.ConsumeIntegralInRange<uint64_t>(ASRC_Q31_RATIO_MIN, ASRC_Q31_RATIO_FULL_BAND);
    default: return in.ConsumeIntegralInRange<uint64_t>(ASRC_Q31_RATIO_MIN, ASRC_Q31_RATIO_MAX);
    }
}

// The rows serve the state's ratio, and the delay is theirs.
void check_twin(const asrc_q31_state& t)
{
    if (t.ratio <= ASRC_Q31_RATIO_FULL_BAND) {
        check(t.delay == asrc_q31_delay(t.ratio));
        return;
    }
    check(t.table_low <= t.ratio && t.ratio <= t.table_high);
    check(t.delay == t.table_taps / 2 && t.delay >= asrc_q31_delay(t.ratio) &&
          t.delay <= asrc_q31_delay(t.max_ratio));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    static std::vector<int32_t> memory;
    static std::vector<int32_t> out;
    static std::vector<int32_t> twin_memory, twin_rows, twin_out;
    asrc_q31_state state{};
    asrc_q31_state twin{};
    int32_t row_words = 0;
    Stream stream;
    int32_t words = 0; // given at the accepted init
    int64_t work = 0;  // output samples, to keep each input quick

    while (in.remaining_bytes() > 0 && work < 4000) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: { // init, refused or not
            const int32_t channels = in.ConsumeIntegralInRange<int32_t>(-1, 10);
            const uint64_t max_ratio = some_ratio(in);
            const uint64_t ratio = in.ConsumeBool() ? max_ratio : some_ratio(in);
            const int32_t need = asrc_q31_memory_words(channels, max_ratio);
            const int32_t given = need + in.ConsumeIntegralInRange<int32_t>(-1, 3);
            const bool null_memory = in.ConsumeIntegralInRange<int>(0, 15) == 0;
            const bool valid = channels >= 1 && channels <= ASRC_Q31_MAX_CHANNELS &&
                               valid_ratio(ratio) && valid_ratio(max_ratio) && ratio <= max_ratio &&
                               !null_memory && given >= need;
            // A refused init must not touch the state or the old memory:
            // keep a copy of both.
            const asrc_q31_state before = state;
            const std::vector<int32_t> memory_before = memory;
            if (valid) {
                memory.assign(static_cast<size_t>(given) + kGuardWords, kGuard);
                memory[0] = 12345; // init must clear the history
            }
            const int result = asrc_q31_init(&state, null_memory ? nullptr : memory.data(),
                                             given < 0 ? 0 : given, channels, ratio, max_ratio);
            check(result == (valid ? 0 : -1));
            if (!valid) {
                check(std::memcmp(&before, &state, sizeof state) == 0);
                check(memory == memory_before);
                break;
            }
            check(memory[0] == 0 && state.ratio == ratio && state.max_ratio == max_ratio);
            check(state.delay == asrc_q31_delay(ratio) && asrc_q31_input_held(&state) == -(int64_t{1} << 30));
            check_against_reference(stream);
            words = given;
            twin_memory.assign(static_cast<size_t>(given) + kGuardWords, kGuard);
            check(asrc_q31_init(&twin, twin_memory.data(), given, channels, ratio, max_ratio) == 0);
            row_words = asrc_q31_table_words(max_ratio);
            twin_rows.assign(static_cast<size_t>(row_words) + kGuardWords, kGuard);
            check(asrc_q31_attach_table(&twin, twin_rows.data(), row_words - 1) == -1);
            check(asrc_q31_attach_table(&twin, twin_rows.data(), row_words) == 0);
            check_twin(twin);
            stream = Stream{};
            stream.channels = channels;
            stream.changes.push_back({0, ratio});
            break;
        }
        case 1: { // ratio change
            if (stream.channels == 0)
                break;
            const uint64_t r = some_ratio(in);
            const bool valid = valid_ratio(r) && r <= state.max_ratio;
            const asrc_q31_state before = state;
            check(asrc_q31_set_ratio(&state, r) == (valid ? 0 : -1));
            if (!valid) {
                check(std::memcmp(&before, &state, sizeof state) == 0);
                break;
            }
            check(asrc_q31_input_held(&state) == asrc_q31_input_held(&before));
            check(state.clipped == before.clipped && state.write == before.write);
            check(state.ratio == r && state.delay == asrc_q31_delay(r));
            stream.changes.push_back(
                {static_cast<int64_t>(stream.output.size()) / stream.channels, r});
            check(asrc_q31_set_ratio(&twin, r) == 0);
            check_twin(twin);
            break;
        }
        default: { // one block
            if (stream.channels == 0)
                break;
            const int channels = stream.channels;
            const int32_t count = in.ConsumeIntegralInRange<int32_t>(-3, 700);
            const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
            std::vector<int32_t> samples(n * static_cast<size_t>(channels));
            // Full-scale squares clip; the rest is the fuzz bytes.
            const bool square = in.ConsumeBool();
            const size_t half = in.ConsumeIntegralInRange<size_t>(1, 64);
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i] = square ? ((i / static_cast<size_t>(channels) / half) % 2 ? INT32_MIN
                                                                                      : INT32_MAX)
                                    : in.ConsumeIntegral<int32_t>();
            const int64_t room = asrc_q31_max_output(count, state.ratio);
            check(room >= 0);
            out.assign(static_cast<size_t>(room) * static_cast<size_t>(channels) + kGuardWords,
                       kGuard);
            int32_t nin = count;
            int32_t nout = -1;
            asrc_q31_process_block(&state, out.data(), samples.data(), &nin, &nout);
            check(nin == static_cast<int32_t>(n));
            check(nout >= 0 && nout <= room);
            for (size_t g = static_cast<size_t>(room) * static_cast<size_t>(channels); g < out.size(); ++g)
                check(out[g] == kGuard);
            for (int g = 0; g < kGuardWords; ++g)
                check(memory[static_cast<size_t>(words) + static_cast<size_t>(g)] == kGuard);
            const int64_t twin_room = asrc_q31_max_output(count, twin.ratio);
            twin_out.assign(
                static_cast<size_t>(twin_room) * static_cast<size_t>(channels) + kGuardWords, kGuard);
            int32_t twin_in = count;
            int32_t twin_nout = -1;
            asrc_q31_process_block(&twin, twin_out.data(), samples.data(), &twin_in, &twin_nout);
            check(twin_in == static_cast<int32_t>(n) && twin_nout >= 0 && twin_nout <= twin_room);
            for (size_t g = static_cast<size_t>(twin_room) * static_cast<size_t>(channels);
                 g < twin_out.size(); ++g)
                check(twin_out[g] == kGuard);
            for (int g = 0; g < kGuardWords; ++g)
                check(twin_memory[static_cast<size_t>(words) + static_cast<size_t>(g)] == kGuard &&
                      twin_rows[static_cast<size_t>(row_words) + static_cast<size_t>(g)] == kGuard);
            stream.input.insert(stream.input.end(), samples.begin(), samples.end());
            stream.output.insert(stream.output.end(), out.begin(),
                                 out.begin() + int64_t{nout} * channels);
            work += int64_t{nout} * channels + static_cast<int64_t>(samples.size());
            break;
        }
        }
    }
    check_against_reference(stream);
    return 0;
}
