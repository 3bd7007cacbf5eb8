// simulation.h - two clock domains joined by a converter, the FIFO and the
// servo, run as a discrete-event simulation.
//
// The producer's clock runs at 48 kHz x (1 + (P + W sin(2 pi t / 600 s)
// [+ the step from its time on]) ppm), taken as constant over each of its
// blocks; every in-block frames it has a block of a 3150 Hz tone at -1
// dBFS (rounded to 16 bits), which it converts, writes into the FIFO and
// follows with one servo update.  The consumer's clock is exactly 48 kHz;
// it reads out-block frames at a time (or USB-style blocks).  Each side
// serves its block late by a uniformly random 0 .. J ms, never before its
// previous block; a stalled consumer serves the reads due during the stall
// at its end.  Both sides read a 1 MHz timer when they serve a block (the
// timestamps the servo gets).  All the audio is converted; only the
// measuring is sampled (see Results).
#ifndef ASRC_BRIDGE_SIM_SIMULATION_H
#define ASRC_BRIDGE_SIM_SIMULATION_H

#include <cstdint>
#include <vector>

#include "options.h"

namespace bridge_sim {

inline constexpr double kRate = 48000.0;       // the consumer's clock, Hz
inline constexpr double kToneHz = 3150.0;      // the wow-and-flutter tone
inline constexpr double kToneDbfs = -1.0;
inline constexpr double kWanderPeriodS = 600.0;
inline constexpr double kWindowS = 0.1;        // SINAD windows, lock windows
inline constexpr double kClockHz = 1e6;        // the timer both sides read
// Ratio jitter, wander, SINAD and flutter are measured from this time on,
// or from half the run in a shorter one.
inline constexpr double kSettledS = 60.0;
// After a clock step, the ratio settles to the new clocks: the ratio's
// figures leave these seconds out (the step's own figure covers them).
inline constexpr double kStepSettleS = 60.0;
// One 0.1-s SINAD window in this many (one a second), one 1-s window in
// this many seconds: a fit costs about twice the conversion of its window.
inline constexpr int kSinadEvery = 10;
// A lock window: the loop runs, the FIFO's time-mean fill lies within
// (in-block + out-block) / 2 + the lateness J of the target (outside a
// stall and the half second after it) and the mean ratio within this
// many ppm of the clocks' ratio (after a step, of the span between the
// old and the new one).
inline constexpr double kLockPpm = 50.0;

struct PlotRow {
    double t;            // seconds, the interval's start
    double fill_min;     // frames relative to the target, after any read
    double fill_mean;    // as the servo sees it after each write
    double fill_max;     // after any write
    double ratio_ppm;    // mean ratio the converter ran at, relative to 1
    double true_ppm;     // the clocks' ratio, relative to 1
    int servo_shift;     // log2 of the loop's time constant (last): in updates
                         // without timestamps, in frames (the producer's line) with
};

struct Results {
    int target = 0;    // frames: the fixed one, or the servo's at the end
    int capacity = 0;  // frames
    int capacity_wanted = 0; // asrc_servo_capacity_wanted at the end
    double lock_s = -1; // start of the run of 0.1-s lock windows (see
                        // kLockPpm) that lasts to the end; -1: none
    double first_lock_s = -1; // start of the first run of at least 1 s
    double track_s = -1; // since when the servo has been in TRACK; -1: not at the end
    int fill_min = 0;  // after the first lock, relative to the target
    int fill_max = 0;
    std::uint64_t underruns = 0; // after the first lock
    std::uint64_t overruns = 0;
    std::uint64_t underruns_total = 0; // from the start
    std::uint64_t overruns_total = 0;
    // The ratio each block ran at against the clocks' ratio, in 1-s means
    // from the measuring start (kSettledS) on, less the seconds after a step:
    double ratio_jitter_ppm = 0; // their rms
    double ratio_wander_ppm = 0; // their peak to peak
    double servo_jitter_ppm = 0; // the rms of the servo's fine ratio (for
                                 // the rule, before it became a step)
    std::uint64_t ratio_seconds = 0;
    // How far the ratio (each block's) went beyond the span between the
    // old and the new clocks' ratio after the step; -1 without a step.
    double step_overshoot_ppm = -1;
    // SINAD of 0.1-s and of 1-s windows of what the consumer plays.
    double sinad_db = 0;         // median
    double sinad_min_db = 0;     // worst
    std::uint64_t sinad_windows = 0;
    double sinad_1s_db = 0;
    double sinad_1s_min_db = 0;
    std::uint64_t sinad_1s_windows = 0;
    // The tone's frequency in each 0.1-s window fitted against 3150 Hz:
    // unweighted wow and flutter, peak and rms, ppm.
    double flutter_peak_ppm = 0;
    double flutter_rms_ppm = 0;
    std::uint64_t clipped = 0;   // converter outputs clipped (poly)
    double simulated_s = 0;

    // With plotting only.
    std::vector<PlotRow> series;     // whole run
    std::vector<PlotRow> start;      // the first 60 s at 10 ms
    std::vector<std::int16_t> tone;  // 65536 consumer samples from the measuring start on
    double tone_start_s = 0;
};

// Runs the simulation; `collect_plots` fills the plot fields.
Results simulate(const Options& options, bool collect_plots);

// The rule's ratio (input per output samples) for a step, from asrc.h.
double rule_ratio(int step);

} // namespace bridge_sim

#endif
