// report.cpp - see report.h.
#include "report.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

#include "escaped.h"

extern char** environ;

namespace bridge_sim {

namespace {

std::string fixed(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string general(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

bool write_rows(const std::filesystem::path& path, const std::vector<PlotRow>& rows)
{
    std::ofstream f(path);
    f << "t_s,fill_min,fill_mean,fill_max,ratio_ppm,true_ppm,servo_shift\n";
    for (const PlotRow& r : rows)
        f << fixed(r.t, 3) << ',' << r.fill_min << ',' << fixed(r.fill_mean, 3) << ','
          << r.fill_max << ',' << fixed(r.ratio_ppm, 5) << ',' << fixed(r.true_ppm, 5) << ','
          << r.servo_shift << '\n';
    f.close();
    return static_cast<bool>(f);
}

} // namespace

std::string result_line(const Options& o, const Results& r, double wall_s)
{
    std::string s;
    auto add = [&](const char* key, const std::string& value) {
        if (!s.empty())
            s += ' ';
        s += key;
        s += '=';
        s += value;
    };
    add("converter", o.converter == Converter::poly ? "poly" : "rule");
    add("ppm", general(o.ppm));
    add("wander", general(o.wander));
    add("jitter_ms", general(o.jitter_ms));
    add("in_block", std::to_string(o.in_block));
    add("out_block", o.usb ? std::string("usb") : std::to_string(o.out_block));
    if (o.step_at_s >= 0) {
        add("step_ppm", general(o.step_ppm));
        add("step_at_s", general(o.step_at_s));
    }
    if (o.stall_every_s > 0) {
        add("stall_ms", general(o.stall_ms));
        add("stall_every_s", general(o.stall_every_s));
    }
    if (o.lose_every_s > 0) {
        add("lose_ms", general(o.lose_ms));
        add("lose_every_s", general(o.lose_every_s));
    }
    add("timestamps", o.timestamps ? "yes" : "no");
    if (o.last_read)
        add("last_read", "yes");
    if (o.target_ms == 0)
        add("step_room_ppm", general(o.step_room_ppm));
    add("target", o.target_ms == 0 ? std::string("auto") : general(o.target_ms));
    add("target_frames", std::to_string(r.target));
    add("latency_ms", fixed(r.target / 48.0, 2));
    add("capacity", std::to_string(r.capacity));
    add("capacity_wanted", std::to_string(r.capacity_wanted));
    add("hours", general(o.hours));
    add("seed", std::to_string(o.seed));
    add("lock_s", r.lock_s < 0 ? std::string("-1") : fixed(r.lock_s, 1));
    add("first_lock_s", r.first_lock_s < 0 ? std::string("-1") : fixed(r.first_lock_s, 1));
    add("track_s", r.track_s < 0 ? std::string("-1") : fixed(r.track_s, 1));
    add("fill_min", std::to_string(r.fill_min));
    add("fill_max", std::to_string(r.fill_max));
    add("underruns", std::to_string(r.underruns));
    add("overruns", std::to_string(r.overruns));
    add("underruns_total", std::to_string(r.underruns_total));
    add("overruns_total", std::to_string(r.overruns_total));
    const bool ratio = r.ratio_seconds > 0;
    add("ratio_jitter_ppm", ratio ? fixed(r.ratio_jitter_ppm, 4) : std::string("n/a"));
    add("ratio_wander_ppm", ratio ? fixed(r.ratio_wander_ppm, 3) : std::string("n/a"));
    if (o.converter == Converter::rule)
        add("servo_jitter_ppm", ratio ? fixed(r.servo_jitter_ppm, 4) : std::string("n/a"));
    if (r.step_overshoot_ppm >= 0)
        add("step_overshoot_ppm", fixed(r.step_overshoot_ppm, 2));
    const bool short_windows = r.sinad_windows > 0;
    add("sinad_db", short_windows ? fixed(r.sinad_db, 2) : std::string("n/a"));
    add("sinad_min_db", short_windows ? fixed(r.sinad_min_db, 2) : std::string("n/a"));
    add("sinad_windows", std::to_string(r.sinad_windows));
    const bool long_windows = r.sinad_1s_windows > 0;
    add("sinad_1s_db", long_windows ? fixed(r.sinad_1s_db, 2) : std::string("n/a"));
    add("sinad_1s_min_db", long_windows ? fixed(r.sinad_1s_min_db, 2) : std::string("n/a"));
    add("sinad_1s_windows", std::to_string(r.sinad_1s_windows));
    add("flutter_peak_ppm", short_windows ? fixed(r.flutter_peak_ppm, 3) : std::string("n/a"));
    add("flutter_rms_ppm", short_windows ? fixed(r.flutter_rms_ppm, 3) : std::string("n/a"));
    add("clipped", std::to_string(r.clipped));
    add("wall_s", fixed(wall_s, 2));
    return s;
}

std::string write_plots(const std::string& dir, const std::string& line, const Results& r)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir))
        return "cannot make the directory " + asrc_cli::quoted(dir) +
               (ec ? ": " + ec.message() : std::string());
    const fs::path d(dir);
    std::ofstream tone(d / "tone.csv");
    tone << "# consumer samples from " << fixed(r.tone_start_s, 3) << " s at 48000 Hz\n";
    for (const std::int16_t v : r.tone)
        tone << v << '\n';
    tone.close();
    std::ofstream result(d / "result.txt");
    result << line << '\n';
    result.close();
    if (!write_rows(d / "series.csv", r.series) || !write_rows(d / "start.csv", r.start) || !tone ||
        !result)
        return "cannot write the plot data into " + asrc_cli::quoted(dir);

    // The plotting script, by the system's interpreter, without a shell.
    const std::string script = ASRC_BRIDGE_PLOT_SCRIPT;
    std::string python = "/usr/bin/python3";
    char* argv[] = {python.data(), const_cast<char*>(script.c_str()),
                    const_cast<char*>(dir.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        return "cannot run /usr/bin/python3 for the plots (Debian: python3, python3-numpy, "
               "python3-matplotlib)";
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the plotting script " + asrc_cli::quoted(script) +
               " failed (it needs python3-numpy and python3-matplotlib); the data is in " +
               asrc_cli::quoted(dir);
    return {};
}

} // namespace bridge_sim
