// main.cpp - asrc-bridge-sim: proves the converter, the FIFO and the servo
// together between two drifting, jittering clocks.  See options.cpp for the
// command line and docs/bridge.md for what it measures.
#include <chrono>
#include <cstdio>
#include <exception>

#include "options.h"
#include "report.h"
#include "simulation.h"

int main(int argc, char** argv)
{
    using namespace bridge_sim;
    const ParsedCommandLine cl = parse_command_line(argc, argv);
    if (cl.kind == ParsedCommandLine::Kind::help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (cl.kind == ParsedCommandLine::Kind::error) {
        std::fprintf(stderr, "asrc-bridge-sim: %s\nTry 'asrc-bridge-sim --help'.\n",
                     cl.message.c_str());
        return 2;
    }
    const auto t0 = std::chrono::steady_clock::now();
    Results results;
    try {
        results = simulate(cl.options, !cl.options.plot_dir.empty());
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "asrc-bridge-sim: %s\nTry 'asrc-bridge-sim --help'.\n", e.what());
        return 2;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string line = result_line(cl.options, results, wall);
    if (!cl.options.plot_dir.empty()) {
        const std::string failure = write_plots(cl.options.plot_dir, line, results);
        if (!failure.empty()) {
            std::fprintf(stderr, "asrc-bridge-sim: %s\n", failure.c_str());
            std::printf("%s\n", line.c_str());
            return 1;
        }
    }
    std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 && results.lock_s >= 0 ? 0 : 1;
}
