// sample_reader.cpp - the buffered "%d" reader.
#include "sample_reader.h"

namespace asrc_driver {

std::size_t FileSource::read(char* dst, std::size_t capacity)
{
    return std::fread(dst, 1, capacity, file_);
}

bool FileSource::failed() const
{
    return std::ferror(file_) != 0;
}

namespace {

// 2^31, the magnitude of the most negative 32-bit number.
constexpr std::uint64_t kLimit = std::uint64_t{1} << 31;

// Ctrl-Z, the end-of-file mark of old DOS and Windows editors.
constexpr unsigned char kEndOfFileMark = 0x1A;

} // namespace

// Refills the buffer once the previous contents are all used.  Returns false
// at the end of the data or on an error (source_failed_ says which).
bool SampleReader::fill()
{
    if (source_failed_)
        return false;
    const std::size_t got = source_.read(buffer_.data(), kBufferSize);
    if (got == 0) {
        source_failed_ = source_.failed();
        return false;
    }
    pos_ = buffer_.data();
    end_ = buffer_.data() + got;
    buffer_[got] = '\0';
    return true;
}

void SampleReader::keep(char c)
{
    if (fault_len_ < kMaxFaultText)
        fault_text_[fault_len_++] = c;
    else
        fault_text_cut_ = true;
}

SampleReader::Result SampleReader::fail(Result why, std::int64_t line)
{
    fault_line_ = line;
    return why;
}

// Byte by byte, across refills: for items that next() cannot take whole
// from the buffer, and for every fault.
SampleReader::Result SampleReader::next_slow(std::int32_t* value)
{
    // White space, counting line ends.
    for (;;) {
        if (pos_ == end_ && !fill())
            return source_failed_ ? Result::read_error : Result::end;
        const auto c = static_cast<unsigned char>(*pos_);
        if (!is_space(c))
            break;
        if (c == '\n')
            ++line_;
        ++pos_;
    }

    const std::int64_t line = line_;
    fault_len_ = 0;
    fault_text_cut_ = false;

    bool negative = false;
    auto c = static_cast<unsigned char>(*pos_);
    if (c == '+' || c == '-') {
        negative = c == '-';
        keep(*pos_++);
        if (pos_ == end_ && !fill())
            return source_failed_ ? Result::read_error : fail(Result::malformed, line);
        c = static_cast<unsigned char>(*pos_);
    }

    if (c == kEndOfFileMark && fault_len_ == 0) {
        // Old editors end a text file with Ctrl-Z.  Alone and followed by
        // nothing but white space it is the end of the input; anywhere else
        // it is an item that is not a number, so that a damaged file is
        // never cut short in silence.
        keep(*pos_++);
        if (pos_ == end_ && !fill())
            return source_failed_ ? Result::read_error : Result::end;
        if (is_space(static_cast<unsigned char>(*pos_))) {
            do {
                ++pos_;
                if (pos_ == end_ && !fill())
                    return source_failed_ ? Result::read_error : Result::end;
            } while (is_space(static_cast<unsigned char>(*pos_)));
            return fail(Result::malformed, line);
        }
        // Bytes run on from the mark: the item is collected below.
    }

    if (!is_digit(c)) {
        // Not a number: collect the item, up to white space, for the message.
        while (!is_space(static_cast<unsigned char>(*pos_))) {
            keep(*pos_++);
            if (fault_text_cut_ || (pos_ == end_ && !fill()))
                break;
        }
        if (source_failed_)
            return Result::read_error;
        return fail(Result::malformed, line);
    }

    // Digits, as many as there are (leading zeros included); the magnitude
    // saturates just above 2^31 so that it cannot overflow.
    std::uint64_t magnitude = 0;
    for (;;) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > kLimit)
            magnitude = kLimit + 1;
        keep(*pos_++);
        if (pos_ == end_ && !fill())
            break;
        c = static_cast<unsigned char>(*pos_);
        if (!is_digit(c))
            break;
    }
    if (source_failed_)
        return Result::read_error;
    if (magnitude > kLimit || (magnitude == kLimit && !negative))
        return fail(Result::out_of_range, line);

    // magnitude <= 2^31 here; the negation of 2^31 is -2^31, exactly in range.
    const auto m = static_cast<std::int64_t>(magnitude);
    *value = static_cast<std::int32_t>(negative ? -m : m);
    return Result::number;
}

} // namespace asrc_driver
