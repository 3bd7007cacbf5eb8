// escaped.cpp - message-safe text.
#include "escaped.h"

namespace asrc_cli {

std::string escaped(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += byte;
        } else if (c >= 0x20 && c < 0x7F) {
            s += byte;
        } else {
            s += "\\x";
            s += hex[c >> 4];
            s += hex[c & 0xF];
        }
    }
    return s;
}

std::string quoted(std::string_view text)
{
    return '"' + escaped(text) + '"';
}

} // namespace asrc_cli
