// sample_writer.cpp - the buffered "%d\n" writer.
#include "sample_writer.h"

#include <algorithm>
#include <cstring>

namespace asrc_driver {

namespace {

// Every 16-bit sample's line, formatted once: its characters as "%d\n"
// writes them (at most 7, "-32768\n"), and in the eighth byte the length.
// A sample then costs one 8-byte copy instead of a conversion to decimal.
// 512 KiB, made on first use.
using Line = std::array<char, 8>;
constexpr std::size_t kLengthByte = 7;

const std::array<Line, 65536>& line_table()
{
    static const auto table = [] {
        std::array<Line, 65536> t{};
        for (std::int32_t v = -32768; v <= 32767; ++v) {
            Line& line = t[static_cast<std::uint16_t>(v)]; // indexed by the sample's bits
            char digits[5];
            int n = 0;
            std::int32_t u = v < 0 ? -v : v;
            do {
                digits[n++] = static_cast<char>('0' + u % 10); // a single digit
                u /= 10;
            } while (u != 0);
            std::size_t len = 0;
            if (v < 0)
                line[len++] = '-';
            while (n > 0)
                line[len++] = digits[--n];
            line[len++] = '\n';
            line[kLengthByte] = static_cast<char>(len); // at most 7
        }
        return t;
    }();
    return table;
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
    const auto& lines = line_table();
    std::size_t i = 0;
    while (i < count) {
        // A whole Line is copied for every sample, so a whole Line must fit
        // for each of the samples taken in one go.
        std::size_t room = (buffer_.size() - used_) / sizeof(Line);
        if (room == 0) {
            if (!drain())
                return false;
            room = buffer_.size() / sizeof(Line);
        }
        const std::size_t stop = i + std::min(room, count - i);
        char* out = buffer_.data() + used_;
        for (; i < stop; ++i) {
            const Line& line = lines[static_cast<std::uint16_t>(samples[i])]; // the sample's bits
            std::memcpy(out, line.data(), sizeof(Line));
            out += line[kLengthByte];
        }
        used_ = static_cast<std::size_t>(out - buffer_.data());
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
