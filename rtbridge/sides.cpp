// sides.cpp - see sides.h.
#include "sides.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace rtbridge {

namespace {

// Windows in band in a row before the bridge calls itself locked: one
// second, so that a pass through the band while the loop acquires is not
// taken for a lock.
constexpr int kLockWindows = 10;


} // namespace

std::uint32_t stamp_us(std::int64_t ns)
{
    // Modulo 2^32 ticks of kClockHz: the servo takes the timer as wrapping.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns / 10));
}

std::int64_t monotonic_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void StampLog::reserve(std::size_t blocks)
{
    records_.assign(blocks, Record{});
    used_ = 0;
    dropped_ = 0;
}

bool StampLog::write(const std::string& path, const char* side, std::uint32_t rate,
                     std::uint32_t period) const
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    std::fprintf(f, "# asrc-bridge stamps %s %u %u\n", side, rate, period);
    for (std::size_t i = 0; i < used_; ++i) {
        const Record& r = records_[i];
        std::fprintf(f, "%lld %lld %d %u\n", static_cast<long long>(r.stamp_ns),
                     static_cast<long long>(r.entry_ns), r.frames, r.xruns);
    }
    std::fprintf(f, "# dropped %llu\n", static_cast<unsigned long long>(dropped_));
    const bool ok = std::ferror(f) == 0;
    return std::fclose(f) == 0 && ok;
}

std::size_t stamp_log_blocks(double seconds, std::uint32_t rate, std::uint32_t period)
{
    const double s = seconds > 0 ? seconds : 3600;
    const double blocks = std::ceil(s * rate / std::max<std::uint32_t>(1, period)) + 1024;
    return static_cast<std::size_t>(std::min(blocks, double{1 << 22}));
}

const char* Producer::init(Shared* shared, std::uint32_t rate_in, std::uint32_t period_in,
                           std::uint32_t rate_out, std::uint32_t period_out, double latency_ms,
                           std::int32_t max_block, ConverterKind kind)
{
    shared_ = shared;
    rate_in_ = rate_in;
    nominal_ = asrc_poly_ratio(rate_in, rate_out);
    if (nominal_ == 0)
        return "the two rates are too far apart: the converter takes 0.5 to 2 input frames per output frame";
    nominal_exact_ = static_cast<double>(rate_in) / rate_out;
    const Sizing z = choose_sizing(rate_in, period_in, rate_out, period_out, latency_ms, nominal_);
    if (z.capacity == 0)
        return "the rate controller refuses these rates and periods";
    if (z.capacity > shared->ring_frames)
        return "--latency-ms is too large for the FIFO";
    block_in_ = z.block_in;
    const int channels = shared->channels;
    if (const char* why = converter_.init(kind, channels, nominal_, max_block))
        return why;
    if (!servo_.init(rate_out, z, nominal_))
        return "the rate controller refuses these rates, periods or latency";
    if (asrc_fifo_init32(&shared->fifo, shared->ring(), z.capacity, channels) != 0)
        return "the FIFO refuses its size";
    // The servo then learns the sink's clock from the earliest of its reads
    // between two source cycles, not the last one's.
    asrc_fifo_set_read_period(&shared->fifo, servo_.read_period());
    input_.assign(static_cast<std::size_t>(max_block) * static_cast<std::size_t>(channels), 0);
    out_.assign(static_cast<std::size_t>(converter_.max_out()) * static_cast<std::size_t>(channels),
                0);
    ratio_ = nominal_;
    rate_out_ = rate_out;
    period_out_ = period_out;
    window_frames_ = std::max<std::uint32_t>(1, rate_in / 10);
    shared->capacity = z.capacity;
    shared->delay_ms = 1000.0 * converter_.delay() / rate_in;
    publish_target();
    return nullptr;
}

void Producer::publish_target()
{
    Live& live = shared_->live;
    live.target.store(servo_.target(), std::memory_order_relaxed);
    live.capacity_wanted.store(servo_.capacity_wanted(), std::memory_order_relaxed);
}

