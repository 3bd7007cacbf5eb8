// reference_converter.h - the converter's rule written out plainly, one
// sample at a time, with its own state: the yardstick the tests hold the
// real converter against.  Kept deliberately naive (no shifts, no fast
// path) so that it cannot share a fault with the code under test.
#ifndef ASRC_TESTS_REFERENCE_CONVERTER_H
#define ASRC_TESTS_REFERENCE_CONVERTER_H

#include <cstdint>
#include <vector>

namespace asrc_test {

// Keeps the low 16 bits, as the converter stores every result.
inline std::int16_t wrap16(std::int64_t v)
{
    const std::int64_t low = ((v % 65536) + 65536) % 65536;
    return static_cast<std::int16_t>(low >= 32768 ? low - 65536 : low);
}

// Division rounded toward minus infinity.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

struct ReferenceConverter {
    std::int64_t in = 0, in_prev = 0, out = 0, out_prev = 0, phase = 0;
    // Interpolated results that left the 16-bit range and were stored
    // wrapped.
    std::int64_t wrapped = 0;

    // Sink is anything with push_back(std::int16_t): a std::vector in the
    // tests, a fixed array in a program that must link without the C++
    // library (tools/arm/bitexact_check.cpp).
    template <typename Sink>
    void push(std::int16_t sample, std::int16_t step, Sink& sink)
    {
        const std::int64_t p = phase + step;
        if (step > 0 && p > 16384) { // drop
            phase = 0;
            in = sample;
            out = in_prev;
            out_prev = out;
            in_prev = in;
            return;
        }
        if (step < 0 && p < 0) { // insert the previous input first
            out = in_prev;
            out_prev = out;
            phase = 16384;
            sink.push_back(wrap16(out));
        } else {
            phase = p;
        }
        in = sample;
        const std::int64_t exact = in_prev + floor_div(phase * (in - out_prev), 16384);
        if (exact < -32768 || exact > 32767)
            ++wrapped;
        out = wrap16(exact);
        out_prev = out;
        in_prev = in;
        sink.push_back(wrap16(out));
    }

    std::vector<std::int16_t> run(const std::vector<std::int16_t>& samples, std::int16_t step)
    {
        std::vector<std::int16_t> sink;
        for (std::int16_t s : samples)
            push(s, step, sink);
        return sink;
    }
};

} // namespace asrc_test

#endif
