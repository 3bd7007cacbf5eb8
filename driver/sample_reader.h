// sample_reader.h - reads the input file's decimal integers, number for number
// as fscanf with "%d" would, but with a line number and the offending text for
// every item that does not form a 32-bit number.
#ifndef ASRC_DRIVER_SAMPLE_READER_H
#define ASRC_DRIVER_SAMPLE_READER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

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
    Result next(std::int32_t* value);

    // 1-based line of the item behind the last fault.
    std::int64_t fault_line() const { return fault_line_; }
    // The start of that item, up to white space, at most kMaxFaultText bytes
    // (raw bytes: the caller escapes what it prints); NUL-terminated.
    const char* fault_text() const { return fault_text_.data(); }
    // True when the item was longer than the excerpt.
    bool fault_text_cut() const { return fault_text_cut_; }

private:
    bool fill();
    void keep(char c);
    Result fail(Result why, std::int64_t line);

    ByteSource& source_;
    std::array<char, kBufferSize> buffer_{};
    const char* pos_ = buffer_.data();
    const char* end_ = buffer_.data();
    std::int64_t line_ = 1;
    bool source_failed_ = false;

    std::int64_t fault_line_ = 0;
    std::array<char, kMaxFaultText + 1> fault_text_{};
    std::size_t fault_len_ = 0;
    bool fault_text_cut_ = false;
};

} // namespace asrc_driver

#endif