void Producer::block(const std::int32_t* in, std::int32_t n, std::int64_t cycle_ns)
{
    Live& live = shared_->live;
    asrc_fifo* fifo = &shared_->fifo;
    const auto channels = static_cast<std::size_t>(shared_->channels);

    const std::uint64_t index = frames_in_ / window_frames_;
    if (index != window_index_) {
        close_window();
        window_index_ = index;
    }

    const std::int64_t t0 = monotonic_ns();
    const std::uint32_t ran_at = ratio_;
    const std::int32_t nout = converter_.process(in, n, out_.data());
    convert_ns_ += static_cast<std::uint64_t>(monotonic_ns() - t0);

    if (servo_.muted())
        std::fill(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(nout) * shared_->channels, 0);
    const std::int32_t dropped = std::min(withhold_, nout);
    written_ += static_cast<std::uint64_t>(
        asrc_fifo_write32(fifo, out_.data() + static_cast<std::size_t>(dropped) * channels, nout - dropped));

    // An underrun (the consumer's) or an overrun: refill at once.  So too
    // after a server's xrun: a server that ran late has lost time (a
    // dummy server catches up only in part) or a device has skipped, the
    // audio had its gap already, and the FIFO holds up to a period more or
    // less than it should.  Pulled back through the ratio, that would bend
    // the pitch by hundreds of ppm for seconds; refilled, it is gone in
    // tens of milliseconds, and the loop keeps its frequency estimate.
    const std::uint32_t xruns = live.xruns_source.load(std::memory_order_relaxed) +
                                live.xruns_sink.load(std::memory_order_relaxed);
    if (stamps_ != nullptr)
        stamps_->add(cycle_ns, t0, n, xruns);
    const asrc_fifo_counts counts = asrc_fifo_get_counts(fifo);
    if (xruns != xruns_seen_) {
        xruns_seen_ = xruns;
        ++xrun_refills_;
        servo_.restart();
    } else if (counts.underruns != seen_.underruns || counts.overruns != seen_.overruns) {
        servo_.restart();
    }
    window_.underruns += counts.underruns - seen_.underruns;
    window_.overruns += counts.overruns - seen_.overruns;
    seen_ = counts;

    ratio_ = servo_.update(fifo, converter_.position(), stamp_us(cycle_ns), n);
    converter_.set_ratio(ratio_);
    const std::int32_t refill = servo_.refill();
    if (refill > 0)
        written_ += static_cast<std::uint64_t>(asrc_fifo_write_silence(fifo, refill));
    withhold_ = refill < 0 ? -refill : 0;
    // The refill leaves the mean fill within a few frames of the target,
    // and the correction, limited to 40 ppm, takes that in over tens of
    // seconds: 5 frames left bend the mean ratio of the next minute by 2
    // ppm.  So at the first update of the loop, while what the FIFO holds
    // is still the refill's silence, the rest is trimmed here: silence
    // added, or the first frames of the audio dropped (it starts a few
    // frames later, without a jump).
    if (servo_.refilling()) {
        trimmed_ = false;
    } else if (!trimmed_) {
        trimmed_ = true;
        const auto e = static_cast<std::int32_t>(std::lround(servo_.fill_error()));
        if (e < 0)
            written_ += static_cast<std::uint64_t>(asrc_fifo_write_silence(fifo, -e));
        else
            withhold_ += e;
    }
    if (first_) {
        shared_->producing.store(1, std::memory_order_release);
        first_ = false;
    }

    const double ppm = (ran_at / 1073741824.0 / nominal_exact_ - 1) * 1e6;
    Window& w = window_;
    if (w.count == 0)
        w.first_ns = t0;
    w.last_ns = t0;
    w.ratio_sum += ppm;
    w.ratio_sq += ppm * ppm;
    const std::int32_t target = servo_.target();
    if (target != live.target.load(std::memory_order_relaxed))
        publish_target();
    w.fill_sum += servo_.fill_error();
    ++w.count;
    const std::int32_t top = asrc_fifo_fill(fifo) - target;
    w.fill_max = w.any ? std::max(w.fill_max, top) : top;
    w.any = true;
    w.refilling = w.refilling || servo_.refilling();

    frames_in_ += static_cast<std::uint64_t>(n);
    live.in_frames.store(frames_in_, std::memory_order_relaxed);
    live.convert_ns.store(convert_ns_, std::memory_order_relaxed);
}

