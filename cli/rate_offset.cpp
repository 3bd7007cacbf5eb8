// rate_offset.cpp - reads the rate offset argument.
#include "rate_offset.h"

#include "escaped.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace asrc_cli {

std::optional<std::int16_t> parse_rate_offset(const char* text)
{
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double offset = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(offset))
        return std::nullopt;
    // The range is the offset's, as the messages give it: [-2.0, 2.0).  The
    // step's range alone would also take offsets down to -2 - 1/16384, whose
    // step truncates to -32768 as -2.0's does.
    if (offset < -2.0 || offset >= 2.0)
        return std::nullopt;
    // Underflow (ERANGE with a tiny result) is harmless: the step is then 0.
    const double scaled = std::trunc(16384.0 * offset);
    // In range, checked above: the conversion is exact.
    return static_cast<std::int16_t>(scaled);
}

std::string invalid_rate_offset_message(std::string_view text)
{
    return "Invalid rate offset " + quoted(text) + ": expected " + kRateOffsetRange;
}

} // namespace asrc_cli
