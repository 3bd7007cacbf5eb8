// stretched_rows.h - the polyphase converter's stretched-filter rows
// (asrc_poly_rows), as every program that converts downwards keeps them.
#ifndef ASRC_CLI_STRETCHED_ROWS_H
#define ASRC_CLI_STRETCHED_ROWS_H

#include <cstdint>
#include <memory>

#include "asrc_poly.h"

namespace asrc_cli {

// The rows for `ratio` in `rows`, or nullptr up to the full band's ratio
// (stride 256), where the converter needs none.  They are about 200 KB, so
// they are allocated when first needed and filled again only when the
// stride changes: a drift controller's small ratio changes keep them.  The
// outputs are the same with them or without; they only make the sums
// faster.  `ratio` must lie in the converter's range.
inline const asrc_poly_rows* stretched_rows(std::uint32_t ratio,
                                            std::unique_ptr<asrc_poly_rows>& rows)
{
    if (asrc_poly_stride(ratio) == 256)
        return nullptr;
    if (!rows)
        rows = std::make_unique<asrc_poly_rows>(); // stride 0: filled below
    if (rows->stride != asrc_poly_stride(ratio))
        asrc_poly_rows_init(rows.get(), ratio);
    return rows.get();
}

} // namespace asrc_cli

#endif
