// options.cpp - reads the command line of asrc-audio.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "escaped.h"
#include "rate_offset.h"

namespace asrc_audio {

using asrc_driver::quoted;

namespace {

// The whole text is one number as strtod reads it (also "inf" and "nan":
// they are then refused by whatever reads the value, with its own message).
bool is_number(const char* text)
{
    if (*text == '\0')
        return false;
    char* end = nullptr;
    std::strtod(text, &end);
    return end != text && *end == '\0';
}

std::optional<double> parse_gain(const char* text)
{
    if (!is_number(text))
        return std::nullopt;
    const double db = std::strtod(text, nullptr);
    if (!std::isfinite(db) || std::fabs(db) > kMaxGainDb)
        return std::nullopt;
    return db;
}

// Decimal digits only: a rate is a positive whole number of hertz.
std::optional<int> parse_rate(const char* text)
{
    if (*text == '\0')
        return std::nullopt;
    for (const char* p = text; *p != '\0'; ++p) {
        if (std::isdigit(static_cast<unsigned char>(*p)) == 0)
            return std::nullopt;
    }
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || value < 1 || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

ParsedCommandLine failure(std::string message)
{
    ParsedCommandLine r;
    r.kind = ParsedCommandLine::Kind::error;
    r.message = std::move(message);
    return r;
}

std::string lower(std::string_view text)
{
    std::string s(text);
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace


std::optional<Container> container_for(std::string_view path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    // A name that is only an extension (".wav") names no file of that kind.
    if (dot == std::string_view::npos || dot == 0)
        return std::nullopt;
    const std::string ext = lower(name.substr(dot));
    if (ext == ".wav")
        return Container::wav;
    if (ext == ".flac")
        return Container::flac;
    if (ext == ".aif" || ext == ".aiff")
        return Container::aiff;
    return std::nullopt;
}

ParsedCommandLine parse_command_line(int argc, const char* const* argv)
{
    ParsedCommandLine r;
    std::vector<const char*> positional;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-' || is_number(argv[i])) {
            positional.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            r.kind = ParsedCommandLine::Kind::help;
            return r;
        }
        if (arg == "-q" || arg == "--quiet") {
            r.options.quiet = true;
            continue;
        }
        // --gain DB, --gain=DB, --rate HZ, --rate=HZ
        const std::size_t eq = arg.find('=');
        const std::string name(arg.substr(0, eq));
        if (name != "--gain" && name != "--rate")
            return failure("unknown option " + quoted(arg));
        const char* value = nullptr;
        if (eq != std::string_view::npos) {
            value = argv[i] + eq + 1;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return failure(name + " needs a value");
        }
        if (name == "--gain") {
            const std::optional<double> db = parse_gain(value);
            if (!db)
                return failure("invalid gain " + quoted(value) +
                               ": expected a number of dB from -100 to 100");
            r.options.gain_db = *db;
        } else {
            const std::optional<int> rate = parse_rate(value);
            if (!rate)
                return failure("invalid rate " + quoted(value) +
                               ": expected a whole number of hertz, 1 or more");
            r.options.rate = *rate;
        }
    }

    if (positional.size() != 3)
        return failure(positional.size() < 3 ? "expected RATE_OFFSET INPUT OUTPUT"
                                             : "too many arguments");
    const std::optional<std::int16_t> step = asrc_driver::parse_rate_offset(positional[0]);
    if (!step)
        return failure(asrc_driver::invalid_rate_offset_message(positional[0]));
    r.options.step = *step;
    r.options.input = positional[1];
    r.options.output = positional[2];
    if (r.options.input.empty() || r.options.output.empty())
        return failure("empty file name");
    const std::optional<Container> container = container_for(r.options.output);
    if (!container)
        return failure("cannot tell the output format from " + quoted(r.options.output) +
                       ": its name must end in " + kOutputExtensions);
    r.options.container = *container;
    r.kind = ParsedCommandLine::Kind::run;
    return r;
}

std::string usage_text()
{
    return std::string(
               "Usage: asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT\n"
               "Converts the audio file INPUT (any file libsndfile reads: WAV, FLAC, AIFF, ...;\n"
               "any number of channels, any sample format) with the fixed-point converter,\n"
               "moving its phase by trunc(16384 * RATE_OFFSET) per sample, and writes 16-bit\n"
               "PCM to OUTPUT in the container its extension names (") +
           kOutputExtensions +
           ").\n"
           "RATE_OFFSET is " +
           asrc_driver::kRateOffsetRange +
           "; a negative\n"
           "offset such as -0.01 is read as the offset, not as an option.\n"
           "\n"
           "Options:\n"
           "  --rate HZ    sample rate written in OUTPUT's header (default: INPUT's rate)\n"
           "  --gain DB    gain applied before the conversion, -100 to 100 dB (default 0);\n"
           "               loud input may wrap around in the converter: try --gain -3\n"
           "  -q, --quiet  no progress and no summary line\n"
           "  -h, --help   this text\n"
           "  --           ends the options\n"
           "\n"
           "Exit status: 0 done, 1 a file could not be read or written, 2 bad command line.\n";
}

} // namespace asrc_audio
