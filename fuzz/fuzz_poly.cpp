// fuzz_poly.cpp - drives the polyphase converter from the fuzz bytes and
// holds it to its plain reference: ratios anywhere in 32 bits (refused ones
// must change nothing), block lengths from negative to long, ratio changes
// and re-initialisations at any point, with and without the stretched
// filter's rows.  Checks nin on return, nout against
// asrc_poly_max_output, that nothing is written past it, and every output.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "asrc_poly.h"
#include "fuzz_check.h"
#include "reference_poly.h"

namespace {

// One stream since the last init: its input, and the ratio of each block.
struct Stream {
    std::vector<std::int16_t> input;
    std::vector<std::uint32_t> ratios;
    std::vector<std::int32_t> sizes;
    std::vector<std::int16_t> output;
    std::uint32_t ratio = 0;
};

void check_against_reference(const Stream& s)
{
    if (s.sizes.empty())
        return;
    const reference_poly::Result want = reference_poly::convert(s.input, s.ratios, s.sizes);
    check(want.out == s.output);
}

std::uint32_t some_ratio(FuzzedDataProvider& in)
{
    // Mostly valid ratios, and some of anything.
    return in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                            : in.ConsumeIntegralInRange<std::uint32_t>(ASRC_POLY_RATIO_MIN,
                                                                       ASRC_POLY_RATIO_MAX);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    asrc_poly_state state;
    Stream stream;
    static const auto rows = std::make_unique<asrc_poly_rows>();
    stream.ratio = ASRC_POLY_RATIO_ONE;
    check(asrc_poly_init(&state, stream.ratio) == 0);
    constexpr std::int16_t kGuard = 0x2D2D;
    std::size_t total = 0;

    while (in.remaining_bytes() > 0 && total < 3000) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: { // init, refused or not
            const std::uint32_t r = some_ratio(in);
            asrc_poly_state before;
            std::memcpy(&before, &state, sizeof state);
            const bool valid = r >= ASRC_POLY_RATIO_MIN && r <= ASRC_POLY_RATIO_MAX;
            check(asrc_poly_init(&state, r) == (valid ? 0 : -1));
            if (valid) {
                check_against_reference(stream);
                stream = Stream{};
                stream.ratio = r;
            } else {
                check(std::memcmp(&before, &state, sizeof state) == 0);
            }
            break;
        }
        case 1: { // ratio change
            const std::uint32_t r = some_ratio(in);
            const bool valid = r >= ASRC_POLY_RATIO_MIN && r <= ASRC_POLY_RATIO_MAX;
            const std::int64_t held = asrc_poly_input_held(&state);
            check(asrc_poly_set_ratio(&state, r) == (valid ? 0 : -1));
            check(asrc_poly_input_held(&state) == held);
            if (valid)
                stream.ratio = r;
            check(state.ratio == stream.ratio);
            break;
        }
        default: { // one block
            const std::int32_t count = in.ConsumeIntegralInRange<std::int32_t>(-3, 400);
            std::vector<std::int16_t> samples(count > 0 ? static_cast<std::size_t>(count) : 0);
            // Runs of one value reach full scale and clip; the rest is noise.
            const bool square = in.ConsumeBool();
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] = square ? static_cast<std::int16_t>((i / 37) % 2 ? -32768 : 32767)
                                    : in.ConsumeIntegral<std::int16_t>();
            const auto room = static_cast<std::size_t>(asrc_poly_max_output(count, state.ratio));
            std::vector<std::int16_t> out(room + 8, kGuard);
            std::int32_t nin = count;
            std::int32_t nout = -1;
            // Now and then with the stretched filter's rows (for this stride,
            // or stale ones for another, which must be ignored).
            if (in.ConsumeBool()) {
                if (in.ConsumeBool())
                    asrc_poly_rows_init(rows.get(), state.ratio);
                asrc_poly_process_block_rows(&state, rows.get(), out.data(), samples.data(), &nin,
                                             &nout);
            } else {
                asrc_poly_process_block(&state, out.data(), samples.data(), &nin, &nout);
            }
            check(nin == (count > 0 ? count : 0));
            check(nout >= 0 && static_cast<std::size_t>(nout) <= room);
            for (std::size_t g = room; g < out.size(); ++g)
                check(out[g] == kGuard);
            stream.input.insert(stream.input.end(), samples.begin(), samples.end());
            stream.ratios.push_back(stream.ratio);
            stream.sizes.push_back(count);
            stream.output.insert(stream.output.end(), out.begin(), out.begin() + nout);
            total += samples.size();
            break;
        }
        }
    }
    check_against_reference(stream);
    return 0;
}
