// block_loop.h - feeds the converter block by block from the reader to the
// writer.
#ifndef ASRC_DRIVER_BLOCK_LOOP_H
#define ASRC_DRIVER_BLOCK_LOOP_H

#include <cstdint>

#include "sample_reader.h"
#include "sample_writer.h"

namespace asrc_driver {

// Samples handed to the converter per call.
inline constexpr std::int32_t kBlock = 16;

enum class LoopEnd {
    finished,     // the input ended; a last partial block is not converted
    malformed,    // an item that is not a number: the reader has the details
    out_of_range, // a number outside the 32-bit range: likewise
    read_error,
    write_error,
};

// Resets the converter, then reads kBlock numbers at a time, conditions them
// and converts each complete block with `step`, passing every output sample
// to the writer.  A block is converted only when all its kBlock numbers were
// read; the numbers of a block cut short by the end of the input or by a
// fault are not converted.  Everything converted before the stop has been
// handed to the writer; flushing it is the caller's.
LoopEnd convert_stream(SampleReader& reader, SampleWriter& writer, std::int16_t step);

} // namespace asrc_driver

#endif
