// param_name.h - a test parameter as part of a test's name.  GoogleTest
// takes letters, digits and '_' only, and CTest shows the names on every
// line, so each parameterized suite names its cases with these words
// rather than leaving GoogleTest to print the bytes of the parameter.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace asrc_test {

// "0.01" -> "0_01", "-1e-3" -> "minus1eminus3", "+0.5 " -> "plus0_5_space",
// "" -> "empty"; any other byte as "_xNN".
inline std::string param_name(std::string_view text)
{
    if (text.empty())
        return "empty";
    std::string name;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            name += c;
        } else if (c == '-') {
            name += "minus";
        } else if (c == '+') {
            name += "plus";
        } else if (c == '.') {
            name += '_';
        } else if (c == ' ') {
            name += "_space";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "_x%02X", static_cast<unsigned char>(c));
            name += hex;
        }
    }
    return name;
}

inline std::string param_name(long long number)
{
    return param_name(std::to_string(number));
}

} // namespace asrc_test
