// sample_writer.cpp - the buffered "%d\n" writer.
#include "sample_writer.h"

namespace asrc_driver {

namespace {

// "-32768\n" is the longest line.
constexpr std::size_t kMaxLine = 7;

// Writes v and a line end at p, returns the end.
char* format_line(char* p, std::int32_t v)
{
    if (v < 0) {
        *p++ = '-';
        v = -v; // at least -32768, so the negation cannot overflow
    }
    char digits[5];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10); // a single digit
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *p++ = digits[--n];
    *p++ = '\n';
    return p;
}

} // namespace

bool SampleWriter::drain()
{
    if (!failed_ && used_ > 0 && std::fwrite(buffer_.data(), 1, used_, file_) != used_)
        failed_ = true;
    used_ = 0;
    return !failed_;
}

bool SampleWriter::write(const std::int16_t* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (buffer_.size() - used_ < kMaxLine && !drain())
            return false;
        char* start = buffer_.data() + used_;
        used_ += static_cast<std::size_t>(format_line(start, samples[i]) - start);
    }
    return !failed_;
}

bool SampleWriter::flush()
{
    if (drain() && std::fflush(file_) != 0)
        failed_ = true;
    return !failed_;
}

} // namespace asrc_driver
