// block_loop.cpp - the block loop between reader, converter and writer.
#include "block_loop.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include "asrc.h"
#include "conditioning.h"

namespace asrc_driver {

namespace {

// Room for the worst case of any step: with a step below -16384 every
// input inserts, so a block of 16 can give 32 samples.
constexpr std::int64_t kOutputCapacity =
    asrc_max_output(kBlock, std::numeric_limits<std::int16_t>::min());

// Reads, conditions and stores numbers at positions first..kBlock-1.
// Returns the reader's result of the read that stopped it, or `number` when
// the block is full.
SampleReader::Result fill_block(SampleReader& reader, std::int16_t* buffer, std::int32_t first)
{
    std::array<std::int32_t, kBlock> numbers;
    const auto wanted = static_cast<std::size_t>(kBlock - first);
    SampleReader::Result r;
    const std::size_t got = reader.next_many(numbers.data(), wanted, &r);
    for (std::size_t i = 0; i < got; ++i)
        buffer[static_cast<std::size_t>(first) + i] = asrc_cli::condition_sample(numbers[i]);
    return r;
}

LoopEnd end_for(SampleReader::Result r)
{
    switch (r) {
    case SampleReader::Result::end:
        return LoopEnd::finished;
    case SampleReader::Result::read_error:
        return LoopEnd::read_error;
    case SampleReader::Result::out_of_range:
        return LoopEnd::out_of_range;
    case SampleReader::Result::number: // not a stop; listed for completeness
    case SampleReader::Result::malformed:
        break;
    }
    return LoopEnd::malformed;
}

} // namespace

LoopEnd convert_stream(SampleReader& reader, SampleWriter& writer, std::int16_t step)
{
    std::array<std::int16_t, kBlock> asrc_input_buffer{};
    std::array<std::int16_t, kOutputCapacity> asrc_output_buffer{};

    asrc_init();
    SampleReader::Result r = fill_block(reader, asrc_input_buffer.data(), 0);
    while (r == SampleReader::Result::number) {
        std::int32_t asrc_nin = kBlock;
        std::int32_t asrc_nout = 0;
        asrc_process_block(asrc_output_buffer.data(), asrc_input_buffer.data(), &asrc_nin,
                           &asrc_nout, step);
        if (!writer.write(asrc_output_buffer.data(), static_cast<std::size_t>(asrc_nout)))
            return LoopEnd::write_error;
        // Keep whatever the converter did not consume (it takes every sample
        // today) at the front, then read as many numbers as it took.
        const std::int32_t left = kBlock - asrc_nin;
        std::memmove(asrc_input_buffer.data(), asrc_input_buffer.data() + asrc_nin,
                     static_cast<std::size_t>(left) * sizeof(std::int16_t));
        r = fill_block(reader, asrc_input_buffer.data(), left);
    }
    return end_for(r);
}

} // namespace asrc_driver
