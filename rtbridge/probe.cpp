// probe.cpp - asrc-jack-probe: the tests' own JACK client, a tone source
// or a recorder, that also logs its server's clock.
//
//   asrc-jack-probe tone SERVER NAME CHANNELS SECONDS LOG [PORT,...]
//   asrc-jack-probe record SERVER NAME CHANNELS SECONDS LOG RAW [PORT,...]
//
// tone: ports NAME:out_1..N, channel c a sine of 997 * (1 + 0.5 c) Hz at
// -1 dBFS (computed from the frame count in double precision), connected
// to the PORTs given.  record: ports NAME:in_1..N, connected from the
// PORTs given; at the end the frames go to RAW as interleaved 32-bit
// floats.  Both write to LOG, at the end, one line per process cycle:
// CLOCK_MONOTONIC in ns at the cycle's callback and the server's frames
// before it; then a line "# xrun T" for each late cycle the server
// reported (T its CLOCK_MONOTONIC time in ns, the first 4096), and last
// "# xruns K rate R".  They run SECONDS seconds or until
// SIGINT / SIGTERM, and print "ready" on standard output once active.
// Status 0, 1 if the server could not be used or went away, 2 for a bad
// command line.
#include <jack/jack.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_stop{0};
void on_signal(int)
{
    g_stop.store(1);
}

struct Probe {
    bool tone = false;
    int channels = 0;
    std::vector<jack_port_t*> ports;
    double rate = 0;
    std::uint64_t frames = 0;
    std::vector<std::int64_t> log_ns;     // reserved up front: no allocation in the callback
    std::vector<std::uint64_t> log_frames;
    std::size_t logged = 0;
    std::vector<float> recording;         // reserved up front
    std::size_t recorded = 0;
    std::atomic<unsigned> xruns{0};
    std::vector<std::int64_t> xrun_ns = std::vector<std::int64_t>(4096, 0);
    std::atomic<int> lost{0};
};

int process(jack_nframes_t n, void* arg)
{
    auto* p = static_cast<Probe*>(arg);
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (p->logged < p->log_ns.size()) {
        p->log_ns[p->logged] = static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
        p->log_frames[p->logged] = p->frames;
        ++p->logged;
    }
    const auto channels = static_cast<std::size_t>(p->channels);
    for (std::size_t c = 0; c < channels; ++c) {
        auto* buf = static_cast<float*>(jack_port_get_buffer(p->ports[c], n));
        if (p->tone) {
            const double w = 2 * M_PI * 997.0 * (1 + 0.5 * static_cast<double>(c)) / p->rate;
            const double a = std::pow(10.0, -1.0 / 20);
            for (jack_nframes_t i = 0; i < n; ++i) {
                // The phase from the frame count modulo a whole number of
                // periods would drift; fmod of the product is exact enough
                // over hours in double precision.
                const double k = static_cast<double>(p->frames + i);
                buf[i] = static_cast<float>(a * std::sin(std::fmod(w * k, 2 * M_PI)));
            }
        } else {
            for (jack_nframes_t i = 0; i < n; ++i) {
                const std::size_t at = (p->recorded + i) * channels + c;
                if (at < p->recording.size())
                    p->recording[at] = buf[i];
            }
        }
    }
    if (!p->tone)
        p->recorded += n;
    p->frames += n;
    return 0;
}

int on_xrun(void* arg)
{
    auto* p = static_cast<Probe*>(arg);
    const unsigned n = p->xruns.load();
    if (n < p->xrun_ns.size()) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        p->xrun_ns[n] = static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    }
    p->xruns.store(n + 1);
    return 0;
}

void on_gone(jack_status_t, const char*, void* arg)
{
    static_cast<Probe*>(arg)->lost.store(1);
}

