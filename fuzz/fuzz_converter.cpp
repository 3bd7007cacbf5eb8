// fuzz_converter.cpp - drives the converter from the fuzz bytes and holds it
// to the plain reference rule: steps anywhere in 16 bits, block lengths from
// negative to long, resets at any point, both entries interleaved, on the
// module-scope converter and a caller-owned state side by side.  Checks
// the outputs, nin on return, nout against the header's worst case, and that
// nothing is written past that worst case.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "asrc.h"
#include "fuzz_check.h"
#include "reference_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    // Two streams side by side: the module-scope converter and a caller-owned
    // state, each with its own reference; neither may disturb the other.
    asrc_init();
    asrc_state state{};
    asrc_test::ReferenceConverter refs[2];
    auto step = in.ConsumeIntegral<std::int16_t>();
    constexpr std::int16_t kGuard = 0x2D2D;

    while (in.remaining_bytes() > 0) {
        const bool own = in.ConsumeBool();
        asrc_test::ReferenceConverter& ref = refs[own ? 1 : 0];
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            if (own)
                asrc_state_init(&state);
            else
                asrc_init();
            ref = asrc_test::ReferenceConverter{};
            break;
        case 1:
            step = in.ConsumeIntegral<std::int16_t>();
            break;
        case 2: { // one block
            const std::int32_t count = in.ConsumeIntegralInRange<std::int32_t>(-3, 300);
            std::vector<std::int16_t> samples(count > 0 ? static_cast<std::size_t>(count) : 0);
            for (auto& s : samples)
                s = in.ConsumeIntegral<std::int16_t>();
            const auto room = static_cast<std::size_t>(asrc_max_output(count, step));
            std::vector<std::int16_t> out(room + 8, kGuard);
            std::int32_t nin = count;
            std::int32_t nout = -1;
            if (own)
                asrc_state_process_block(&state, out.data(), samples.data(), &nin, &nout, step);
            else
                asrc_process_block(out.data(), samples.data(), &nin, &nout, step);
            check(nin == (count > 0 ? count : 0));
            check(nout >= 0 && static_cast<std::size_t>(nout) <= room);
            for (std::size_t g = room; g < out.size(); ++g)
                check(out[g] == kGuard);
            std::vector<std::int16_t> expected;
            for (std::int16_t s : samples)
                ref.push(s, step, expected);
            check(std::vector<std::int16_t>(out.begin(), out.begin() + nout) == expected);
            break;
        }
        default: { // a few samples one at a time
            const int count = in.ConsumeIntegralInRange<int>(1, 20);
            for (int i = 0; i < count; ++i) {
                const auto s = in.ConsumeIntegral<std::int16_t>();
                std::int16_t out[4] = {kGuard, kGuard, kGuard, kGuard};
                std::int32_t nout = -1;
                if (own)
                    asrc_state_process_sample(&state, out, s, &nout, step);
                else
                    asrc_process_sample(out, s, &nout, step);
                check(nout >= 0 && nout <= asrc_max_output(1, step));
                check(out[2] == kGuard && out[3] == kGuard);
                std::vector<std::int16_t> expected;
                ref.push(s, step, expected);
                check(std::vector<std::int16_t>(out, out + nout) == expected);
            }
            break;
        }
        }
    }
    return 0;
}
