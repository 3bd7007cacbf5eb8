// report.h - what asrc-bridge-sim prints and, with --plot, writes.
#ifndef ASRC_BRIDGE_SIM_REPORT_H
#define ASRC_BRIDGE_SIM_REPORT_H

#include <string>

#include "options.h"
#include "simulation.h"

namespace bridge_sim {

// The last line: the settings, then the results, as key=value pairs
// separated by single spaces.
std::string result_line(const Options& options, const Results& results, double wall_s);

// Writes series.csv, start.csv, tone.csv and result.txt into `dir` (made if
// missing), then runs the plotting script on it.  Returns an empty string,
// or what went wrong.
std::string write_plots(const std::string& dir, const std::string& line, const Results& results);

} // namespace bridge_sim

#endif
