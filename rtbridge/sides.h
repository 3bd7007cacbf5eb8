// sides.h - the two halves of the bridge, apart from any sound API: the
// producer (in the source's process) converts each block it is given,
// writes it into the shared FIFO and updates the rate controller; the
// consumer (in the sink's process) reads each block it is asked for.  The
// endpoints (endpoints.h) call them from their real-time context: nothing
// here allocates, locks or makes a system call other than clock_gettime
// after setup.
//
// WHAT THE SERVO SEES
//
// The timestamped controller (rate_control.h): the producer passes each
// block's cycle time with its update, the consumer stamps each read in the
// FIFO, both on CLOCK_MONOTONIC in 10-ns ticks (rate_control.h).  `cycle_ns` is the start of
// a side's present cycle: for JACK the server's own smoothed cycle time, so
// that the callbacks' lateness does not enter; for ALSA a smoothed period
// clock.
//
// The producer also keeps the run's statistics, on 0.1-second windows (of
// source audio) as asrc-bridge-sim does: a window is in band when the servo
// ran its loop all through it and the mean fill as it sees it (between the
// blocks, from the two sides' lines) lay within one producer block of the
// target.  After each refill the producer trims the few frames the
// refill leaves off the target in the refill's silence, so that the loop
// does not spend a minute pulling them in.  The
// lock is the start of the first run of ten windows in band (one second:
// a pass through the band while the loop acquires is no lock).  From there
// on every window counts, in band or not: the ratio's mean and jitter, the
// FIFO's under- and overruns, the fill's extremes, and the windows that
// fell out of band (lock_losses).  Unlike the simulator's, a lock is never
// taken back: a real device's trouble after it must show in the counts.
#ifndef ASRC_RTBRIDGE_SIDES_H
#define ASRC_RTBRIDGE_SIDES_H

#include <cstdint>
#include <string>
#include <vector>

#include "converter_unit.h"
#include "rate_control.h"
#include "shared.h"

namespace rtbridge {

// A side's cycles as the servo saw them, for asrc-bridge --stamps and
// asrc-bridge-replay: each block's stamp (the `cycle_ns` given), the
// moment the block began on CLOCK_MONOTONIC, its frames and, for the
// source, both servers' xruns counted by then.  Room is made before the
// audio starts; block() only stores, and a full log counts what it drops.
// The file: a line "# asrc-bridge stamps SIDE RATE PERIOD", one line
// "stamp_ns entry_ns frames xruns" per block, and "# dropped N" last.
class StampLog {
public:
    void reserve(std::size_t blocks);
    void add(std::int64_t stamp_ns, std::int64_t entry_ns, std::int32_t frames,
             std::uint32_t xruns)
    {
        if (used_ < records_.size())
            records_[used_++] = Record{stamp_ns, entry_ns, frames, xruns};
        else
            ++dropped_;
    }
    // False (errno set) if the file cannot be written.
    bool write(const std::string& path, const char* side, std::uint32_t rate,
               std::uint32_t period) const;

private:
    struct Record {
        std::int64_t stamp_ns;
        std::int64_t entry_ns;
        std::int32_t frames;
        std::uint32_t xruns;
    };
    std::vector<Record> records_;
    std::size_t used_ = 0;
    std::uint64_t dropped_ = 0;
};

// Blocks a log holds for `seconds` of a side's periods (0: an hour), at
// most 2^22 (96 MiB): the rest is dropped and counted.
std::size_t stamp_log_blocks(double seconds, std::uint32_t rate, std::uint32_t period);

class Producer {
public:
    // Sets up the FIFO in `shared` and the converter and servo for the two
    // sides' rates and periods (`latency_ms` <= 0: automatic, see
    // rate_control.h).  Returns an empty string, or why the settings cannot
    // work (the caller exits with status 2).
    const char* init(Shared* shared, std::uint32_t rate_in, std::uint32_t period_in,
                     std::uint32_t rate_out, std::uint32_t period_out, double latency_ms,
                     std::int32_t max_block, ConverterKind kind = ConverterKind::q31);

    // One block of n frames (n <= max_block), interleaved Q1.31;
    // `cycle_ns` the start of the producer's cycle on CLOCK_MONOTONIC.
    void block(const std::int32_t* in, std::int32_t n, std::int64_t cycle_ns);

    // Scratch for endpoints that must interleave or convert first:
    // max_block frames.
    std::int32_t* input() { return input_.data(); }

    // Into shared->source_summary (after the endpoint stopped).
    void summarise() const;

    // Every block from now on into `log` (nullptr: none); set up before
    // the audio starts.
    void record(StampLog* log) { stamps_ = log; }

private:
    struct Window {
        double ratio_sum = 0; // ppm re nominal
        double ratio_sq = 0;
        double fill_sum = 0;  // re target
        std::int64_t count = 0;
        std::int32_t fill_max = 0;
        bool any = false;
        bool refilling = false;
        std::uint64_t underruns = 0;
        std::uint64_t overruns = 0;
        std::int64_t first_ns = 0;
        std::int64_t last_ns = 0;
    };
    void close_window();

    Shared* shared_ = nullptr;
    ConverterUnit converter_;
    RateControl servo_;
    std::uint32_t rate_in_ = 0;
    std::uint32_t nominal_ = 0;     // Q2.30
    double nominal_exact_ = 1;      // rate_in / rate_out
    std::int32_t block_in_ = 0;
    std::vector<std::int32_t> input_;
    std::vector<std::int32_t> out_;
    void publish_target();

    std::uint32_t ratio_ = 0;       // the ratio the next block runs at
    std::uint32_t rate_out_ = 0;
    std::uint32_t period_out_ = 0;
    std::uint64_t written_ = 0;     // frames the FIFO accepted, silence included
    std::int32_t withhold_ = 0;
    bool trimmed_ = false;          // the fill's rest after a refill trimmed
    asrc_fifo_counts seen_{};
    std::uint32_t xruns_seen_ = 0;    // both servers' xruns at the last block
    std::uint64_t xrun_refills_ = 0;
    bool first_ = true;

    std::uint64_t frames_in_ = 0;
    std::uint64_t window_frames_ = 0; // source frames per window
    std::uint64_t window_index_ = 0;
    std::uint64_t convert_ns_ = 0;
    Window window_;
    Window run_;          // the present run of windows in band, before lock
    int run_windows_ = 0;
    double run_start_ = -1;
    Window since_lock_;   // every window from the lock's first on
    double lock_s_ = -1;
    std::uint64_t lock_losses_ = 0; // windows out of band after lock
    StampLog* stamps_ = nullptr;
};

class Consumer {
public:
    explicit Consumer(Shared* shared) : shared_(shared) {}

    // Fills n frames, interleaved Q1.31, from the FIFO (silence until the
    // producer has started it); `cycle_ns` the start of the consumer's
    // cycle on CLOCK_MONOTONIC.
    void block(std::int32_t* out, std::int32_t n, std::int64_t cycle_ns);

    void summarise() const;

    // As Producer::record.
    void record(StampLog* log) { stamps_ = log; }

private:
    Shared* shared_;
    StampLog* stamps_ = nullptr;
    std::uint32_t epoch_ = 0;
    std::int32_t min_since_lock_ = 0x7fffffff;
    double fill_sum_ = 0; // since lock, see SinkSummary::fill_mean
    std::uint64_t fill_count_ = 0;
    std::uint64_t frames_ = 0;
};

std::int64_t monotonic_ns();

// CLOCK_MONOTONIC nanoseconds as the servo's timer: 10-ns ticks modulo 2^32.
std::uint32_t stamp_us(std::int64_t ns);

} // namespace rtbridge

#endif
