// simulation.h - two clock domains joined by a converter, the FIFO and the
// servo, run as a discrete-event simulation.
//
// The producer's clock runs at 48 kHz x (1 + (P + W sin(2 pi t / 600 s))
// ppm), taken as constant over each of its blocks; every in-block frames it
// has a block of a 997 Hz tone at -1 dBFS (rounded to 16 bits), which it
// converts, writes into the FIFO and follows with one servo update.  The
// consumer's clock is exactly 48 kHz; every out-block frames it reads a
// block.  Each side serves its block late by a uniformly random 0 .. J ms,
// never before its previous block.  All the audio is converted; only the
// measuring is sampled (see Results).
#ifndef ASRC_BRIDGE_SIM_SIMULATION_H
#define ASRC_BRIDGE_SIM_SIMULATION_H

#include <cstdint>
#include <vector>

#include "options.h"

namespace bridge_sim {

inline constexpr double kRate = 48000.0;       // the consumer's clock, Hz
inline constexpr double kToneHz = 997.0;
inline constexpr double kToneDbfs = -1.0;
inline constexpr double kWanderPeriodS = 600.0;
inline constexpr double kWindowS = 0.1;        // SINAD windows, lock windows
inline constexpr double kSettledS = 60.0;      // ratio jitter and SINAD from here on
// One SINAD window in this many (one a second): the fit of a window costs
// about twice the conversion of it, so fitting every window would triple
// the run time; one a second gives 3600 windows an hour.
inline constexpr int kSinadEvery = 10;

struct PlotRow {
    double t;            // seconds, the interval's start
    double fill_min;     // frames relative to the target, after any read
    double fill_mean;    // as the servo sees it after each write
    double fill_max;     // after any write
    double ratio_ppm;    // mean ratio the converter ran at, relative to 1
    double true_ppm;     // the clocks' ratio, relative to 1
    int servo_shift;     // log2 of the loop's time constant in updates (last)
};

struct Results {
    int target = 0;    // frames
    int capacity = 0;  // frames
    double lock_s = -1; // start of the 0.1-s window from which on, in
                        // every window, the servo ran its loop (did not
                        // refill) and the mean fill as it sees it lay
                        // within one in-block of the target; -1: never
    double track_s = -1; // since when the servo has been in TRACK; -1: not at the end
    int fill_min = 0;  // after lock, relative to the target
    int fill_max = 0;
    std::uint64_t underruns = 0; // after lock
    std::uint64_t overruns = 0;
    std::uint64_t underruns_total = 0; // from the start
    std::uint64_t overruns_total = 0;
    double ratio_jitter_ppm = 0; // rms of the ratio each block ran at against
                                 // the clocks' ratio, from 60 s on
    double servo_jitter_ppm = 0; // the same of the servo's fine ratio (for
                                 // the rule, before it became a step)
    double sinad_db = 0;         // median over the windows measured
    double sinad_min_db = 0;     // the worst of them
    std::uint64_t sinad_windows = 0;
    std::uint64_t clipped = 0;   // converter outputs clipped (poly)
    double simulated_s = 0;

    // With plotting only.
    std::vector<PlotRow> series;     // whole run
    std::vector<PlotRow> start;      // the first 60 s at 10 ms
    std::vector<std::int16_t> tone;  // 65536 consumer samples from 60 s on
    double tone_start_s = 0;
};

// Runs the simulation; `collect_plots` fills the plot fields.
Results simulate(const Options& options, bool collect_plots);

// The rule's ratio (input per output samples) for a step, from asrc.h.
double rule_ratio(int step);

} // namespace bridge_sim

#endif
