// main.cpp - asrc-bridge: audio from one device or sound server to another
// on a different clock, in real time.  The parent process forks the sink's
// process, then the source's (endpoints.h), watches them through the shared
// region (shared.h), prints the live line and the results, and stops both
// on SIGINT, SIGTERM or --seconds.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "endpoints.h"
#include "options.h"
#include "shared.h"
#include "sides.h"

using namespace rtbridge;

namespace {

Shared* g_shared = nullptr;

void on_signal(int)
{
    if (g_shared != nullptr)
        g_shared->stop.store(1, std::memory_order_relaxed);
}

void install(int signal, void (*handler)(int))
{
    struct sigaction a {};
    a.sa_handler = handler;
    sigemptyset(&a.sa_mask);
    sigaction(signal, &a, nullptr);
}

// A child: one endpoint.  Ctrl-C reaches the whole process group; the
// children leave it to the parent, which stops them through `stop`.  A
// child whose parent dies stops too.
pid_t spawn(const Options& o, Shared* s, bool source)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    install(SIGINT, SIG_IGN);
    install(SIGTERM, on_signal);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1)
        _exit(kStatusLost);
    std::fflush(stderr);
    _exit(source ? run_source(o, s) : run_sink(o, s));
}

// Waits until `info` is ready or the child has exited; returns -1 when
// ready, or the child's exit status.
int wait_ready(pid_t child, const EndpointInfo& info, const Shared* s)
{
    for (;;) {
        if (info.ready.load(std::memory_order_acquire) != 0)
            return -1;
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : kStatusLost;
        if (s->stop.load(std::memory_order_relaxed) != 0)
            return kStatusOk;
        usleep(5000);
    }
}

// Waits for a child for up to `seconds`, then kills it; its exit status.
int reap(pid_t child, double seconds)
{
    int status = 0;
    for (int i = 0; i < static_cast<int>(seconds * 100); ++i) {
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : kStatusLost;
        if (r < 0)
            return kStatusLost;
        usleep(10000);
    }
    std::fprintf(stderr, "asrc-bridge: a side did not stop; killed\n");
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return kStatusLost;
}

// Ends the parent without running libjack's static destructors, which try
// to reach a server at exit and print "Cannot connect to server socket"
// although the parent never opened a client.
[[noreturn]] void finish(int status)
{
    std::fflush(nullptr);
    _exit(status);
}

