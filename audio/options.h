// options.h - the command line of asrc-audio.
#ifndef ASRC_AUDIO_OPTIONS_H
#define ASRC_AUDIO_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "depth.h"

namespace asrc_audio {

// The containers the output can be written in, named by OUTPUT's extension.
enum class Container { wav, flac, aiff };

// For messages: the extensions accepted.
inline constexpr const char* kOutputExtensions = ".wav, .flac, .aif or .aiff";

// The gain accepted by --gain, in dB.  Beyond it the factor would either
// silence everything or overflow the 24-bit arithmetic.
inline constexpr double kMaxGainDb = 100.0;

// The converter: the polyphase converter for 24- and 32-bit audio
// (asrc_q31.h: any ratio from 1/25 to 25, 140 dB SINAD, saturates), the
// default; or the drop/insert rule of asrc (a phase step, coarse ratios,
// wraps, 16-bit output), which reproduces asrc.
enum class ConverterKind { rule, poly };

// The range of RATE_OFFSET the polyphase converter takes: its ratio
// 1 / (1 - offset) must lie from 1/25 to 25, and the offset must be one
// the rule could read too (from -2.0).
inline constexpr double kPolyOffsetMin = -2.0;
inline constexpr double kPolyOffsetMax = 0.96;

struct Options {
    ConverterKind converter = ConverterKind::poly;
    std::int16_t step = 0;      // rule: the phase step of RATE_OFFSET
    double offset = 0.0;        // with RATE_OFFSET: its value
    std::string offset_text;    // with RATE_OFFSET: as given, for messages
    std::optional<int> to;      // poly: the output rate (--to), instead of RATE_OFFSET
    std::optional<int> rate;    // header rate; the input's (offset) or --to's when absent
    std::optional<Depth> depth; // --bits; the input's when absent
    bool dither = true;         // --no-dither: round instead
    double gain_db = 0.0;
    bool quiet = false;
    std::string input;
    std::string output;
    Container container = Container::wav;
    // A batch (--out-dir): every input is converted into out_dir, each
    // output named as its input, with the input's extension where it is
    // one of kOutputExtensions and .wav otherwise.
    std::vector<std::string> inputs;
    std::optional<std::string> out_dir;
};

struct ParsedCommandLine {
    enum class Kind { run, help, version, error };
    Kind kind = Kind::error;
    Options options;     // meaningful for run
    std::string message; // for error: what was wrong, one line
};

// Reads `asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT`, or with --to HZ
// `asrc-audio [OPTIONS] --to HZ INPUT OUTPUT` (which needs the polyphase
// converter), or a batch: `asrc-audio [OPTIONS] (--to HZ | RATE_OFFSET)
// INPUT... --out-dir DIR`.  An argument that is
// a number as a whole (strtod) is positional even when it starts with '-',
// so that a negative offset is never taken for an option; `--` ends the
// options.  Option values may follow as the next argument or after '='.
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

// The container OUTPUT's extension names, case-insensitively.
std::optional<Container> container_for(std::string_view path);

// The name of a batch's output for `input` in `dir`.
std::string batch_output_name(const std::string& dir, const std::string& input);

// The text of --help.
std::string usage_text();

// The text of --version.
std::string version_text();

} // namespace asrc_audio

#endif
