// q31_pieces.h - the 24-bit converter's table piece by piece, for the
// stretched filter.  Internal: not installed.
#ifndef ASRC_Q31_PIECES_H
#define ASRC_Q31_PIECES_H

#include "q31_kernels.h"
#include "q31_table.h"

namespace asrc_q31_detail {

#ifndef ASRC_Q31_SMALL
// The table again, piece by piece with the four terms side by side: the
// stretched filter reads each tap's four terms from one place (one cache
// line instead of four, three times faster on x86-64).  Made by the
// compiler from the rows, so the two cannot disagree.
struct Pieces {
    int32_t a[kTaps * kPieces][4];
};

constexpr Pieces make_pieces()
{
    Pieces t{};
    for (uint32_t g = 0; g < kTaps * kPieces; ++g)
        for (int k = 0; k < 4; ++k)
            t.a[g][k] = kQ31Coef[k][g % kPieces][kTaps - 1 - g / kPieces];
    return t;
}

alignas(64) inline constexpr Pieces kQ31Pieces = make_pieces();
#endif


} // namespace asrc_q31_detail

#endif
