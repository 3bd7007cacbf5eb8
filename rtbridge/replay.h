// replay.h - the bridge's two halves (sides.h: the converter, the FIFO and
// the rate controller, exactly as asrc-bridge runs them) run off line on
// the blocks a real run recorded with asrc-bridge --stamps (StampLog), in
// the order they began, with a 997 Hz tone at -1 dBFS in place of the
// audio.  A run on real devices cannot be repeated; its recording can, so a
// change to the controller can be judged against the very timing that
// troubled it.  asrc-bridge-replay (replay_main.cpp) is its command line.
#ifndef ASRC_RTBRIDGE_REPLAY_H
#define ASRC_RTBRIDGE_REPLAY_H

#include <cstdint>
#include <string>
#include <vector>

#include "converter_unit.h"
#include "shared.h"

namespace rtbridge {

struct StampBlock {
    std::int64_t stamp_ns; // the stamp the bridge gave the controller
    std::int64_t entry_ns; // when the block began
    std::int32_t frames;
    std::uint32_t xruns;   // source: both servers' xruns by then
    bool source;
};

struct StampSide {
    std::uint32_t rate = 0;
    std::uint32_t period = 0;
    std::vector<StampBlock> blocks;
};

// Reads one side's file; false with `why` if it is not such a log.
bool load_stamps(const std::string& path, bool source, StampSide& side, std::string& why);

struct ReplaySettings {
    bool entry = false; // the entry times as the stamps, not the recorded ones
    ConverterKind converter = ConverterKind::q31;
    double latency_ms = 0; // 0: automatic
};

struct ReplayResult {
    SourceSummary summary;     // the bridge's own figures
    double true_ppm = 0;       // the sides' rates from their stamps (least squares), re nominal
    double latency_ms = 0;     // as asrc-bridge reports it
    std::vector<double> sinad_1s; // the tone's 1-s windows from lock on, ascending
    struct Second {
        std::int64_t second = 0; // from the first block
        double ratio_ppm = 0;    // the ratio re nominal, its mean over the second
        double fill_error = 0;   // the controller's fill error, frames, its mean
        double target = 0;       // the fill held at the second's end, frames
        int blocks = 0;          // source blocks in it
    };
    std::vector<Second> seconds; // each second with source blocks
};

// Null, or why the settings or the recording cannot be replayed.
const char* replay(const StampSide& in, const StampSide& out, const ReplaySettings& settings,
                   ReplayResult& result);

} // namespace rtbridge

#endif
