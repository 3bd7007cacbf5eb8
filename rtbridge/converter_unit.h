// converter_unit.h - the one place where asrc-bridge touches a converter:
// N channels at one common ratio, interleaved Q1.31 frames in and out (as
// the 32-bit FIFO takes them).  The rest of the program sees ratios,
// positions and frame counts.
//
// Two converters, chosen by --converter:
//
//   q31 (the default)  the 24-bit converter (asrc_q31.h): one state for up
//                      to ASRC_Q31_MAX_CHANNELS interleaved channels, Q1.31
//                      in and out, 140 dB SINAD; history memory for ratios
//                      up to 1% above the nominal one (the servo's limit).
//   poly               the 16-bit polyphase converter (asrc_poly.h), one
//                      state per channel: the input is rounded to 16 bits
//                      (to nearest, saturating), its output is put in the
//                      top 16 bits of the Q1.31 frames.  Going down by more
//                      than 1% (48 to 44.1 kHz) its stretched filter runs
//                      on rows made once for the nominal ratio's stride
//                      (asrc_poly_rows, 200 KB): about eight times faster
//                      than without, same bits.
//
// Real-time: process, set_ratio and position neither allocate nor block;
// init allocates.
#ifndef ASRC_RTBRIDGE_CONVERTER_UNIT_H
#define ASRC_RTBRIDGE_CONVERTER_UNIT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "asrc_poly.h"
#include "asrc_q31.h"

namespace rtbridge {

enum class ConverterKind { q31, poly };

class ConverterUnit {
public:
    using Sample = std::int32_t; // Q1.31, what the FIFO carries

    // `channels` channels at `ratio` (Q2.30 input per output, as the servo
    // gives it), for blocks of up to `max_in` frames.  Returns nullptr, or
    // why it cannot (the ratio out of the converter's range, too many
    // channels for the 24-bit converter).
    const char* init(ConverterKind kind, int channels, std::uint32_t ratio, std::int32_t max_in);

    // Most output frames one block of max_in frames can give.
    std::int32_t max_out() const { return max_out_; }

    // Converts `n` interleaved frames (n <= max_in) into `out` (room for
    // max_out() * channels samples, interleaved); returns the output frames.
    std::int32_t process(const Sample* in, std::int32_t n, Sample* out);

    // From the next output on, on every channel (within the range).
    void set_ratio(std::uint32_t ratio);

    // What the servo counts as fill beyond the FIFO: the input held beyond
    // the steady state, signed Q33.30 input samples (asrc_servo.h).
    std::int64_t position() const;

    // The delay from input to output, in input samples (nominal ratio).
    std::int32_t delay() const;

    std::uint64_t clipped() const;

private:
    ConverterKind kind_ = ConverterKind::q31;
    int channels_ = 0;
    std::int32_t max_in_ = 0;
    std::int32_t max_out_ = 0;
    // q31
    asrc_q31_state q31_{};
    std::vector<std::int32_t> history_;
    std::vector<std::int32_t> q31_rows_; // the 24-bit converter's own rows (downsampling)
    // poly
    std::vector<asrc_poly_state> states_;
    std::unique_ptr<asrc_poly_rows> rows_;
    std::vector<std::int16_t> planar_;  // one channel's input, 16 bits
    std::vector<std::int16_t> scratch_; // one channel's output
};

// JACK's float samples to Q1.31: rounded to nearest, saturated at full
// scale (1.0 and above give 2^31 - 1), NaN gives 0.
std::int32_t float_to_q31(float x);

// Q1.31 to 16 bits for an S16 device: rounded to nearest, saturated.
std::int16_t q31_to_s16(std::int32_t x);

} // namespace rtbridge

#endif