std::vector<std::string> split(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < s.size()) {
        auto comma = s.find(',', from);
        if (comma == std::string::npos)
            comma = s.size();
        out.push_back(s.substr(from, comma - from));
        from = comma + 1;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool tone = mode == "tone";
    const int fixed = tone ? 7 : 8;
    if ((!tone && mode != "record") || argc < fixed || argc > fixed + 1) {
        std::fprintf(stderr, "usage: asrc-jack-probe tone SERVER NAME CHANNELS SECONDS LOG [PORT,...]\n"
                             "       asrc-jack-probe record SERVER NAME CHANNELS SECONDS LOG RAW [PORT,...]\n");
        return 2;
    }
    Probe p;
    p.tone = tone;
    p.channels = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    const std::string log_path = argv[6];
    const std::string raw_path = tone ? "" : argv[7];
    const std::vector<std::string> connect = argc > fixed ? split(argv[fixed]) : std::vector<std::string>{};
    if (p.channels < 1 || p.channels > 64 || !(seconds > 0) || seconds > 3600) {
        std::fprintf(stderr, "asrc-jack-probe: bad channels or seconds\n");
        return 2;
    }
    setenv("JACK_NO_START_SERVER", "1", 1);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(
        argv[3], static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName),
        &status, argv[2]);
    if (client == nullptr) {
        std::fprintf(stderr, "asrc-jack-probe: no client '%s' on server '%s'\n", argv[3], argv[2]);
        return 1;
    }
    p.rate = jack_get_sample_rate(client);
    const auto cycles = static_cast<std::size_t>((seconds + 5) * p.rate / 16);
    p.log_ns.assign(cycles, 0);
    p.log_frames.assign(cycles, 0);
    if (!tone)
        p.recording.assign(static_cast<std::size_t>((seconds + 5) * p.rate) *
                               static_cast<std::size_t>(p.channels), 0.0f);
    for (int c = 0; c < p.channels; ++c) {
        const std::string name = (tone ? "out_" : "in_") + std::to_string(c + 1);
        p.ports.push_back(jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                             tone ? JackPortIsOutput : JackPortIsInput, 0));
    }
    jack_set_process_callback(client, process, &p);
    jack_set_xrun_callback(client, on_xrun, &p);
    jack_on_info_shutdown(client, on_gone, &p);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    if (jack_activate(client) != 0) {
        std::fprintf(stderr, "asrc-jack-probe: cannot activate\n");
        return 1;
    }
    for (std::size_t c = 0; c < connect.size() && c < p.ports.size(); ++c) {
        const char* ours = jack_port_name(p.ports[c]);
        if (tone ? jack_connect(client, ours, connect[c].c_str())
                 : jack_connect(client, connect[c].c_str(), ours)) {
            std::fprintf(stderr, "asrc-jack-probe: cannot connect %s\n", connect[c].c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        usleep(20000);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double t = static_cast<double>(now.tv_sec - start.tv_sec) +
                         1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec);
        if (g_stop.load() != 0 || p.lost.load() != 0 || t >= seconds)
            break;
    }
    const bool lost = p.lost.load() != 0;
    if (!lost) {
        jack_deactivate(client);
        jack_client_close(client);
    }
    std::FILE* f = std::fopen(log_path.c_str(), "w");
    if (f == nullptr)
        return 1;
    for (std::size_t i = 0; i < p.logged; ++i)
        std::fprintf(f, "%lld %llu\n", static_cast<long long>(p.log_ns[i]),
                     static_cast<unsigned long long>(p.log_frames[i]));
    for (unsigned i = 0; i < p.xruns.load() && i < p.xrun_ns.size(); ++i)
        std::fprintf(f, "# xrun %lld\n", static_cast<long long>(p.xrun_ns[i]));
    std::fprintf(f, "# xruns %u rate %.0f\n", p.xruns.load(), p.rate);
    std::fclose(f);
    if (!tone) {
        std::FILE* r = std::fopen(raw_path.c_str(), "wb");
        if (r == nullptr)
            return 1;
        const std::size_t n = std::min(p.recorded * static_cast<std::size_t>(p.channels), p.recording.size());
        std::fwrite(p.recording.data(), sizeof(float), n, r);
        std::fclose(r);
    }
    // Without libjack's static destructors, which try to reach a server.
    std::fflush(nullptr);
    _exit(lost ? 1 : 0);
}
