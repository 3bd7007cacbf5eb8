// endpoints.cpp - see endpoints.h.  JACK where libjack was found, ALSA
// where libasound was.
#include "endpoints.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef ASRC_HAVE_JACK
#include <jack/jack.h>
#endif
#ifdef ASRC_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

#include "sides.h"

namespace rtbridge {

namespace {

// Blocks are processed in pieces of at most this many frames.
constexpr std::int32_t kMaxBlock = 8192;

bool stopping(const Shared* s)
{
    return s->stop.load(std::memory_order_relaxed) != 0;
}

void publish(EndpointInfo& info, std::uint32_t rate, std::uint32_t period)
{
    info.rate.store(rate, std::memory_order_relaxed);
    info.period.store(period, std::memory_order_relaxed);
    info.ready.store(1, std::memory_order_release);
}

const char* role_name(bool source)
{
    return source ? "source" : "sink";
}

// The producer's setup, common to both kinds of source.
int start_producer(Producer& p, const Options& o, Shared* s, std::uint32_t rate,
                   std::uint32_t period)
{
    const std::uint32_t rate_out = s->sink.rate.load(std::memory_order_acquire);
    const std::uint32_t period_out = s->sink.period.load(std::memory_order_relaxed);
    const char* why = p.init(s, rate, period, rate_out, period_out, o.latency_ms, kMaxBlock, o.converter);
    if (why != nullptr) {
        std::fprintf(stderr, "asrc-bridge: %s (%u Hz / %u frames into %u Hz / %u frames)\n", why,
                     rate, period, rate_out, period_out);
        return kStatusBad;
    }
    return kStatusOk;
}

// --stamps: this side's log, made before the audio starts and written
// once it has stopped (a file that cannot be written is said, and the
// bridge's status is its own).
void record_stamps(const Options& o, bool source, StampLog& log, Producer& producer,
                   Consumer& consumer, std::uint32_t rate, std::uint32_t period)
{
    if (o.stamps.empty())
        return;
    log.reserve(stamp_log_blocks(o.seconds, rate, period));
    if (source)
        producer.record(&log);
    else
        consumer.record(&log);
}

void write_stamps(const Options& o, bool source, const StampLog& log, std::uint32_t rate,
                  std::uint32_t period)
{
    if (o.stamps.empty())
        return;
    const std::string path = o.stamps + (source ? ".source" : ".sink");
    if (!log.write(path, role_name(source), rate, period))
        std::fprintf(stderr, "asrc-bridge: cannot write '%s': %s\n", path.c_str(), std::strerror(errno));
}

#ifdef ASRC_HAVE_JACK

struct JackSide {
    Shared* shared = nullptr;
    bool source = false;
    jack_client_t* client = nullptr;
    std::vector<jack_port_t*> ports;
    Producer* producer = nullptr;
    Consumer* consumer = nullptr;
    std::vector<std::int32_t> interleaved;
    std::atomic<int> lost{0};
};

// The start of the present cycle on CLOCK_MONOTONIC: the server's own
// estimate (its delay-locked loop on the period, free of this callback's
// lateness), carried over from JACK's clock by how long ago it was.  JACK
// gives whole microseconds; the carrying over adds the sub-microsecond
// part of the moment this callback ran, which varies from cycle to cycle
// and so dithers the rounding (rounded without it, the stamps repeat a
// pattern with the period that the servo's lines pass on to the ratio:
// sides_test measures that with 1-us stamps, 72 dB instead of 94).  Two
// alternatives were measured between the dummy servers and left: the
// callback's own entry time (0.1-s SINAD median 65 dB against 97, ratio
// jitter 1100 ppm against 245, at 24 and 26 server xruns a minute), and
// these times smoothed by a delay-locked loop, which turns the dummy
// server's lost time from a step into a ramp of the rate (87 dB, 605 ppm).
std::int64_t jack_cycle_ns(jack_client_t* client)
{
    jack_nframes_t frames = 0;
    jack_time_t start = 0;
    jack_time_t next = 0;
    float period_us = 0;
    const std::int64_t now = monotonic_ns();
    if (jack_get_cycle_times(client, &frames, &start, &next, &period_us) != 0)
        return now;
    const jack_time_t jack_now = jack_get_time();
    return jack_now >= start ? now - static_cast<std::int64_t>(jack_now - start) * 1000 : now;
}

int jack_process(jack_nframes_t nframes, void* arg)
{
    auto* j = static_cast<JackSide*>(arg);
    const std::int64_t cycle_ns = jack_cycle_ns(j->client);
    const auto channels = static_cast<std::size_t>(j->shared->channels);
    for (jack_nframes_t done = 0; done < nframes;) {
        const auto n = static_cast<std::int32_t>(std::min<jack_nframes_t>(nframes - done, kMaxBlock));
        if (j->source) {
            if (j->producer == nullptr)
                return 0;
            std::int32_t* to = j->producer->input();
            for (std::size_t c = 0; c < channels; ++c) {
                const auto* in = static_cast<const float*>(jack_port_get_buffer(j->ports[c], nframes)) + done;
                for (std::int32_t i = 0; i < n; ++i)
                    to[static_cast<std::size_t>(i) * channels + c] = float_to_q31(in[i]);
            }
            j->producer->block(to, n, cycle_ns);
        } else {
            j->consumer->block(j->interleaved.data(), n, cycle_ns);
            for (std::size_t c = 0; c < channels; ++c) {
                auto* out = static_cast<float*>(jack_port_get_buffer(j->ports[c], nframes)) + done;
                for (std::int32_t i = 0; i < n; ++i)
                    out[i] = static_cast<float>(j->interleaved[static_cast<std::size_t>(i) * channels + c]) *
                             (1.0f / 2147483648.0f);
            }
        }
        done += static_cast<jack_nframes_t>(n);
    }
    return 0;
}

int jack_xrun(void* arg)
{
    auto* j = static_cast<JackSide*>(arg);
    auto& counter = j->source ? j->shared->live.xruns_source : j->shared->live.xruns_sink;
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return 0;
}

void jack_gone(jack_status_t, const char*, void* arg)
{
    static_cast<JackSide*>(arg)->lost.store(1, std::memory_order_relaxed);
}

int run_jack(const Options& o, Shared* s, bool source)
{
    const EndpointSpec& e = source ? o.source : o.sink;
    JackSide j;
    j.shared = s;
    j.source = source;
    jack_status_t status{};
    const auto flags = static_cast<jack_options_t>(
        JackNoStartServer | (e.name.empty() ? 0 : JackServerName));
    j.client = e.name.empty() ? jack_client_open(o.name.c_str(), flags, &status)
                              : jack_client_open(o.name.c_str(), flags, &status, e.name.c_str());
    if (j.client == nullptr) {
        std::fprintf(stderr, "asrc-bridge: cannot open a client on the JACK server '%s' (%s): "
                             "is it running?\n",
                     e.name.empty() ? "default" : e.name.c_str(), role_name(source));
        return kStatusLost;
    }
    const std::uint32_t rate = jack_get_sample_rate(j.client);
    const std::uint32_t period = jack_get_buffer_size(j.client);
    for (int c = 0; c < s->channels; ++c) {
        char port[32];
        std::snprintf(port, sizeof port, "%s_%d", source ? "in" : "out", c + 1);
        jack_port_t* p = jack_port_register(j.client, port, JACK_DEFAULT_AUDIO_TYPE,
                                            source ? JackPortIsInput : JackPortIsOutput, 0);
        if (p == nullptr) {
            std::fprintf(stderr, "asrc-bridge: cannot register the port %s\n", port);
            jack_client_close(j.client);
            return kStatusLost;
        }
        j.ports.push_back(p);
    }
    Producer producer;
    Consumer consumer(s);
    if (source) {
        const int st = start_producer(producer, o, s, rate, period);
        if (st != kStatusOk) {
            jack_client_close(j.client);
            return st;
        }
        j.producer = &producer;
    } else {
        j.consumer = &consumer;
        j.interleaved.assign(static_cast<std::size_t>(kMaxBlock) * static_cast<std::size_t>(s->channels), 0);
    }
    StampLog stamps;
    record_stamps(o, source, stamps, producer, consumer, rate, period);
    jack_set_process_callback(j.client, jack_process, &j);
    jack_set_xrun_callback(j.client, jack_xrun, &j);
    jack_on_info_shutdown(j.client, jack_gone, &j);
    if (jack_activate(j.client) != 0) {
        std::fprintf(stderr, "asrc-bridge: cannot activate the JACK client\n");
        jack_client_close(j.client);
        return kStatusLost;
    }
    const auto& wanted = source ? o.connect_in : o.connect_out;
    for (std::size_t c = 0; c < wanted.size(); ++c) {
        const char* ours = jack_port_name(j.ports[c]);
        const int r = source ? jack_connect(j.client, wanted[c].c_str(), ours)
                             : jack_connect(j.client, ours, wanted[c].c_str());
        if (r != 0 && r != EEXIST) {
            std::fprintf(stderr, "asrc-bridge: cannot connect %s %s %s\n",
                         source ? wanted[c].c_str() : ours, source ? "to" : "to",
                         source ? ours : wanted[c].c_str());
            jack_deactivate(j.client);
            jack_client_close(j.client);
            return kStatusBad;
        }
    }
    publish(source ? s->source : s->sink, rate, period);

    while (!stopping(s) && j.lost.load(std::memory_order_relaxed) == 0)
        usleep(20000);
    const bool lost = j.lost.load(std::memory_order_relaxed) != 0;
    if (lost)
        std::fprintf(stderr, "asrc-bridge: the JACK server '%s' (%s) went away\n",
                     e.name.empty() ? "default" : e.name.c_str(), role_name(source));
    else
        jack_deactivate(j.client);
    if (source) {
        producer.summarise();
        s->source_done.store(1, std::memory_order_release);
    } else {
        consumer.summarise();
        s->sink_done.store(1, std::memory_order_release);
    }
    if (!lost)
        jack_client_close(j.client);
    write_stamps(o, source, stamps, rate, period);
    return lost ? kStatusLost : kStatusOk;
}

#endif // ASRC_HAVE_JACK

#ifdef ASRC_HAVE_ALSA

// The loop's thread at a real-time priority where the system allows it
// (as JACK's clients are); without it the bridge runs all the same.
void try_realtime()
{
    sched_param p{};
    p.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
}

struct Pcm {
    snd_pcm_t* pcm = nullptr;
    ~Pcm()
    {
        if (pcm != nullptr)
            snd_pcm_close(pcm);
    }
};

int alsa_fail(const char* what, const std::string& device, int err, int status)
{
    std::fprintf(stderr, "asrc-bridge: %s '%s': %s\n", what, device.c_str(), snd_strerror(err));
    return status;
}

int run_alsa(const Options& o, Shared* s, bool source)
{
    const EndpointSpec& e = source ? o.source : o.sink;
    Pcm h;
    int err = snd_pcm_open(&h.pcm, e.name.c_str(),
                           source ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0)
        return alsa_fail("cannot open the ALSA device", e.name, err, kStatusLost);
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(h.pcm, hw);
    if ((err = snd_pcm_hw_params_set_access(h.pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(h.pcm, hw, SND_PCM_FORMAT_S16)) < 0)
        return alsa_fail("no interleaved 16-bit access on", e.name, err, kStatusBad);
    if ((err = snd_pcm_hw_params_set_channels(h.pcm, hw, static_cast<unsigned>(s->channels))) < 0)
        return alsa_fail("the number of channels is not available on", e.name, err, kStatusBad);
    unsigned rate = o.rate;
    if ((err = snd_pcm_hw_params_set_rate_near(h.pcm, hw, &rate, nullptr)) < 0)
        return alsa_fail("no rate near --rate on", e.name, err, kStatusBad);
    snd_pcm_uframes_t period = o.period;
    snd_pcm_uframes_t buffer = 4 * period;
    if ((err = snd_pcm_hw_params_set_period_size_near(h.pcm, hw, &period, nullptr)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(h.pcm, hw, &buffer)) < 0 ||
        (err = snd_pcm_hw_params(h.pcm, hw)) < 0)
        return alsa_fail("cannot set the period and buffer of", e.name, err, kStatusBad);
    snd_pcm_hw_params_get_period_size(hw, &period, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    if (rate != o.rate)
        std::fprintf(stderr, "asrc-bridge: '%s' runs at %u Hz, not %u\n", e.name.c_str(), rate, o.rate);
    if (period > static_cast<snd_pcm_uframes_t>(kMaxBlock))
        return alsa_fail("the period is too long on", e.name, -EINVAL, kStatusBad);
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(h.pcm, sw);
    snd_pcm_sw_params_set_avail_min(h.pcm, sw, period);
    snd_pcm_sw_params_set_start_threshold(h.pcm, sw, source ? 1 : buffer - period);
    if ((err = snd_pcm_sw_params(h.pcm, sw)) < 0)
        return alsa_fail("cannot set the start threshold of", e.name, err, kStatusBad);

    const auto channels = static_cast<std::size_t>(s->channels);
    const auto n = static_cast<std::int32_t>(period);
    std::vector<std::int16_t> frames(static_cast<std::size_t>(n) * channels, 0);
    std::vector<std::int32_t> wide(static_cast<std::size_t>(n) * channels, 0); // Q1.31
    Producer producer;
    Consumer consumer(s);
    if (source) {
        const int st = start_producer(producer, o, s, rate, static_cast<std::uint32_t>(period));
        if (st != kStatusOk)
            return st;
    }
    StampLog stamps;
    record_stamps(o, source, stamps, producer, consumer, rate, static_cast<std::uint32_t>(period));
    try_realtime();
    auto& xruns = source ? s->live.xruns_source : s->live.xruns_sink;
    // Playback starts from a buffer of silence less one period, so that the
    // FIFO's reads come once per period from the start.
    auto prime = [&] {
        std::vector<std::int16_t> silence(static_cast<std::size_t>(buffer - period) * channels, 0);
        return snd_pcm_writei(h.pcm, silence.data(), buffer - period);
    };
    // A capture stream is started by hand: the loop waits for a period
    // before it reads, and a stream that is only prepared never has one.
    if ((err = source ? snd_pcm_start(h.pcm) : static_cast<int>(prime())) < 0)
        return alsa_fail("cannot start", e.name, err, kStatusLost);
    publish(source ? s->source : s->sink, rate, static_cast<std::uint32_t>(period));

    int status = kStatusOk;
    int timeouts = 0;
    // Each block is stamped with the moment its transfer returned, as it
    // is: the servo's lines run along the earliest of them, so a late
    // wake-up or a burst of periods handed over at once moves nothing.  A
    // 0.5-Hz delay-locked loop in front of them (measured and taken out)
    // starts with a transient of its own that sets the producer's line off
    // by hundreds to thousands of ppm for ten seconds and more, and passes
    // the plugin's bursts on as a slow wobble: between the dummy servers,
    // 58 to 110 ppm of ratio jitter on a plugin sink, 6 to 13 without it
    // (docs/bridge.md).
    while (!stopping(s)) {
        const int ready = snd_pcm_wait(h.pcm, 1000);
        if (ready == 0) {
            if (++timeouts >= 3) { // three seconds without a period: gone
                status = alsa_fail("no audio for 3 s from", e.name, -ETIMEDOUT, kStatusLost);
                break;
            }
            continue;
        }
        timeouts = 0;
        snd_pcm_sframes_t got = 0;
        if (ready > 0) {
            if (source) {
                got = snd_pcm_readi(h.pcm, frames.data(), period);
                if (got > 0) {
                    // S16 on the wire, Q1.31 from here on: the top 16 bits.
                    std::int32_t* to = producer.input();
                    for (std::size_t i = 0; i < static_cast<std::size_t>(got) * channels; ++i)
                        to[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(frames[i]) << 16);
                    producer.block(to, static_cast<std::int32_t>(got), monotonic_ns());
                }
            } else {
                consumer.block(wide.data(), n, monotonic_ns());
                for (std::size_t i = 0; i < wide.size(); ++i)
                    frames[i] = q31_to_s16(wide[i]);
                got = snd_pcm_writei(h.pcm, frames.data(), period);
            }
        } else {
            got = ready;
        }
        if (got < 0) {
            const int e2 = snd_pcm_recover(h.pcm, static_cast<int>(got), 1);
            if (e2 < 0) {
                status = alsa_fail("lost the ALSA device", e.name, static_cast<int>(got), kStatusLost);
                break;
            }
            xruns.store(xruns.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            if ((source ? snd_pcm_start(h.pcm) : prime()) < 0) {
                status = alsa_fail("lost the ALSA device", e.name, static_cast<int>(got), kStatusLost);
                break;
            }
        }
    }
    if (status == kStatusOk)
        snd_pcm_drop(h.pcm);
    if (source) {
        producer.summarise();
        s->source_done.store(1, std::memory_order_release);
    } else {
        consumer.summarise();
        s->sink_done.store(1, std::memory_order_release);
    }
    write_stamps(o, source, stamps, rate, static_cast<std::uint32_t>(period));
    return status;
}

#endif // ASRC_HAVE_ALSA

int run(const Options& o, Shared* s, bool source)
{
    const EndpointSpec& e = source ? o.source : o.sink;
    if (e.kind == EndpointSpec::Kind::jack) {
#ifdef ASRC_HAVE_JACK
        return run_jack(o, s, source);
#else
        std::fprintf(stderr, "asrc-bridge: built without JACK: '%s' cannot be opened\n", e.text.c_str());
        return kStatusBad;
#endif
    }
#ifdef ASRC_HAVE_ALSA
    return run_alsa(o, s, source);
#else
    std::fprintf(stderr, "asrc-bridge: built without ALSA: '%s' cannot be opened\n", e.text.c_str());
    return kStatusBad;
#endif
}

} // namespace

int run_source(const Options& options, Shared* shared)
{
    return run(options, shared, true);
}

int run_sink(const Options& options, Shared* shared)
{
    return run(options, shared, false);
}

} // namespace rtbridge