void Producer::close_window()
{
    Live& live = shared_->live;
    const Window& w = window_;
    const bool in_band = w.count > 0 && !w.refilling &&
                         std::fabs(w.fill_sum / static_cast<double>(w.count)) <= block_in_;
    const bool locked = lock_s_ >= 0;
    if (!locked && !in_band) {
        run_ = Window{};
        run_windows_ = 0;
        run_start_ = -1;
    } else {
        Window& into = locked ? since_lock_ : run_;
        if (!locked && run_windows_ == 0)
            run_start_ = static_cast<double>(window_index_ * window_frames_) / rate_in_;
        into.ratio_sum += w.ratio_sum;
        into.ratio_sq += w.ratio_sq;
        into.fill_sum += w.fill_sum;
        into.count += w.count;
        into.fill_max = into.any ? std::max(into.fill_max, w.fill_max) : w.fill_max;
        into.any = into.any || w.any;
        into.underruns += w.underruns;
        into.overruns += w.overruns;
        if (into.first_ns == 0)
            into.first_ns = w.first_ns;
        into.last_ns = w.last_ns;
        if (locked) {
            lock_losses_ += in_band ? 0 : 1;
        } else if (++run_windows_ >= kLockWindows) {
            lock_s_ = run_start_;
            since_lock_ = run_;
            live.lock_epoch.store(live.lock_epoch.load(std::memory_order_relaxed) + 1,
                                  std::memory_order_relaxed);
            live.locked.store(1, std::memory_order_relaxed);
        }
    }
    if (w.count > 0) {
        const double count = static_cast<double>(w.count);
        live.ratio_ppm.store(w.ratio_sum / count, std::memory_order_relaxed);
        live.fill_mean.store(w.fill_sum / count, std::memory_order_relaxed);
        live.fill_max.store(w.fill_max, std::memory_order_relaxed);
    }
    live.mode.store(servo_.mode(), std::memory_order_relaxed);
    live.shift.store(servo_.shift(), std::memory_order_relaxed);
    window_ = Window{};
}

void Producer::summarise() const
{
    SourceSummary& s = shared_->source_summary;
    const Window& l = since_lock_;
    s.lock_s = lock_s_;
    if (lock_s_ >= 0 && l.count > 0) {
        const double count = static_cast<double>(l.count);
        const double mean = l.ratio_sum / count;
        s.ratio_ppm = mean;
        s.ratio_jitter_ppm = std::sqrt(std::max(0.0, l.ratio_sq / count - mean * mean));
        s.lock_mono_ns = l.first_ns;
        s.end_mono_ns = l.last_ns;
        s.underruns = l.underruns;
        s.overruns = l.overruns;
        s.fill_max = l.fill_max;
        s.blocks_after_lock = static_cast<std::uint64_t>(l.count);
        s.lock_losses = lock_losses_;
    }
    const asrc_fifo_counts c = asrc_fifo_get_counts(&shared_->fifo);
    s.underruns_total = c.underruns;
    s.overruns_total = c.overruns;
    s.seconds = static_cast<double>(frames_in_) / rate_in_;
    s.convert_s = static_cast<double>(convert_ns_) * 1e-9;
    s.clipped = converter_.clipped();
    s.xrun_refills = xrun_refills_;
}

void Consumer::block(std::int32_t* out, std::int32_t n, std::int64_t cycle_ns)
{
    Live& live = shared_->live;
    if (shared_->producing.load(std::memory_order_acquire) == 0) {
        std::memset(out, 0,
                    static_cast<std::size_t>(n) * static_cast<std::size_t>(shared_->channels) *
                        sizeof(std::int32_t));
        return;
    }
    if (stamps_ != nullptr)
        stamps_->add(cycle_ns, monotonic_ns(), n, 0);
    const std::int32_t before = asrc_fifo_fill(&shared_->fifo);
    asrc_fifo_read32_at(&shared_->fifo, out, n, stamp_us(cycle_ns));
    frames_ += static_cast<std::uint64_t>(n);
    const std::int32_t target = live.target.load(std::memory_order_relaxed);
    const std::int32_t low = asrc_fifo_fill(&shared_->fifo) - target;
    if (low < live.fill_low.load(std::memory_order_relaxed))
        live.fill_low.store(low, std::memory_order_relaxed);
    if (live.locked.load(std::memory_order_relaxed) != 0) {
        const std::uint32_t epoch = live.lock_epoch.load(std::memory_order_relaxed);
        if (epoch != epoch_) {
            epoch_ = epoch;
            min_since_lock_ = low;
            fill_sum_ = 0;
            fill_count_ = 0;
        }
        min_since_lock_ = std::min(min_since_lock_, low);
        fill_sum_ += before - target - n / 2.0;
        ++fill_count_;
    }
    live.out_frames.store(frames_, std::memory_order_relaxed);
}

void Consumer::summarise() const
{
    SinkSummary& s = shared_->sink_summary;
    s.fill_min = epoch_ != 0 ? min_since_lock_ : 0;
    s.fill_mean = fill_count_ > 0 ? fill_sum_ / static_cast<double>(fill_count_) : 0;
    const std::uint32_t rate = shared_->sink.rate.load(std::memory_order_relaxed);
    s.seconds = rate > 0 ? static_cast<double>(frames_) / rate : 0;
}

} // namespace rtbridge
