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

namespace {

// INPUT and OUTPUT, and the container OUTPUT's name asks for.
ParsedCommandLine finish_files(ParsedCommandLine r, const char* input, const char* output)
{
    r.options.input = input;
    r.options.output = output;
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
    std::optional<ConverterKind> converter; // rule when not given
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
        // --gain DB, --rate HZ, --to HZ, --converter NAME, each also NAME=VALUE
        const std::size_t eq = arg.find('=');
        const std::string name(arg.substr(0, eq));
        if (name != "--gain" && name != "--rate" && name != "--to" && name != "--converter")
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
        } else if (name == "--converter") {
            if (std::string_view(value) == "rule")
                converter = ConverterKind::rule;
            else if (std::string_view(value) == "poly")
                converter = ConverterKind::poly;
            else
                return failure("invalid converter " + quoted(value) + ": expected rule or poly");
        } else {
            const std::optional<int> rate = parse_rate(value);
            if (!rate)
                return failure("invalid " + std::string(name == "--to" ? "output " : "") +
                               "rate " + quoted(value) +
                               ": expected a whole number of hertz, 1 or more");
            (name == "--to" ? r.options.to : r.options.rate) = *rate;
        }
    }

    if (r.options.to) {
        // The output rate replaces RATE_OFFSET and needs a converter that
        // can take any ratio.
        if (converter == ConverterKind::rule)
            return failure("--to needs the polyphase converter: the rule converter only moves "
                           "the rate by a step (leave out --converter rule)");
        if (positional.size() != 2)
            return failure(positional.size() < 2 ? "expected --to HZ INPUT OUTPUT"
                                                 : "too many arguments: with --to, give INPUT "
                                                   "OUTPUT and no RATE_OFFSET");
        r.options.converter = ConverterKind::poly;
        return finish_files(r, positional[0], positional[1]);
    }

    if (positional.size() != 3)
        return failure(positional.size() < 3 ? "expected RATE_OFFSET INPUT OUTPUT"
                                             : "too many arguments");
    // The offset is read by the program's own rule either way, so that both
    // converters take and refuse the same texts; the polyphase converter
    // then takes its value, within the range its ratio allows.
    const std::optional<std::int16_t> step = asrc_driver::parse_rate_offset(positional[0]);
    if (!step)
        return failure(asrc_driver::invalid_rate_offset_message(positional[0]));
    r.options.step = *step;
    r.options.converter = converter.value_or(ConverterKind::rule);
    if (r.options.converter == ConverterKind::poly) {
        const double offset = std::strtod(positional[0], nullptr);
        if (offset < kPolyOffsetMin || offset > kPolyOffsetMax)
            return failure("rate offset " + quoted(positional[0]) +
                           " is outside what the polyphase converter takes: from -1.0 to 0.5 "
                           "(output rate from twice to half the input rate)");
        r.options.offset = offset;
    }
    return finish_files(r, positional[1], positional[2]);
}

std::string usage_text()
{
    return std::string(
               "Usage: asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT\n"
               "       asrc-audio [OPTIONS] --to HZ INPUT OUTPUT\n"
               "Converts the audio file INPUT (any file libsndfile reads: WAV, FLAC, AIFF, ...;\n"
               "any number of channels, any sample format), every channel through its own\n"
               "converter, and writes 16-bit PCM to OUTPUT in the container its extension names\n"
               "(") +
           kOutputExtensions +
           ").\n"
           "RATE_OFFSET is " +
           asrc_driver::kRateOffsetRange +
           "; a negative\n"
           "offset such as -0.01 is read as the offset, not as an option.  The output rate\n"
           "is the input rate times (1 - RATE_OFFSET).\n"
           "\n"
           "Converters (--converter):\n"
           "  rule   the default: the first-order allpass that drops or inserts a sample,\n"
           "         its phase moved by trunc(16384 * RATE_OFFSET) per sample.  Cheap and\n"
           "         bit-exact with asrc, but 43 dB SINAD at 1 kHz, ratios in coarse steps\n"
           "         (0.01 gives 0.990099), and loud input may wrap around.  Choose it to\n"
           "         reproduce asrc or a device that runs it.\n"
           "  poly   the polyphase converter: any ratio from 0.5 to 2 to 2^-30, 90 dB SINAD\n"
           "         or better (transparent in 16 bits), output k aligned with input time\n"
           "         k * ratio, filter delay compensated, clipping counted, never wrapped.\n"
           "         Choose it to change a recording's rate.  RATE_OFFSET from -1.0 to 0.5.\n"
           "\n"
           "Options:\n"
           "  --to HZ          output rate: converts INPUT's rate to HZ (implies poly; no\n"
           "                   RATE_OFFSET then), e.g. --to 48000 for a 44.1 kHz file\n"
           "  --converter C    rule (default) or poly\n"
           "  --rate HZ        sample rate written in OUTPUT's header (default: INPUT's rate\n"
           "                   with rule, the output rate with poly)\n"
           "  --gain DB        gain applied before the conversion, -100 to 100 dB (default\n"
           "                   0); loud input may wrap around in the rule converter or clip\n"
           "                   in poly: try --gain -3\n"
           "  -q, --quiet      no progress and no summary line\n"
           "  -h, --help       this text\n"
           "  --               ends the options\n"
           "\n"
           "Exit status: 0 done, 1 a file could not be read or written, 2 bad command line\n"
           "(or a ratio outside 0.5..2 for INPUT's rate).\n";
}

} // namespace asrc_audio
