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

struct Options {
    std::int16_t step = 0;
    std::optional<int> rate; // header rate; the input's when absent
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

// Reads `asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT`.  An argument that is
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
