// main.cpp - the asrc program: converts TEST24.TXT into TEST24_ASRC.TXT at the
// rate offset given as its one argument.
//
// Exit status: 0 after a completed run; 1 when a file could not be opened,
// read or written, or the input holds an item that is not a 32-bit decimal
// number; 2 for a bad command line.  All messages go to standard output.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "block_loop.h"
#include "escaped.h"
#include "rate_offset.h"
#include "sample_reader.h"
#include "sample_writer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFileFault = 1;
constexpr int kExitUsage = 2;

constexpr const char* kInputName = "TEST24.TXT";
constexpr const char* kOutputName = "TEST24_ASRC.TXT";

void report_input_fault(const asrc_driver::SampleReader& reader, bool out_of_range)
{
    const std::string text = asrc_cli::escaped(reader.fault_text()) +
                             (reader.fault_text_cut() ? "..." : "");
    std::printf("Error in input file at line %lld: \"%s\" %s\n",
                static_cast<long long>(reader.fault_line()), text.c_str(),
                out_of_range ? "is outside the 32-bit integer range" : "is not a number");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("Usage: asrc RATE_OFFSET\n"
                    "Converts %s into %s, moving the phase by trunc(16384 * RATE_OFFSET)\n"
                    "per sample; RATE_OFFSET is %s.\n",
                    kInputName, kOutputName, asrc_cli::kRateOffsetRange);
        return kExitUsage;
    }
    const std::optional<std::int16_t> step = asrc_cli::parse_rate_offset(argv[1]);
    if (!step) {
        std::printf("%s\n", asrc_cli::invalid_rate_offset_message(argv[1]).c_str());
        return kExitUsage;
    }

    // Binary, so that the input reads the same on every platform: the reader
    // takes CR as white space and handles a Ctrl-Z end mark itself.  The
    // output stays a text stream, with the platform's line ends.
    std::FILE* input = std::fopen(kInputName, "rb");
    if (input == nullptr)
        std::printf("Error opening input file\n");
    std::FILE* output = std::fopen(kOutputName, "wt");
    if (output == nullptr)
        std::printf("Error opening output file\n");
    if (input == nullptr || output == nullptr) {
        if (input != nullptr)
            std::fclose(input);
        if (output != nullptr)
            std::fclose(output);
        return kExitFileFault;
    }

    asrc_driver::FileSource source(input);
    asrc_driver::SampleReader reader(source);
    asrc_driver::SampleWriter writer(output);
    const asrc_driver::LoopEnd end = asrc_driver::convert_stream(reader, writer, *step);
    bool written = writer.flush();

    switch (end) {
    case asrc_driver::LoopEnd::finished:
    case asrc_driver::LoopEnd::write_error: // reported below, after the close
        break;
    case asrc_driver::LoopEnd::malformed:
        report_input_fault(reader, false);
        break;
    case asrc_driver::LoopEnd::out_of_range:
        report_input_fault(reader, true);
        break;
    case asrc_driver::LoopEnd::read_error:
        std::printf("Error reading input file\n");
        break;
    }

    std::fclose(input);
    if (std::fclose(output) != 0)
        written = false;
    if (!written)
        std::printf("Error writing output file\n");

    if (end != asrc_driver::LoopEnd::finished || !written)
        return kExitFileFault;
    return kExitOk;
}
