// options.h - the command line of asrc-audio.
#ifndef ASRC_AUDIO_OPTIONS_H
#define ASRC_AUDIO_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace asrc_audio {

// The containers the output can be written in, named by OUTPUT's extension.
enum class Container { wav, flac, aiff };

// For messages: the extensions accepted.
inline constexpr const char* kOutputExtensions = ".wav, .flac, .aif or .aiff";

// The gain accepted by --gain, in dB.  Beyond it the factor would either
// silence everything or overflow the 24-bit arithmetic.
inline constexpr double kMaxGainDb = 100.0;

// The converter: the drop/insert rule of asrc (a phase step, coarse ratios,
// wraps) or the polyphase converter (any ratio from 0.5 to 2 in Q2.30,
// transparent in 16 bits, saturates).
enum class ConverterKind { rule, poly };

// The range of RATE_OFFSET the polyphase converter takes: its ratio
// 1 / (1 - offset) must lie from 0.5 to 2.
inline constexpr double kPolyOffsetMin = -1.0;
inline constexpr double kPolyOffsetMax = 0.5;

struct Options {
    ConverterKind converter = ConverterKind::rule;
    std::int16_t step = 0;      // rule: the phase step of RATE_OFFSET
    double offset = 0.0;        // poly with RATE_OFFSET: its value
    std::optional<int> to;      // poly: the output rate (--to), instead of RATE_OFFSET
    std::optional<int> rate; // header rate; the input's (rule) or the output's (poly) when absent
    double gain_db = 0.0;
    bool quiet = false;
    std::string input;
    std::string output;
    Container container = Container::wav;
};

struct ParsedCommandLine {
    enum class Kind { run, help, error };
    Kind kind = Kind::error;
    Options options;     // meaningful for run
    std::string message; // for error: what was wrong, one line
};

// Reads `asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT`, or with --to HZ
// `asrc-audio [OPTIONS] --to HZ INPUT OUTPUT` (which implies the polyphase
// converter).  An argument that is
// a number as a whole (strtod) is positional even when it starts with '-',
// so that a negative offset is never taken for an option; `--` ends the
// options.  Option values may follow as the next argument or after '='.
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

// The container OUTPUT's extension names, case-insensitively.
std::optional<Container> container_for(std::string_view path);

// The text of --help.
std::string usage_text();

} // namespace asrc_audio

#endif
