// fuzz_reader.cpp - feeds arbitrary bytes to the program's reader, cut into
// arbitrary pieces, and holds it to the byte-by-byte reference: the same
// numbers in the same order, and the same fault at the same line with the
// same excerpt.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "piece_source.h"
#include "reference_reader.h"
#include "sample_reader.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

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
    static asrc_driver::SampleReader* reader = nullptr; // 64 KiB: not on the stack
    delete reader;
    reader = new asrc_driver::SampleReader(source);

    std::vector<std::int32_t> got;
    std::int32_t v = 0;
    asrc_driver::SampleReader::Result r;
    // Alternate the single and the batch entry.
    for (;;) {
        if (got.size() % 2 == 0) {
            r = reader->next(&v);
            if (r != asrc_driver::SampleReader::Result::number)
                break;
            got.push_back(v);
        } else {
            std::int32_t batch[5];
            const std::size_t n = reader->next_many(batch, 5, &r);
            got.insert(got.end(), batch, batch + n);
            if (r != asrc_driver::SampleReader::Result::number)
                break;
        }
    }
    check(got == expected.numbers);
    using R = asrc_driver::SampleReader::Result;
    const char* stop = r == R::end ? "end" : r == R::malformed ? "malformed"
                       : r == R::out_of_range ? "out_of_range" : "read_error";
    check(expected.stop == stop);
    if (r != R::end) {
        check(reader->fault_line() == expected.line);
        check(std::string(reader->fault_text()) == expected.text.substr(0, expected.text.find('\0')));
        check(reader->fault_text_cut() == expected.cut);
    }
    return 0;
}
