// conditioning.h - turns one input number at 24-bit scale into a 16-bit sample.
#ifndef ASRC_CLI_CONDITIONING_H
#define ASRC_CLI_CONDITIONING_H

#include <cfloat>
#include <cstdint>

namespace asrc_cli {

// The product below must be rounded to double before it is truncated: 25600
// (100 at 16-bit scale) times 0.99 is exactly 99.0 in double, but falls just
// short of 99 at the x87 unit's 80-bit precision and would truncate to 98.
// Targets that evaluate double arithmetic in extended precision must be
// built for SSE2 arithmetic instead (see cmake/i686-w64-mingw32.cmake).
static_assert(FLT_EVAL_METHOD == 0 || FLT_EVAL_METHOD == 1,
              "double arithmetic must round to double: build with SSE2 floating point");

// Shifts v right arithmetically by 8 bits (24-bit to 16-bit scale), scales it
// by 0.99 in double precision, truncates toward zero and keeps the low 16
// bits.  Numbers in -8388608..8388607 give -32440..32439; larger ones wrap.
inline std::int16_t condition_sample(std::int32_t v)
{
    const double scaled = static_cast<double>(v >> 8) * 0.99;
    // |v >> 8| < 2^23, so the truncation to 32 bits is exact; the cast to
    // 16 bits keeps the low 16 bits on purpose (wrap-around).
    return static_cast<std::int16_t>(static_cast<std::int32_t>(scaled));
}

} // namespace asrc_cli

#endif
