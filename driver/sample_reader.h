// sample_reader.h - reads the input file's decimal integers, number for number
// as fscanf with "%d" would, but with a line number and the offending text for
// every item that does not form a 32-bit number.
#ifndef ASRC_DRIVER_SAMPLE_READER_H
#define ASRC_DRIVER_SAMPLE_READER_H

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace asrc_driver {

// Where the reader's bytes come from.  read() may return fewer bytes than
// asked for (any piece size, down to 1, must give the same numbers); it
// returns 0 only at the end of the data or on an error, which failed() then
// tells apart.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t read(char* dst, std::size_t capacity) = 0;
    virtual bool failed() const = 0;
};

// A stdio stream, opened by the caller in binary mode, so that every platform
// reads the same bytes (CR is white space to the reader, so CR LF and LF
// files read alike, and a Ctrl-Z byte does not end a Windows stream early).
class FileSource final : public ByteSource {
public:
    explicit FileSource(std::FILE* file) : file_(file) {}
    std::size_t read(char* dst, std::size_t capacity) override;
    bool failed() const override;

private:
    std::FILE* file_;
};

class SampleReader {
public:
    enum class Result {
        number,       // *value holds the next number
        end,          // only white space was left
        malformed,    // an item that is not a sign and digits: fault_text()
        out_of_range, // a number outside -2147483648..2147483647
        read_error,   // the source failed
    };

    static constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
    // The longest excerpt of a bad item kept for the message.
    static constexpr std::size_t kMaxFaultText = 40;

    explicit SampleReader(ByteSource& source) : source_(source) {}
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;

    // Reads the next number: skips white space (space, \t, \n, \v, \f, \r),
    // then takes an optional sign and one or more digits, and stops right
    // after the last digit, so "12-5" gives 12 and then -5.  A Ctrl-Z byte
    // (0x1A) followed by nothing but white space is the end of the input,
    // as old editors mark it.  Anything else is a fault; after a fault the
    // reader is not to be used again.
    // Inline: the common case never leaves the caller's loop.
    Result next(std::int32_t* value);

    // Reads up to count numbers into values, as count calls of next()
    // would, and returns how many it read; *stop is `number` when it read
    // them all, else the result of the read that stopped it.
    std::size_t next_many(std::int32_t* values, std::size_t count, Result* stop);

    // 1-based line of the item behind the last fault.
    std::int64_t fault_line() const { return fault_line_; }
    // The start of that item, up to white space, at most kMaxFaultText bytes
    // (raw bytes, NUL bytes included: the caller escapes what it prints).
    std::string_view fault_text() const { return {fault_text_.data(), fault_len_}; }
    // True when the item was longer than the excerpt.
    bool fault_text_cut() const { return fault_text_cut_; }

private:
    // The white space of the C locale, as isspace() and so "%d" know it.
    static constexpr bool is_space(unsigned char c)
    {
        return c == ' ' || (c >= '\t' && c <= '\r');
    }
    static constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

