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
    add("out_block", std::to_string(o.out_block));
    add("target_frames", std::to_string(r.target));
    add("capacity", std::to_string(r.capacity));
    add("hours", general(o.hours));
    add("seed", std::to_string(o.seed));
    add("lock_s", r.lock_s < 0 ? std::string("-1") : fixed(r.lock_s, 1));
    add("track_s", r.track_s < 0 ? std::string("-1") : fixed(r.track_s, 1));
    add("fill_min", std::to_string(r.fill_min));
    add("fill_max", std::to_string(r.fill_max));
    add("underruns", std::to_string(r.underruns));
    add("overruns", std::to_string(r.overruns));
    add("underruns_total", std::to_string(r.underruns_total));
    add("overruns_total", std::to_string(r.overruns_total));
    add("ratio_jitter_ppm", fixed(r.ratio_jitter_ppm, 4));
    if (o.converter == Converter::rule)
        add("servo_jitter_ppm", fixed(r.servo_jitter_ppm, 4));
    add("sinad_db", fixed(r.sinad_db, 2));
    add("sinad_min_db", fixed(r.sinad_min_db, 2));
    add("sinad_windows", std::to_string(r.sinad_windows));
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
        return "cannot make the directory " + asrc_driver::quoted(dir) +
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
        return "cannot write the plot data into " + asrc_driver::quoted(dir);

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
        return "the plotting script " + asrc_driver::quoted(script) +
               " failed (it needs python3-numpy and python3-matplotlib); the data is in " +
               asrc_driver::quoted(dir);
    return {};
}

} // namespace bridge_sim
