// escaped.h - raw bytes (file contents, arguments, file names) made safe to
// show in a message, so that none can play tricks on the terminal.
#ifndef ASRC_CLI_ESCAPED_H
#define ASRC_CLI_ESCAPED_H

#include <string>
#include <string_view>

namespace asrc_cli {

// Printable ASCII as it is, quotes and backslashes escaped with a backslash,
// every other byte (NUL included) as \xNN.
std::string escaped(std::string_view text);

// The same in double quotes.
std::string quoted(std::string_view text);

} // namespace asrc_cli

#endif
