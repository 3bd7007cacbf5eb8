// options.cpp - see options.h.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "shared.h"

namespace rtbridge {

namespace {

bool parse_endpoint(const std::string& text, EndpointSpec& e, std::string& message)
{
    e.text = text;
    const auto colon = text.find(':');
    const std::string scheme = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (scheme == "jack" && !rest.empty()) {
        e.kind = EndpointSpec::Kind::jack;
        e.name = rest == "default" ? "" : rest;
        return true;
    }
    if (scheme == "alsa" && !rest.empty()) {
        e.kind = EndpointSpec::Kind::alsa;
        e.name = rest;
        return true;
    }
    message = "'" + text + "' is not an endpoint: give jack:SERVER (jack:default) or alsa:DEVICE";
    return false;
}

bool parse_number(const std::string& text, double lo, double hi, double& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

bool parse_integer(const std::string& text, long lo, long hi, long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    value = v;
    return true;
}

std::vector<std::string> split_ports(const std::string& text)
{
    std::vector<std::string> ports;
    std::size_t from = 0;
    while (from <= text.size()) {
        const auto comma = text.find(',', from);
        const std::string p = text.substr(from, comma == std::string::npos ? std::string::npos
                                                                           : comma - from);
        ports.push_back(p);
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    return ports;
}

} // namespace

std::string usage_text()
{
    return "usage: asrc-bridge [OPTIONS] SOURCE SINK\n"
           "Carries audio from SOURCE to SINK, each on its own clock, through a sample-rate\n"
           "converter, a lock-free FIFO and a rate controller.\n"
           "  SOURCE, SINK         jack:SERVER (jack:default: the default server) or\n"
           "                       alsa:DEVICE (hw:1, plughw:CARD=USB, any PCM name)\n"
           "  --channels N         1 to 64 (default 2)\n"
           "  --name NAME          JACK client name (default asrc-bridge): ports NAME:in_1..N\n"
           "                       on the source's server, NAME:out_1..N on the sink's\n"
           "  --connect-in P,...   connect these ports to NAME:in_1, in_2, ...\n"
           "  --connect-out P,...  connect NAME:out_1, out_2, ... to these ports\n"
           "  --rate HZ            an ALSA side's rate, 8000 to 384000 (default 48000)\n"
           "  --period FRAMES      an ALSA side's period, 16 to 8192 (default 256)\n"
           "  --latency-ms T|auto  the FIFO's target fill (default auto: the rate controller\n"
           "                       measures both sides' timing for a few seconds and chooses it)\n"
           "  --converter q31|poly the 24-bit converter (default; up to 8 channels) or the\n"
           "                       16-bit polyphase one\n"
           "  --seconds S          stop after S seconds (default: at SIGINT or SIGTERM)\n"
           "  --log FILE           write the live values every 0.1 s as CSV\n"
           "  --stamps FILE        record each side's blocks as the rate controller saw them\n"
           "                       into FILE.source and FILE.sink, for asrc-bridge-replay\n"
           "  -q                   no live line\n"
           "Prints a live line on standard error and, at the end, one line of key=value\n"
           "results on standard output.  Status 0, 1 when a device or server was lost or\n"
           "could not be opened, 2 for bad settings.\n";
}

ParsedCommandLine parse_command_line(int argc, const char* const* argv)
{
    ParsedCommandLine r;
    Options& o = r.options;
    std::vector<std::string> positional;
    auto fail = [&](const std::string& m) {
        r.kind = ParsedCommandLine::Kind::error;
        r.message = m;
        return r;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            r.kind = ParsedCommandLine::Kind::help;
            return r;
        }
        if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            if (arg.size() > 1 && arg[0] == '-' && arg != "--")
                return fail("unknown option '" + arg + "'");
            if (arg == "--") {
                for (++i; i < argc; ++i)
                    positional.emplace_back(argv[i]);
                break;
            }
            positional.push_back(arg);
            continue;
        }
        std::string value;
        const auto eq = arg.find('=');
        bool has_value = eq != std::string::npos;
        if (has_value) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        static const char* const with_value[] = {"--channels", "--name", "--connect-in",
                                                 "--connect-out", "--rate", "--period",
                                                 "--latency-ms", "--seconds", "--log",
                                                 "--converter", "--stamps"};
        bool known = false;
        for (const char* k : with_value)
            known = known || arg == k;
        if (!known)
            return fail("unknown option '" + arg + "'");
        if (!has_value) {
            if (i + 1 >= argc)
                return fail(arg + " needs a value");
            value = argv[++i];
        }
        long n = 0;
        double d = 0;
        if (arg == "--channels") {
            if (!parse_integer(value, 1, kMaxChannels, n))
                return fail("--channels must be 1 to 64, not '" + value + "'");
            o.channels = static_cast<int>(n);
        } else if (arg == "--name") {
            if (value.empty() || value.size() > 32 || value.find(':') != std::string::npos)
                return fail("--name must be 1 to 32 characters without ':'");
            o.name = value;
        } else if (arg == "--connect-in") {
            o.connect_in = split_ports(value);
        } else if (arg == "--connect-out") {
            o.connect_out = split_ports(value);
        } else if (arg == "--rate") {
            if (!parse_integer(value, 8000, 384000, n))
                return fail("--rate must be 8000 to 384000 Hz, not '" + value + "'");
            o.rate = static_cast<unsigned>(n);
        } else if (arg == "--period") {
            if (!parse_integer(value, 16, 8192, n))
                return fail("--period must be 16 to 8192 frames, not '" + value + "'");
            o.period = static_cast<unsigned>(n);
        } else if (arg == "--latency-ms") {
            if (value == "auto")
                o.latency_ms = 0;
            else if (parse_number(value, 0.1, 2000, d))
                o.latency_ms = d;
            else
                return fail("--latency-ms must be auto or 0.1 to 2000, not '" + value + "'");
        } else if (arg == "--converter") {
            if (value == "q31")
                o.converter = ConverterKind::q31;
            else if (value == "poly")
                o.converter = ConverterKind::poly;
            else
                return fail("--converter must be q31 or poly, not '" + value + "'");
        } else if (arg == "--seconds") {
            if (!parse_number(value, 0.001, 1e7, d))
                return fail("--seconds must be a positive number, not '" + value + "'");
            o.seconds = d;
        } else if (arg == "--log") {
            if (value.empty())
                return fail("--log needs a file name");
            o.log = value;
        } else if (arg == "--stamps") {
            if (value.empty())
                return fail("--stamps needs a file name");
            o.stamps = value;
        }
    }
    if (positional.size() != 2)
        return fail(positional.size() < 2 ? "give a SOURCE and a SINK"
                                          : "too many arguments: '" + positional[2] + "'");
    if (!parse_endpoint(positional[0], o.source, r.message) ||
        !parse_endpoint(positional[1], o.sink, r.message))
        return r;
    for (const auto* list : {&o.connect_in, &o.connect_out}) {
        if (list->size() > static_cast<std::size_t>(o.channels))
            return fail("more ports to connect than --channels");
        for (const auto& p : *list)
            if (p.empty())
                return fail("an empty port name in --connect-in or --connect-out");
    }
    if (o.converter == ConverterKind::q31 && o.channels > ASRC_Q31_MAX_CHANNELS)
        return fail("the 24-bit converter takes up to 8 channels: --converter poly for more");
    if (!o.connect_in.empty() && o.source.kind != EndpointSpec::Kind::jack)
        return fail("--connect-in needs a jack: source");
    if (!o.connect_out.empty() && o.sink.kind != EndpointSpec::Kind::jack)
        return fail("--connect-out needs a jack: sink");
    r.kind = ParsedCommandLine::Kind::run;
    return r;
}

} // namespace rtbridge
