// fuzz_reader.cpp - feeds arbitrary bytes to the program's reader, cut into
// arbitrary pieces, and holds it to the byte-by-byte reference: the same
// numbers in the same order, and the same fault at the same line with the
// same excerpt.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "reader_harness.h"
#include "reference_reader.h"
#include "sample_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first bytes give the piece sizes (up to 4, each 1..256, or a whole
    // buffer for 0); the rest is the text.
    std::vector<std::size_t> pieces;
    std::size_t at = 0;
    const std::size_t npieces = size > 0 ? 1 + data[0] % 4 : 1;
    for (at = 1; at < size && pieces.size() < npieces; ++at)
        pieces.push_back(data[at] == 0 ? asrc_driver::SampleReader::kBufferSize : data[at]);
    if (pieces.empty())
        pieces.push_back(1);
    const std::string text(reinterpret_cast<const char*>(data) + std::min(at, size),
                           size - std::min(at, size));

    const asrc_test::ReferenceRead expected = asrc_test::reference_read(
        text, asrc_driver::SampleReader::kMaxFaultText);
    asrc_test::PieceSource source(text, pieces);
    const auto reader = std::make_unique<asrc_driver::SampleReader>(source); // 64 KiB

    // Both entries, alternating, on the same text.
    const asrc_test::ReadAll got = asrc_test::read_all(*reader, /*mixed=*/true);
    check(got.numbers == expected.numbers);
    check(expected.stop == asrc_test::stop_name(got.stop));
    using R = asrc_driver::SampleReader::Result;
    if (got.stop != R::end) {
        check(reader->fault_line() == expected.line);
        check(std::string(reader->fault_text()) == expected.text);
        check(reader->fault_text_cut() == expected.cut);
    }
    return 0;
}
