// options.h - the command line of asrc-bridge.
#ifndef ASRC_RTBRIDGE_OPTIONS_H
#define ASRC_RTBRIDGE_OPTIONS_H

#include <string>
#include <vector>

#include "converter_unit.h"

namespace rtbridge {

struct EndpointSpec {
    enum class Kind { jack, alsa };
    Kind kind = Kind::jack;
    std::string name; // the JACK server ("" for the default one) or the ALSA PCM
    std::string text; // as given, for messages
};

struct Options {
    EndpointSpec source;
    EndpointSpec sink;
    int channels = 2;
    std::string name = "asrc-bridge";
    std::vector<std::string> connect_in;
    std::vector<std::string> connect_out;
    unsigned rate = 48000;   // ALSA sides
    unsigned period = 256;   // ALSA sides, frames
    double latency_ms = 0;   // 0: auto
    ConverterKind converter = ConverterKind::q31;
    double seconds = 0;      // 0: until a signal
    bool quiet = false;
    std::string log;         // CSV of the live values every 0.1 s
    std::string stamps;      // each side's blocks into STAMPS.source / STAMPS.sink
};

struct ParsedCommandLine {
    enum class Kind { run, help, error };
    Kind kind = Kind::error;
    Options options;
    std::string message;
};

// `asrc-bridge [OPTIONS] SOURCE SINK`; values follow their option as the
// next argument or after '='.
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

std::string usage_text();

} // namespace rtbridge

#endif