    // The value of 8 decimal digits, one per byte (0..9), the most
    // significant in the lowest byte: pairs, then quads, then all eight.
    static std::uint64_t eight_digits(std::uint64_t v)
    {
        v = v * 10 + (v >> 8);
        return (((v & 0x000000FF000000FFu) * 0x000F424000000064u) +
                (((v >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
               32;
    }

    // The common case: an item wholly inside the buffer, at most ten digits,
    // in range.  Skips white space from pos (counting lines), then takes the
    // number and moves pos past it; otherwise leaves pos at the item and
    // returns false.
    bool take(const char*& pos, std::int64_t& line, std::int32_t* value) const;
    Result next_slow(std::int32_t* value);
    bool fill();
    void keep(char c);
    Result fail(Result why, std::int64_t line);

    ByteSource& source_;
    // The byte after the data is a NUL, which is neither space nor digit,
    // so the scans of next() stop at the end of the data without a bounds
    // test; eight more bytes let next() load a word from any position up to
    // that NUL and look at the byte after it.
    static constexpr std::size_t kSlack = 9;
    std::array<char, kBufferSize + kSlack> buffer_{};
    const char* pos_ = buffer_.data();
    const char* end_ = buffer_.data();
    std::int64_t line_ = 1;
    bool source_failed_ = false;

    std::int64_t fault_line_ = 0;
    std::array<char, kMaxFaultText> fault_text_{};
    std::size_t fault_len_ = 0;
    bool fault_text_cut_ = false;
};

inline bool SampleReader::take(const char*& pos, std::int64_t& line, std::int32_t* value) const
{
    const char* p = pos;
    unsigned char c;
    while (is_space(c = static_cast<unsigned char>(*p))) {
        line += c == '\n';
        ++p;
    }
    pos = p;

    const bool negative = c == '-';
    if constexpr (std::endian::native == std::endian::little) {
        // The item's first 8 bytes in one word.  The numbers of a file form
        // a chain through their positions, so the length of this one is
        // found in a few word operations on the word alone; whether the
        // item is a number is settled beside that chain.
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        // The item ends at the first byte below '0' after its first byte
        // (white space, a sign, the NUL after the data).  Exact when byte 0
        // is a digit.  A sign in byte 0 borrows from byte 1, so that a '0'
        // right after a sign looks like an end as well: such items merely go
        // the careful way, since the checks below then see no digit.
        const std::uint64_t below =
            (w - 0x3030303030303030u) & ~w & 0x8080808080808080u & ~std::uint64_t{0x80};
        const int n = std::countr_zero(below) / 8; // 1..8: byte 0 is never flagged
        // Byte 0 is a digit or a sign, and no byte before the end lies above
        // '9'; a carry out of a byte here comes only from a flagged byte.
        const bool sign = c == '-' || c == '+';
        const std::uint64_t above = ((w + 0x4646464646464646u) | w) & 0x8080808080808080u;
        const std::uint64_t first_n = ~std::uint64_t{0} >> (64 - 8 * n);
        // One to eight characters with at least one digit, ending inside
        // the buffer and not running on into a ninth digit: a whole number
        // below 10^8, in range by construction.
        if ((is_digit(c) || (sign && n > 1)) && (above & first_n) == 0 && p + n != end_ &&
            (n < 8 || !is_digit(static_cast<unsigned char>(p[8])))) {
            // The sign, if any, counts as a leading zero.
            const std::uint64_t digits = w & ~(std::uint64_t{0xFF} * std::uint64_t{sign});
            const auto m = static_cast<std::int32_t>(
                eight_digits((digits & 0x0F0F0F0F0F0F0F0Fu) << (64 - 8 * n))); // < 10^8
            *value = negative ? -m : m;
            pos = p + n;
            return true;
        }
    }

    const char* digits = p + (c == '-' || c == '+');
    const char* q = digits;
    std::uint64_t magnitude = 0;
    while (is_digit(c = static_cast<unsigned char>(*q))) {
        magnitude = magnitude * 10 + (c - '0');
        ++q;
    }
    // Stopped short of the end of the buffer, so the item is complete; at
    // most ten digits, so the magnitude is exact.  Everything else (the end
    // of the buffer, a fault, leading zeros past ten digits) takes the
    // careful way.
    if (q == digits || q == end_ || q - digits > 10 ||
        magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu))
        return false;
    pos = q;
    const auto m = static_cast<std::int64_t>(magnitude);
    *value = static_cast<std::int32_t>(negative ? -m : m); // in range, checked above
    return true;
}

inline SampleReader::Result SampleReader::next(std::int32_t* value)
{
    const char* p = pos_;
    std::int64_t line = line_;
    const bool taken = take(p, line, value);
    pos_ = p;
    line_ = line;
    return taken ? Result::number : next_slow(value);
}

inline std::size_t SampleReader::next_many(std::int32_t* values, std::size_t count, Result* stop)
{
    // The position and the line count stay in registers between numbers.
    const char* p = pos_;
    std::int64_t line = line_;
    std::size_t i = 0;
    for (; i < count; ++i) {
        if (take(p, line, values + i))
            continue;
        pos_ = p;
        line_ = line;
        const Result r = next_slow(values + i);
        if (r != Result::number) {
            *stop = r;
            return i;
        }
        p = pos_;
        line = line_;
    }
    pos_ = p;
    line_ = line;
    *stop = Result::number;
    return i;
}

} // namespace asrc_driver

#endif
