// options.h - the command line of asrc-bridge-sim.
#ifndef ASRC_BRIDGE_SIM_OPTIONS_H
#define ASRC_BRIDGE_SIM_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>

namespace bridge_sim {

enum class Converter { poly, rule };

// The servo's ratio limits are +-1% (asrc_servo_defaults): a producer clock
// beyond them could never be followed, so --ppm and --wander together must
// stay inside.
inline constexpr double kMaxOffsetPpm = 10000.0;
inline constexpr double kMaxJitterMs = 100.0;
inline constexpr int kMaxInBlock = 1024;  // the servo needs 16 updates per 250 ms
inline constexpr int kMaxOutBlock = 4800; // 0.1 s
inline constexpr double kMaxTargetMs = 1000.0;
inline constexpr double kMaxHours = 1000.0;
inline constexpr double kMaxStallMs = 1000.0;

struct Options {
    Converter converter = Converter::poly;
    double ppm = 1000.0;    // the producer's clock offset
    double wander = 20.0;   // its swing, +- ppm, over a 10-minute period
    double jitter_ms = 0.5; // each side runs late by 0 .. this
    int in_block = 48;      // producer frames per block (USB: 1 ms)
    int out_block = 64;     // consumer frames per block
    double target_ms = 0;   // the servo's target fill; 0: chosen by the servo
    double hours = 1.0;
    double step_ppm = 0;    // the producer's offset jumps by this ...
    double step_at_s = -1;  // ... at this time (seconds; < 0: never)
    bool usb = false;       // the consumer takes USB-style blocks (see usage)
    double stall_ms = 0;    // the consumer stalls for this long ...
    double stall_every_s = 0; // ... every this many seconds (0: never)
    double lose_ms = 0;     // the producer loses this much time ...
    double lose_every_s = 0; // ... every this many seconds (0: never)
    bool timestamps = true; // the servo sees both sides' block times
    bool last_read = false; // ... but of the consumer only the last read
                            // before each update
    double step_room_ppm = 1000; // the clock step the auto target rides through
    std::uint64_t seed = 1;
    std::string plot_dir; // empty: no plots
};

struct ParsedCommandLine {
    enum class Kind { run, help, error };
    Kind kind = Kind::error;
    Options options;
    std::string message; // for error: one line
};

// Reads `asrc-bridge-sim [OPTIONS]`; values follow an option as the next
// argument or after '='.  Negative numbers are values, never options.
ParsedCommandLine parse_command_line(int argc, const char* const* argv);

std::string usage_text();

} // namespace bridge_sim

#endif
