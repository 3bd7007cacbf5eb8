// converter_unit.h - the one place where asrc-bridge touches a converter:
// N channels at one common ratio, planar 16-bit frames in, interleaved
// frames out (as the FIFO takes them).  Swapping the converter (for a
// 24-bit one) means changing this unit and the FIFO's sample type only;
// the rest of the program sees ratios, positions and frame counts.
//
// The unit is the polyphase converter (asrc_poly.h), one state per channel,
// each given the same input count and the same ratio, so that every channel
// gives the same number of outputs.  Going down by more than 1% (48 to 44.1
// kHz) its stretched filter runs on rows made once for the nominal ratio's
// stride (asrc_poly_rows, 200 KB): about eight times faster than without,
// same bits.  A servo that moves the ratio by less than a stride step keeps
// them in use; beyond that the converter falls back to the portable code.
//
// Real-time: process, set_ratio and position neither allocate nor block;
// init allocates.
#ifndef ASRC_RTBRIDGE_CONVERTER_UNIT_H
#define ASRC_RTBRIDGE_CONVERTER_UNIT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "asrc_poly.h"

namespace rtbridge {

class ConverterUnit {
public:
    using Sample = std::int16_t; // what the FIFO carries

    // `channels` converters at `ratio` (Q2.30 input per output, valid for
    // asrc_poly_init), for blocks of up to `max_in` frames.  False if the
    // ratio is out of the converter's range.
    bool init(int channels, std::uint32_t ratio, std::int32_t max_in);

    // Most output frames one block of max_in frames can give.
    std::int32_t max_out() const { return max_out_; }

    // Converts `n` frames (in[c][0 .. n), n <= max_in) into `out`
    // (room for max_out() * channels samples, interleaved); returns the
    // output frames.
    std::int32_t process(const Sample* const* in, std::int32_t n, Sample* out);

    // From the next output on, on every channel (within the range).
    void set_ratio(std::uint32_t ratio);

    // What the servo counts as fill beyond the FIFO: the input held beyond
    // the steady state, signed Q33.30 input samples (asrc_servo.h).
    std::int64_t position() const;

    // The delay from input to output, in input samples (nominal ratio).
    std::int32_t delay() const;

    std::uint64_t clipped() const;

private:
    int channels_ = 0;
    std::int32_t max_in_ = 0;
    std::int32_t max_out_ = 0;
    std::vector<asrc_poly_state> states_;
    std::unique_ptr<asrc_poly_rows> rows_;
    std::vector<Sample> scratch_; // one channel's output
};

} // namespace rtbridge

#endif
