// options.cpp - reads the command line of asrc-audio.
#include "options.h"

#include <sndfile.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "escaped.h"
#include "rate_offset.h"

namespace asrc_audio {

using asrc_cli::quoted;

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

std::string batch_output_name(const std::string& dir, const std::string& input)
{
    const std::size_t slash = input.find_last_of('/');
    std::string name = slash == std::string::npos ? input : input.substr(slash + 1);
    if (!container_for(name)) {
        const std::size_t dot = name.find_last_of('.');
        if (dot != std::string::npos && dot != 0)
            name.erase(dot);
        name += ".wav";
    }
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

namespace {

// The options that take a value, each also as NAME=VALUE.
bool takes_value(std::string_view name)
{
    return name == "--gain" || name == "--rate" || name == "--to" || name == "--converter" ||
           name == "--bits" || name == "--out-dir";
}

// RATE_OFFSET, read by the program's own rule for both converters, so that
// both take and refuse the same texts; the polyphase converter then takes
// its value within the range its ratio allows.
std::optional<std::string> read_offset(Options& o, const char* text)
{
    const std::optional<std::int16_t> step = asrc_cli::parse_rate_offset(text);
    if (!step)
        return asrc_cli::invalid_rate_offset_message(text);
    o.step = *step;
    o.offset = std::strtod(text, nullptr);
    o.offset_text = text;
    if (o.converter == ConverterKind::poly && (o.offset < kPolyOffsetMin || o.offset > kPolyOffsetMax))
        return "rate offset " + quoted(text) +
               " is outside what the polyphase converter takes: from -2.0 to 0.96 (output "
               "rate from 3 times to 1/25 of the input rate; use --to HZ for other rates)";
    return std::nullopt;
}

} // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv)
{
    ParsedCommandLine r;
    std::vector<const char*> positional;
    bool options_ended = false;
    std::optional<ConverterKind> converter; // poly when not given
    bool dither_given = false;
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
        if (arg == "--version") {
            r.kind = ParsedCommandLine::Kind::version;
            return r;
        }
        if (arg == "-q" || arg == "--quiet") {
            r.options.quiet = true;
            continue;
        }
        if (arg == "--no-dither") {
            r.options.dither = false;
            dither_given = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name(arg.substr(0, eq));
        if (!takes_value(name))
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
                return failure("invalid converter " + quoted(value) + ": expected poly or rule");
        } else if (name == "--bits") {
            r.options.depth = parse_depth(value);
            if (!r.options.depth)
                return failure("invalid --bits " + quoted(value) + ": expected 16, 24, 32 or float");
        } else if (name == "--out-dir") {
            r.options.out_dir = value;
            if (r.options.out_dir->empty())
                return failure("empty --out-dir");
        } else {
            const std::optional<int> rate = parse_rate(value);
            if (!rate)
                return failure("invalid " + std::string(name == "--to" ? "output " : "") +
                               "rate " + quoted(value) +
                               ": expected a whole number of hertz, 1 or more");
            (name == "--to" ? r.options.to : r.options.rate) = *rate;
        }
    }

    r.options.converter = converter.value_or(ConverterKind::poly);
    if (r.options.converter == ConverterKind::rule) {
        // The rule is there to reproduce asrc, numbers and all.
        if (r.options.to)
            return failure("--to needs the polyphase converter: the rule converter only moves "
                           "the rate by a step (leave out --converter rule)");
        if (r.options.depth && *r.options.depth != Depth::pcm16)
            return failure("the rule converter writes 16-bit samples, as asrc does: leave out "
                           "--bits, or leave out --converter rule");
        if (dither_given)
            return failure("the rule converter truncates as asrc does: --no-dither needs the "
                           "polyphase converter (leave out --converter rule)");
    }

    // The offset, if any, comes first; then the files.
    std::size_t next = 0;
    if (!r.options.to) {
        if (positional.empty())
            return failure("expected RATE_OFFSET INPUT OUTPUT, or --to HZ INPUT OUTPUT");
        if (const auto message = read_offset(r.options, positional[0]))
            return failure(*message);
        next = 1;
    }
    if (r.options.out_dir) {
        if (positional.size() <= next)
            return failure("expected one or more INPUT files before --out-dir");
        r.options.inputs.assign(positional.begin() + static_cast<std::ptrdiff_t>(next), positional.end());
        for (const std::string& in : r.options.inputs)
            if (in.empty())
                return failure("empty file name");
        r.kind = ParsedCommandLine::Kind::run;
        return r;
    }
    if (positional.size() != next + 2) {
        if (positional.size() > next + 2)
            return failure(r.options.to ? "too many arguments: with --to, give INPUT OUTPUT and no "
                                          "RATE_OFFSET (or INPUT... --out-dir DIR)"
                                        : "too many arguments (several inputs need --out-dir DIR)");
        return failure(r.options.to ? "expected --to HZ INPUT OUTPUT"
                                    : "expected RATE_OFFSET INPUT OUTPUT");
    }
    return finish_files(r, positional[next], positional[next + 1]);
}

std::string usage_text()
{
    return std::string(
               "Usage: asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT\n"
               "       asrc-audio [OPTIONS] --to HZ INPUT OUTPUT\n"
               "       asrc-audio [OPTIONS] --to HZ INPUT... --out-dir DIR\n"
               "Converts the audio file INPUT (any file libsndfile reads: WAV, FLAC, AIFF, MP3,\n"
               "Ogg, ...; any number of channels) to another rate and writes OUTPUT in the\n"
               "container its extension names (") +
           kOutputExtensions +
           "), at INPUT's depth\n"
           "unless --bits says otherwise.\n"
           "--to HZ converts to the rate HZ: any of 8000, 11025, 16000, 22050, 32000, 44100,\n"
           "48000, 88200, 96000, 176400 and 192000 to any other, or any two rates from 1/25\n"
           "to 25 times apart.  RATE_OFFSET instead re-times a recording at the same nominal\n"
           "rate (drift correction): the output has (1 - RATE_OFFSET) times as many frames,\n"
           "and its header keeps INPUT's rate.  RATE_OFFSET is " +
           asrc_cli::kRateOffsetRange +
           "\n"
           "(-2.0 to 0.96 for poly); a negative offset such as -0.01 is read as the offset,\n"
           "not as an option.\n"
           "\n"
           "Converters (--converter):\n"
           "  poly   the default: a polyphase converter in 32-bit fixed point, 140 dB SINAD\n"
           "         or better from 20 Hz to 20 kHz, any ratio from 1/25 to 25, output k\n"
           "         aligned with input time k * ratio, no gain, clipping counted.  Samples\n"
           "         are read at their own depth (integers up to 32 bits; float and double\n"
           "         to 2^-31) and rounded once, to the output's depth.\n"
           "  rule   the drop/insert rule of asrc, bit for bit: its phase moved by\n"
           "         trunc(16384 * RATE_OFFSET) per sample, input scaled by 0.99 and cut to\n"
           "         16 bits, 16-bit output, 43 dB SINAD at 1 kHz, loud input may wrap.\n"
           "         Choose it only to reproduce asrc or a device that runs it.\n"
           "\n"
           "Options:\n"
           "  --to HZ          output rate (poly only; no RATE_OFFSET then)\n"
           "  --bits B         output depth: 16, 24, 32 (integers) or float; default:\n"
           "                   INPUT's (24 for MP3/Ogg; FLAC holds at most 24)\n"
           "  --no-dither      round to nearest where the depth is reduced, instead of\n"
           "                   the default TPDF dither (every converted sample has 32\n"
           "                   bits, so any 16- or 24-bit output is a reduction)\n"
           "  --converter C    poly (default) or rule\n"
           "  --rate HZ        sample rate written in OUTPUT's header (default: --to's,\n"
           "                   or INPUT's with RATE_OFFSET)\n"
           "  --gain DB        gain applied before the conversion, -100 to 100 dB (default\n"
           "                   0); loud input may clip (poly) or wrap (rule): try --gain -3\n"
           "  --out-dir DIR    batch: converts every INPUT into DIR, under its own name (.wav\n"
           "                   for inputs of other formats), as many at once as there are\n"
           "                   cores; one summary line per file, then a total\n"
           "  -q, --quiet      no progress and no summary line\n"
           "  -h, --help       this text\n"
           "  --version        the version, and libsndfile's\n"
           "  --               ends the options\n"
           "\n"
           "Exit status: 0 done, 1 a file could not be read or written (in a batch: one or\n"
           "more files failed, the others are converted), 2 bad command line (or a rate\n"
           "INPUT's cannot be converted to).\n";
}

std::string version_text()
{
    return std::string("asrc-audio " ASRC_VERSION " (libsndfile: ") + sf_version_string() +
           ")\n";
}

} // namespace asrc_audio
