// reader_harness.h - drives the program's reader in tests: a byte source
// that hands out a text in pieces of given sizes, as a file read in odd
// amounts would (the reader must give the same numbers whatever the pieces),
// and a loop that reads everything.
#ifndef ASRC_TESTS_READER_HARNESS_H
#define ASRC_TESTS_READER_HARNESS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sample_reader.h"

namespace asrc_test {

class PieceSource final : public asrc_driver::ByteSource {
public:
    // Pieces of `piece` bytes (the last may be shorter).  With fail_at_end,
    // the end of the text is a read error rather than the end of the data.
    PieceSource(std::string text, std::size_t piece, bool fail_at_end = false)
        : PieceSource(std::move(text), std::vector<std::size_t>{piece}, fail_at_end)
    {
    }
    // Pieces of the given sizes in turn, round and round (0 counts as 1).
    PieceSource(std::string text, std::vector<std::size_t> pieces, bool fail_at_end = false)
        : text_(std::move(text)), pieces_(std::move(pieces)), fail_at_end_(fail_at_end)
    {
    }
    std::size_t read(char* dst, std::size_t capacity) override
    {
        const std::size_t piece = std::max<std::size_t>(1, pieces_[next_++ % pieces_.size()]);
        const std::size_t n = std::min({piece, capacity, text_.size() - at_});
        text_.copy(dst, n, at_);
        at_ += n;
        return n;
    }
    bool failed() const override { return fail_at_end_ && at_ == text_.size(); }

private:
    std::string text_;
    std::vector<std::size_t> pieces_;
    std::size_t next_ = 0;
    std::size_t at_ = 0;
    bool fail_at_end_;
};

// Everything a reader gives until it stops, and why it stopped.
struct ReadAll {
    std::vector<std::int32_t> numbers;
    asrc_driver::SampleReader::Result stop;
};

// Alternates next() and next_many() when `mixed`, so that both entries are
// exercised on the same text.
inline ReadAll read_all(asrc_driver::SampleReader& reader, bool mixed = false)
{
    using R = asrc_driver::SampleReader::Result;
    ReadAll all;
    for (;;) {
        if (!mixed || all.numbers.size() % 2 == 0) {
            std::int32_t v = 0;
            all.stop = reader.next(&v);
            if (all.stop != R::number)
                return all;
            all.numbers.push_back(v);
        } else {
            std::int32_t batch[5];
            const std::size_t n = reader.next_many(batch, 5, &all.stop);
            all.numbers.insert(all.numbers.end(), batch, batch + n);
            if (all.stop != R::number)
                return all;
        }
    }
}

// The reference reader's name for a stop.
inline const char* stop_name(asrc_driver::SampleReader::Result r)
{
    using R = asrc_driver::SampleReader::Result;
    return r == R::end ? "end" : r == R::malformed ? "malformed"
           : r == R::out_of_range ? "out_of_range" : r == R::read_error ? "read_error" : "number";
}

} // namespace asrc_test

#endif
