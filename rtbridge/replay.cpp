// replay.cpp - see replay.h.
#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "sides.h"
#include "sine_fit.h"

namespace rtbridge {

namespace {

// Frames per second of a side: its frame count against its stamps, by
// least squares (times from the first stamp, so that the sums stay exact
// enough in double).
double measured_rate(const StampSide& side)
{
    double n = 0, st = 0, sf = 0, stt = 0, stf = 0;
    double frames = 0;
    const std::int64_t t0 = side.blocks.front().stamp_ns;
    for (const StampBlock& b : side.blocks) {
        const double t = static_cast<double>(b.stamp_ns - t0) * 1e-9;
        n += 1;
        st += t;
        sf += frames;
        stt += t * t;
        stf += t * frames;
        frames += b.frames;
    }
    return (n * stf - st * sf) / (n * stt - st * st);
}

} // namespace

bool load_stamps(const std::string& path, bool source, StampSide& side, std::string& why)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        why = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    char line[256];
    bool header = false;
    bool bad = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        char name[16];
        unsigned rate = 0;
        unsigned period = 0;
        if (std::sscanf(line, "# asrc-bridge stamps %15s %u %u", name, &rate, &period) == 3) {
            side.rate = rate;
            side.period = period;
            header = std::strcmp(name, source ? "source" : "sink") == 0;
            continue;
        }
        if (line[0] == '#')
            continue;
        long long stamp = 0;
        long long entry = 0;
        int frames = 0;
        unsigned xruns = 0;
        if (std::sscanf(line, "%lld %lld %d %u", &stamp, &entry, &frames, &xruns) != 4 || frames <= 0 ||
            frames > 8192) {
            bad = true;
            break;
        }
        side.blocks.push_back(StampBlock{stamp, entry, frames, xruns, source});
    }
    std::fclose(f);
    if (!header || bad || side.rate == 0 || side.period == 0 || side.blocks.size() < 2) {
        why = "'" + path + "' is not the " + (source ? "source" : "sink") + " log of asrc-bridge --stamps";
        return false;
    }
    return true;
}

const char* replay(const StampSide& in, const StampSide& out, const ReplaySettings& settings,
                   ReplayResult& result)
{
    // The two sides' blocks in the order they began.
    std::vector<StampBlock> blocks = in.blocks;
    blocks.insert(blocks.end(), out.blocks.begin(), out.blocks.end());
    std::stable_sort(blocks.begin(), blocks.end(),
                     [](const StampBlock& a, const StampBlock& b) { return a.entry_ns < b.entry_ns; });

    Shared* s = map_shared(1, 1 << 20);
    if (s == nullptr)
        return "cannot map memory for the FIFO";
    s->sink.rate.store(out.rate);
    s->sink.period.store(out.period);
    Producer producer;
    if (const char* why = producer.init(s, in.rate, in.period, out.rate, out.period, settings.latency_ms,
                                        8192, settings.converter)) {
        unmap_shared(s);
        return why;
    }
    Consumer consumer(s);

    const double w_in = 2 * std::numbers::pi * 997.0 / in.rate;
    const double amplitude = 2147483647.0 * std::pow(10.0, -1.0 / 20);
    std::vector<std::int32_t> played;
    std::vector<std::int32_t> buffer(8192);
    std::vector<std::int64_t> played_ns;  // when each consumer block began
    std::vector<std::size_t> played_at;   // and where its frames start in `played`
    std::vector<ReplayResult::Second> seconds;
    std::uint64_t frames_in = 0;
    const std::int64_t t0 = blocks.front().entry_ns;
    for (const StampBlock& b : blocks) {
        const std::int64_t at = settings.entry ? b.entry_ns : b.stamp_ns;
        if (b.source) {
            s->live.xruns_source.store(b.xruns);
            std::int32_t* x = producer.input();
            for (std::int32_t i = 0; i < b.frames; ++i)
                x[i] = static_cast<std::int32_t>(std::lround(
                    amplitude * std::sin(w_in * static_cast<double>(frames_in + static_cast<std::uint64_t>(i)))));
            frames_in += static_cast<std::uint64_t>(b.frames);
            producer.block(x, b.frames, at);
            const auto k = static_cast<std::size_t>(std::max<std::int64_t>(0, b.entry_ns - t0) / 1000000000);
            if (seconds.size() <= k)
                seconds.resize(k + 1);
            ReplayResult::Second& sec = seconds[k];
            sec.ratio_ppm += s->live.ratio_ppm.load(); // summed here, a mean below
            sec.fill_error += s->live.fill_mean.load();
            sec.target = s->live.target.load();
            ++sec.blocks;
        } else {
            consumer.block(buffer.data(), b.frames, at);
            if (s->producing.load() != 0) {
                played_ns.push_back(b.entry_ns);
                played_at.push_back(played.size());
                played.insert(played.end(), buffer.begin(), buffer.begin() + b.frames);
            }
        }
    }
    producer.summarise();
    consumer.summarise();
    result.summary = s->source_summary;
    result.latency_ms = 1000.0 * s->live.target.load() / out.rate + s->delay_ms;
    result.true_ppm =
        (measured_rate(in) / measured_rate(out) / (static_cast<double>(in.rate) / out.rate) - 1) * 1e6;
    result.seconds.clear();
    for (std::size_t k = 0; k < seconds.size(); ++k) {
        ReplayResult::Second sec = seconds[k];
        if (sec.blocks == 0)
            continue;
        sec.second = static_cast<std::int64_t>(k);
        sec.ratio_ppm /= sec.blocks;
        sec.fill_error /= sec.blocks;
        result.seconds.push_back(sec);
    }
    // The tone's 1-s windows from a quarter second after lock.  lock_s is
    // source audio from the producer's first block: on the recording's
    // clock, about when the block holding that frame began.
    result.sinad_1s.clear();
    const double lock_s = result.summary.lock_s;
    if (lock_s >= 0) {
        const auto lock_ns = in.blocks.front().entry_ns + static_cast<std::int64_t>((lock_s + 0.25) * 1e9);
        std::size_t first = 0;
        while (first < played_ns.size() && played_ns[first] < lock_ns)
            ++first;
        const std::size_t second = out.rate;
        const double w_out = 2 * std::numbers::pi * 997.0 / out.rate;
        const std::size_t start = first < played_at.size() ? played_at[first] : played.size();
        for (std::size_t from = start; from + second <= played.size(); from += second)
            result.sinad_1s.push_back(asrc_measure::fit_sine(played, from, from + second, w_out).sinad_db());
        std::sort(result.sinad_1s.begin(), result.sinad_1s.end());
    }
    unmap_shared(s);
    return nullptr;
}

} // namespace rtbridge
