// reference_reader.h - what fscanf("%d") makes of a text, written out byte
// by byte with no buffer: the yardstick for the program's reader.
#ifndef ASRC_TESTS_REFERENCE_READER_H
#define ASRC_TESTS_REFERENCE_READER_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace asrc_test {

struct ReferenceRead {
    std::vector<std::int32_t> numbers;
    // How the text ends: "end", "malformed" or "out_of_range", and for a
    // fault its 1-based line.
    std::string stop;
    std::int64_t line = 0;
    // For a fault: the item from its first byte (a sign included) up to
    // white space, or for a number out of range its sign and digits; at
    // most `limit` bytes, `cut` when there were more.
    std::string text;
    bool cut = false;
};

inline ReferenceRead reference_read(const std::string& text, std::size_t limit = 40)
{
    auto space = [](unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); };
    auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    ReferenceRead r;
    std::size_t i = 0;
    std::int64_t line = 1;
    for (;;) {
        while (i < text.size() && space(static_cast<unsigned char>(text[i]))) {
            line += text[i] == '\n';
            ++i;
        }
        if (i == text.size()) {
            r.stop = "end";
            return r;
        }
        r.line = line;
        const std::size_t start = i;
        auto excerpt = [&](std::size_t end) {
            r.text = text.substr(start, std::min(end - start, limit));
            r.cut = end - start > limit;
        };
        if (text[i] == '\x1A' &&
            std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i) + 1, text.end(),
                        [&](char c) { return space(static_cast<unsigned char>(c)); })) {
            r.stop = "end"; // Ctrl-Z, then only white space: the end mark
            return r;
        }
        bool negative = false;
        if (text[i] == '+' || text[i] == '-')
            negative = text[i++] == '-';
        if (i == text.size() || !digit(static_cast<unsigned char>(text[i]))) {
            r.stop = "malformed";
            std::size_t end = i;
            while (end < text.size() && !space(static_cast<unsigned char>(text[end])))
                ++end;
            excerpt(end);
            return r;
        }
        long double magnitude = 0; // exact far past 2^31 for the check below
        while (i < text.size() && digit(static_cast<unsigned char>(text[i]))) {
            magnitude = magnitude * 10 + (text[i] - '0');
            if (magnitude > 1e12L)
                magnitude = 1e12L;
            ++i;
        }
        const long double v = negative ? -magnitude : magnitude;
        if (v < -2147483648.0L || v > 2147483647.0L) {
            r.stop = "out_of_range";
            excerpt(i);
            return r;
        }
        r.numbers.push_back(static_cast<std::int32_t>(v));
    }
}

} // namespace asrc_test

#endif