std::string format(const char* fmt, double v)
{
    char b[64];
    std::snprintf(b, sizeof b, fmt, v);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    const ParsedCommandLine cl = parse_command_line(argc, argv);
    if (cl.kind == ParsedCommandLine::Kind::help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (cl.kind == ParsedCommandLine::Kind::error) {
        std::fprintf(stderr, "asrc-bridge: %s\nTry 'asrc-bridge --help'.\n", cl.message.c_str());
        return kStatusBad;
    }
    const Options& o = cl.options;
    // A client must never start a server of its own.
    setenv("JACK_NO_START_SERVER", "1", 1);

    std::FILE* log = nullptr;
    if (!o.log.empty()) {
        log = std::fopen(o.log.c_str(), "w");
        if (log == nullptr) {
            std::fprintf(stderr, "asrc-bridge: cannot write '%s': %s\n", o.log.c_str(), std::strerror(errno));
            return kStatusBad;
        }
        std::fputs("t_s,mono_s,ratio_ppm,fill_mean,fill_max,fill_min,mode,shift,xruns_source,"
                   "xruns_sink,underruns,overruns,target\n",
                   log);
    }

    Shared* s = map_shared(o.channels, static_cast<std::int32_t>(ASRC_FIFO_MAX_FRAMES));
    if (s == nullptr) {
        std::fprintf(stderr, "asrc-bridge: cannot map shared memory: %s\n", std::strerror(errno));
        return kStatusLost;
    }
    g_shared = s;
    install(SIGINT, on_signal);
    install(SIGTERM, on_signal);

    const pid_t sink = spawn(o, s, false);
    int status = wait_ready(sink, s->sink, s);
    pid_t source = -1;
    if (status < 0) {
        source = spawn(o, s, true);
        status = wait_ready(source, s->source, s);
    }
    if (status >= 0) { // one side failed to start, or a signal came first
        s->stop.store(1, std::memory_order_relaxed);
        const int a = reap(sink, 5);
        const int b = source > 0 ? reap(source, 5) : kStatusOk;
        finish(status != kStatusOk ? status : (a != kStatusOk ? a : b));
    }

    const std::int64_t t0 = monotonic_ns();
    const bool tty = isatty(STDERR_FILENO) != 0;
    int live_lines = 0;
    int exited = 0; // a side that ended on its own
    int sink_status = -1;
    int source_status = -1;
    Live& l = s->live;
    // The latency held: the servo's target (chosen by it with auto) as time,
    // plus the converter's delay.
    auto latency_ms = [&] {
        const double rate_out = s->sink.rate.load();
        return rate_out > 0 ? 1000.0 * l.target.load() / rate_out + s->delay_ms : 0.0;
    };
    bool told = false;
    for (int tick = 1;; ++tick) {
        usleep(100000);
        const std::int64_t now = monotonic_ns();
        const double t = static_cast<double>(now - t0) * 1e-9;
        const std::int32_t low = l.fill_low.exchange(0x7fffffff, std::memory_order_relaxed);
        if (log != nullptr) {
            const asrc_fifo_counts c = asrc_fifo_get_counts(&s->fifo);
            std::fprintf(log, "%.1f,%.3f,%.3f,%.2f,%d,%d,%d,%d,%u,%u,%u,%u,%d\n", t,
                         static_cast<double>(now) * 1e-9, l.ratio_ppm.load(),
                         l.fill_mean.load(), l.fill_max.load(), low == 0x7fffffff ? 0 : low,
                         l.mode.load(), l.shift.load(), l.xruns_source.load(), l.xruns_sink.load(),
                         c.underruns, c.overruns, l.target.load());
        }
        if (!o.quiet && !told && l.mode.load() != ASRC_SERVO_REFILL) {
            told = true;
            std::fprintf(stderr, "%sasrc-bridge: latency %.2f ms (%s; FIFO %d frames, %d wanted)\n",
                         tty && live_lines > 0 ? "\n" : "", latency_ms(),
                         o.latency_ms > 0 ? "fixed" : "chosen", s->capacity, l.capacity_wanted.load());
        }
        if (!o.quiet && tick % 10 == 0) {
            const asrc_fifo_counts c = asrc_fifo_get_counts(&s->fifo);
            const double in_s = static_cast<double>(l.in_frames.load()) / s->source.rate.load();
            const double load = in_s > 0 ? 1e-9 * static_cast<double>(l.convert_ns.load()) / in_s : 0;
            std::fprintf(stderr, "%s%6.0f s  ratio %+9.2f ppm  fill %+7.1f  latency %.1f ms  "
                                 "xruns %u/%u  fifo %u/%u  %s  load %.2f%%%s",
                         tty ? "\r" : "", t, l.ratio_ppm.load(), l.fill_mean.load(), latency_ms(),
                         l.xruns_source.load(), l.xruns_sink.load(), c.underruns, c.overruns,
                         l.locked.load() != 0 ? "locked " : "locking", 100 * load, tty ? "" : "\n");
            ++live_lines;
        }
        int st = 0;
        if (sink_status < 0 && waitpid(sink, &st, WNOHANG) == sink) {
            sink_status = WIFEXITED(st) ? WEXITSTATUS(st) : kStatusLost;
            exited = 1;
        }
        if (source_status < 0 && waitpid(source, &st, WNOHANG) == source) {
            source_status = WIFEXITED(st) ? WEXITSTATUS(st) : kStatusLost;
            exited = 1;
        }
        if (exited != 0 || s->stop.load() != 0 || (o.seconds > 0 && t >= o.seconds))
            break;
    }
    s->stop.store(1, std::memory_order_relaxed);
    if (tty && live_lines > 0)
        std::fputc('\n', stderr);
    if (sink_status < 0)
        sink_status = reap(sink, 5);
    if (source_status < 0)
        source_status = reap(source, 5);
    if (log != nullptr)
        std::fclose(log);

    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       1e-6 * static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);

    const SourceSummary& a = s->source_summary;
    const SinkSummary& b = s->sink_summary;
    const bool have = s->source_done.load(std::memory_order_acquire) != 0 &&
                      s->sink_done.load(std::memory_order_acquire) != 0;
    std::string line;
    line += "source=" + o.source.text + " sink=" + o.sink.text;
    line += " channels=" + std::to_string(o.channels);
    line += " rate_in=" + std::to_string(s->source.rate.load()) +
            " period_in=" + std::to_string(s->source.period.load());
    line += " rate_out=" + std::to_string(s->sink.rate.load()) +
            " period_out=" + std::to_string(s->sink.period.load());
    line += " latency=" + std::string(o.latency_ms > 0 ? "fixed" : "auto");
    line += " target_frames=" + std::to_string(l.target.load()) + " capacity=" + std::to_string(s->capacity) +
            " capacity_wanted=" + std::to_string(l.capacity_wanted.load());
    line += " latency_ms=" + format("%.2f", latency_ms());
    if (have) {
        line += " lock_s=" + format("%.2f", a.lock_s);
        line += " ratio_ppm=" + format("%.3f", a.ratio_ppm);
        line += " ratio_jitter_ppm=" + format("%.3f", a.ratio_jitter_ppm);
        line += " underruns=" + std::to_string(a.underruns) + " overruns=" + std::to_string(a.overruns);
        line += " underruns_total=" + std::to_string(a.underruns_total) +
                " overruns_total=" + std::to_string(a.overruns_total);
        line += " lock_losses=" + std::to_string(a.lock_losses);
        line += " fill_min=" + std::to_string(b.fill_min) + " fill_max=" + std::to_string(a.fill_max);
        // What the FIFO held on average, as time: the latency measured.
        const double rate_out = s->sink.rate.load();
        line += " fill_mean=" + format("%.1f", b.fill_mean);
        line += " latency_measured_ms=" +
                format("%.2f", latency_ms() + 1000.0 * b.fill_mean / rate_out);
    }
    line += " xruns_source=" + std::to_string(l.xruns_source.load()) +
            " xruns_sink=" + std::to_string(l.xruns_sink.load());
    if (have) {
        line += " seconds=" + format("%.2f", a.seconds);
        line += " converter_load=" + format("%.5f", a.seconds > 0 ? a.convert_s / a.seconds : 0);
        line += " cpu_s_per_s=" + format("%.5f", a.seconds > 0 ? cpu / a.seconds : 0);
        line += " clipped=" + std::to_string(a.clipped);
        line += " xrun_refills=" + std::to_string(a.xrun_refills);
        line += " lock_mono_ns=" + std::to_string(a.lock_mono_ns) +
                " end_mono_ns=" + std::to_string(a.end_mono_ns);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    unmap_shared(s);
    if (source_status == kStatusBad || sink_status == kStatusBad)
        finish(kStatusBad);
    finish(source_status != kStatusOk || sink_status != kStatusOk ? kStatusLost : kStatusOk);
}
