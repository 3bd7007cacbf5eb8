// rate_offset.h - the program's one argument: the rate offset and the phase
// step it gives.
#ifndef ASRC_CLI_RATE_OFFSET_H
#define ASRC_CLI_RATE_OFFSET_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace asrc_cli {

// The accepted range, for messages and for parse_rate_offset alike:
// trunc(16384 * offset) must fit a 16-bit step, and the offset lies in
// [-2.0, 2.0).
inline constexpr const char* kRateOffsetRange =
    "a decimal number from -2.0 up to (not including) 2.0";

// Parses the rate offset and derives the phase step trunc(16384.0 * offset)
// (product in double precision, truncated toward zero).  The whole text must
// be one number as strtod reads it; non-finite values and offsets outside
// [-2.0, 2.0) (whose step would not fit in -32768..32767, or, just below
// -2.0, would fit only by truncation) are refused (nullopt) rather than
// silently read as 0, wrapped to 16 bits or taken beyond the stated range.
std::optional<std::int16_t> parse_rate_offset(const char* text);

// What every front end says of an offset that parse_rate_offset refused:
// Invalid rate offset "TEXT": expected ..., with TEXT made safe to print.
std::string invalid_rate_offset_message(std::string_view text);

} // namespace asrc_cli

#endif
