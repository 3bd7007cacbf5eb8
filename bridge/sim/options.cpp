// options.cpp - reads the command line of asrc-bridge-sim.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "escaped.h"

namespace bridge_sim {

using asrc_cli::quoted;

namespace {

// The whole text is one finite number as strtod reads it.
std::optional<double> parse_real(const char* text)
{
    if (*text == '\0' || std::isspace(static_cast<unsigned char>(*text)) != 0)
        return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Decimal digits only, within [lo, hi].
std::optional<std::uint64_t> parse_whole(const char* text, std::uint64_t lo, std::uint64_t hi)
{
    if (*text == '\0')
        return std::nullopt;
    for (const char* p = text; *p != '\0'; ++p)
        if (std::isdigit(static_cast<unsigned char>(*p)) == 0)
            return std::nullopt;
    errno = 0;
    const unsigned long long v = std::strtoull(text, nullptr, 10);
    if (errno == ERANGE || v < lo || v > hi)
        return std::nullopt;
    return v;
}

ParsedCommandLine failure(std::string message)
{
    ParsedCommandLine r;
    r.kind = ParsedCommandLine::Kind::error;
    r.message = std::move(message);
    return r;
}

std::string number_text(double v)
{
    std::string s = std::to_string(v);
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

} // namespace

ParsedCommandLine parse_command_line(int argc, const char* const* argv)
{
    ParsedCommandLine r;
    Options& o = r.options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            r.kind = ParsedCommandLine::Kind::help;
            return r;
        }
        if (arg.size() < 3 || arg.substr(0, 2) != "--")
            return failure("unexpected argument " + quoted(arg) + ": every setting is an option");
        const std::size_t eq = arg.find('=');
        const std::string name(arg.substr(0, eq));
        static const char* const known[] = {"--converter", "--ppm",       "--wander",
                                            "--jitter-ms", "--in-block",  "--out-block",
                                            "--target-ms", "--hours",     "--seed",
                                            "--plot",      "--step-ppm",  "--step-at",
                                            "--usb",       "--stall-ms",  "--stall-every", "--lose-ms", "--lose-every",
                                            "--timestamps", "--step-room", "--last-read"};
        bool is_known = false;
        for (const char* k : known)
            is_known = is_known || name == k;
        if (!is_known)
            return failure("unknown option " + quoted(name));
        const char* value = nullptr;
        if (eq != std::string_view::npos)
            value = argv[i] + eq + 1;
        else if (i + 1 < argc)
            value = argv[++i];
        else
            return failure(name + " needs a value");

        auto real_in = [&](double lo, double hi, bool lo_open, const char* what,
                           double& into) -> std::optional<std::string> {
            const std::optional<double> v = parse_real(value);
            if (!v || *v > hi || (lo_open ? *v <= lo : *v < lo))
                return "invalid " + name + " " + quoted(value) + ": expected " + what;
            into = *v;
            return std::nullopt;
        };
        std::optional<std::string> error;
        if (name == "--converter") {
            const std::string_view v = value;
            if (v == "poly")
                o.converter = Converter::poly;
            else if (v == "rule")
                o.converter = Converter::rule;
            else
                error = "invalid --converter " + quoted(v) + ": expected poly or rule";
        } else if (name == "--ppm") {
            error = real_in(-kMaxOffsetPpm, kMaxOffsetPpm, false,
                            "a number of ppm from -10000 to 10000", o.ppm);
        } else if (name == "--wander") {
            error = real_in(0, kMaxOffsetPpm, false, "a number of ppm from 0 to 10000", o.wander);
        } else if (name == "--jitter-ms") {
            error = real_in(0, kMaxJitterMs, false, "a number of milliseconds from 0 to 100",
                            o.jitter_ms);
        } else if (name == "--target-ms") {
            if (std::string_view(value) == "auto")
                o.target_ms = 0;
            else
                error = real_in(0, kMaxTargetMs, true,
                                "auto or a number of milliseconds above 0, up to 1000", o.target_ms);
        } else if (name == "--step-ppm") {
            error = real_in(-2 * kMaxOffsetPpm, 2 * kMaxOffsetPpm, false,
                            "a number of ppm from -20000 to 20000", o.step_ppm);
        } else if (name == "--step-at") {
            error = real_in(0, kMaxHours * 3600, false, "a number of seconds from 0", o.step_at_s);
        } else if (name == "--step-room") {
            error = real_in(0, kMaxOffsetPpm, false, "a number of ppm from 0 to 10000",
                            o.step_room_ppm);
        } else if (name == "--stall-ms") {
            error = real_in(0, kMaxStallMs, false, "a number of milliseconds from 0 to 1000",
                            o.stall_ms);
        } else if (name == "--stall-every") {
            error = real_in(0, kMaxHours * 3600, true, "a number of seconds above 0",
                            o.stall_every_s);
        } else if (name == "--lose-ms") {
            error = real_in(0, kMaxStallMs, false, "a number of milliseconds from 0 to 1000",
                            o.lose_ms);
        } else if (name == "--lose-every") {
            error = real_in(0, kMaxHours * 3600, true, "a number of seconds above 0",
                            o.lose_every_s);
        } else if (name == "--usb" || name == "--timestamps" || name == "--last-read") {
            const std::string_view v = value;
            if (v != "yes" && v != "no")
                error = "invalid " + name + " " + quoted(v) + ": expected yes or no";
            else
                (name == "--usb" ? o.usb : name == "--timestamps" ? o.timestamps : o.last_read) =
                    v == "yes";
        } else if (name == "--hours") {
            error = real_in(0, kMaxHours, true, "a number of hours above 0, up to 1000", o.hours);
        } else if (name == "--in-block" || name == "--out-block") {
            const bool in = name == "--in-block";
            const auto v = parse_whole(value, 1, in ? kMaxInBlock : kMaxOutBlock);
            if (!v)
                error = "invalid " + name + " " + quoted(value) + ": expected a whole number of " +
                        "frames from 1 to " + std::to_string(in ? kMaxInBlock : kMaxOutBlock);
            else
                (in ? o.in_block : o.out_block) = static_cast<int>(*v); // <= 4800
        } else if (name == "--seed") {
            const auto v = parse_whole(value, 0, UINT64_MAX);
            if (!v)
                error = "invalid --seed " + quoted(value) +
                        ": expected a whole number from 0 to 18446744073709551615";
            else
                o.seed = *v;
        } else { // --plot
            if (*value == '\0')
                error = std::string("--plot needs a directory");
            else
                o.plot_dir = value;
        }
        if (error)
            return failure(*error);
    }
    if (std::fabs(o.ppm) + o.wander > kMaxOffsetPpm)
        return failure("--ppm " + number_text(o.ppm) + " with --wander " + number_text(o.wander) +
                       " takes the producer's clock beyond the servo's limits of +-10000 ppm");
    const double stepped = std::fabs(o.ppm + o.step_ppm) + o.wander;
    if (o.step_at_s >= 0 && stepped > kMaxOffsetPpm)
        return failure("--ppm " + number_text(o.ppm) + " with --step-ppm " + number_text(o.step_ppm) +
                       " and --wander " + number_text(o.wander) +
                       " takes the producer's clock beyond the servo's limits of +-10000 ppm");
    if ((o.step_ppm != 0) != (o.step_at_s >= 0))
        return failure("--step-ppm and --step-at go together");
    if ((o.stall_ms > 0) != (o.stall_every_s > 0))
        return failure("--stall-ms and --stall-every go together");
    if (o.stall_ms > 0 && o.stall_ms / 1000 >= o.stall_every_s)
        return failure("--stall-ms must be shorter than --stall-every");
    if ((o.lose_ms > 0) != (o.lose_every_s > 0))
        return failure("--lose-ms and --lose-every go together");
    if (o.target_ms == 0 && !o.timestamps)
        return failure("--target-ms auto needs --timestamps yes: give a target in milliseconds");
    // The fill target in whole frames at 48 kHz must be at least one.
    if (o.target_ms != 0 && std::lround(o.target_ms * 48.0) < 1)
        return failure("--target-ms " + number_text(o.target_ms) +
                       " is less than one frame at 48 kHz");
    r.kind = ParsedCommandLine::Kind::run;
    return r;
}

std::string usage_text()
{
    return R"(Usage: asrc-bridge-sim [OPTIONS]

Simulates a producer and a consumer on two clocks joined by a converter, the
FIFO (asrc_fifo) and the rate controller (asrc_servo), with a 997 Hz tone at
-1 dBFS through the whole chain, and prints one line of key=value results.

  --converter poly|rule  the polyphase converter or the first family's
                         drop/insert rule (default poly)
  --ppm P                the producer's clock: 48 kHz x (1 + P ppm)
                         (default 1000)
  --wander W             ... swinging by +-W ppm more over 10 minutes
                         (default 20)
  --jitter-ms J          each side serves its block late by a random 0 to J
                         ms (default 0.5)
  --in-block N           producer frames per block (default 48)
  --out-block N          consumer frames per block (default 64)
  --target-ms T|auto     the fill the servo holds, or auto: chosen by the
                         servo from the blocks and the lateness it measures
                         (default auto)
  --step-ppm P --step-at S
                         the producer's offset jumps by P ppm at S seconds
  --usb yes|no           the consumer takes 48 frames each millisecond,
                         every 8th block 47 or 49 frames, alternately
                         (--out-block is then unused; default no)
  --stall-ms L --stall-every S
                         the consumer stalls for L ms every S seconds: its
                         reads due then are all served at the stall's end
  --lose-ms L --lose-every S
                         the producer loses L ms every S seconds: its next
                         block and all after it come L ms later (a sound
                         server whose cycle ran late and never caught up)
  --step-room P          with --target-ms auto: the clock step, ppm, that the
                         chosen latency rides through (default 1000; 0 for
                         clocks that never jump)
  --timestamps yes|no    the servo sees when each side's blocks come (a
                         1 MHz timer; asrc_servo_update_at), or the FIFO's
                         fill alone (asrc_servo_update) (default yes)
  --last-read yes|no     with timestamps, the servo learns the consumer's clock
                         from the last read before each update alone, not
                         the earliest of the reads since the one before
                         (no asrc_fifo_set_read_period; default no)
  --hours H              simulated time (default 1)
  --seed S               the random lateness (default 1)
  --plot DIR             write the fill and the ratio against time and the
                         tone's spectrum to DIR (PNG, made with
                         /usr/bin/python3 and matplotlib, and the data as CSV)
  -h, --help             this text

With a fixed target the FIFO holds 2 x target + in-block + out-block frames,
or what the servo's first refill needs if more; with auto, room for 20 ms
of lateness on each side (asrc_servo_capacity_wanted is printed beside it).
Exit status 0, 1 if the bridge never locked (lock_s=-1), 2 for bad
settings.  See docs/bridge.md.
)";
}

} // namespace bridge_sim
