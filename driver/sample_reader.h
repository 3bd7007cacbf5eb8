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

// A stdio stream, opened by the caller (in text mode, so that the C library
// maps the platform's line ends to '\n').
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

    static constexpr std::size_t kBufferSize = 64 * 1024;
    // The longest excerpt of a bad item kept for the message.
    static constexpr std::size_t kMaxFaultText = 40;

    explicit SampleReader(ByteSource& source) : source_(source) {}
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;

    // Reads the next number: skips white space (space, \t, \n, \v, \f, \r),
    // then takes an optional sign and one or more digits, and stops right
    // after the last digit, so "12-5" gives 12 and then -5.  Anything else
    // is a fault; after a fault the reader is not to be used again.
    // Inline: the common case never leaves the caller's loop.
    Result next(std::int32_t* value);

    // Reads up to count numbers into values, as count calls of next()
    // would, and returns how many it read; *stop is `number` when it read
    // them all, else the result of the read that stopped it.
    std::size_t next_many(std::int32_t* values, std::size_t count, Result* stop);

    // 1-based line of the item behind the last fault.
    std::int64_t fault_line() const { return fault_line_; }
    // The start of that item, up to white space, at most kMaxFaultText bytes
    // (raw bytes: the caller escapes what it prints); NUL-terminated.
    const char* fault_text() const { return fault_text_.data(); }
    // True when the item was longer than the excerpt.
    bool fault_text_cut() const { return fault_text_cut_; }

private:
    // The white space of the C locale, as isspace() and so "%d" know it.
    static constexpr bool is_space(unsigned char c)
    {
        return c == ' ' || (c >= '\t' && c <= '\r');
    }
    static constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

    // How many of the 8 bytes of a little-endian chunk, from the first, are
    // ASCII digits.
    static int digit_run(std::uint64_t chunk)
    {
        constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0u;
        constexpr std::uint64_t zeros = 0x3030303030303030u;
        // A byte is a digit when its high nibble is 3, before and after
        // adding 6.  A carry out of a byte can only come from a non-digit
        // byte, so it never spoils the bytes before the first non-digit.
        const std::uint64_t other =
            ((chunk & high) ^ zeros) | (((chunk + 0x0606060606060606u) & high) ^ zeros);
        return std::countr_zero(other) / 8;
    }
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
    // test; seven more bytes let next() load 8 bytes from any position up to
    // that NUL.
    static constexpr std::size_t kSlack = 8;
    std::array<char, kBufferSize + kSlack> buffer_{};
    const char* pos_ = buffer_.data();
    const char* end_ = buffer_.data();
    std::int64_t line_ = 1;
    bool source_failed_ = false;

    std::int64_t fault_line_ = 0;
    std::array<char, kMaxFaultText + 1> fault_text_{};
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
    const char* digits = p + (c == '-' || c == '+');
    std::uint64_t magnitude = 0;
    const char* q = digits;
    if constexpr (std::endian::native == std::endian::little) {
        // Up to eight digits at once: find where the digits end in the next
        // 8 bytes, then combine them in one 64-bit word.
        std::uint64_t chunk;
        std::memcpy(&chunk, digits, sizeof chunk);
        const int n = digit_run(chunk);
        if (n == 0)
            return false;
        magnitude = eight_digits((chunk & 0x0F0F0F0F0F0F0F0Fu) << (64 - 8 * n));
        q = digits + n;
        // One to seven digits followed, inside the buffer, by something
        // else: a whole number below 10^7, in range by construction.
        if (n < 8 && q != end_) {
            pos = q;
            const auto m = static_cast<std::int32_t>(magnitude); // < 10^7
            *value = negative ? -m : m;
            return true;
        }
    }
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
