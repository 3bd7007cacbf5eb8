// simulation.cpp - see simulation.h.
#include "simulation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <stdexcept>

#include "asrc.h"
#include "asrc_fifo.h"
#include "asrc_poly.h"
#include "asrc_servo.h"
#include "sine_fit.h" // measure/: the C++ sine fit of the measurements

namespace bridge_sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kWindowFrames = 4800; // kWindowS at kRate
constexpr std::size_t kToneFrames = 65536;

// Uniform in [0, 1) from 53 random bits: the same numbers on every
// platform for a seed (std::uniform_real_distribution is not specified
// that far).
double uniform(std::mt19937_64& rng)
{
    return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

// Accumulates the plot rows of one interval.
struct RowBuilder {
    PlotRow row{};
    double fill_sum = 0;
    long fill_count = 0;
    double ratio_sum = 0;
    double true_sum = 0;
    long ratio_count = 0;
    bool any_fill = false;

    void fill_low(double v)
    {
        row.fill_min = any_fill ? std::min(row.fill_min, v) : v;
        row.fill_max = any_fill ? row.fill_max : v;
        any_fill = true;
    }
    void fill_high(double v)
    {
        row.fill_max = any_fill ? std::max(row.fill_max, v) : v;
        row.fill_min = any_fill ? row.fill_min : v;
        any_fill = true;
    }
    PlotRow finish()
    {
        row.fill_mean = fill_count > 0 ? fill_sum / static_cast<double>(fill_count) : 0.0;
        row.ratio_ppm = ratio_count > 0 ? ratio_sum / static_cast<double>(ratio_count) : 0.0;
        row.true_ppm = ratio_count > 0 ? true_sum / static_cast<double>(ratio_count) : 0.0;
        return row;
    }
};

// Plot rows at a fixed interval; `until` ends them (the first 60 s).
class Series {
public:
    Series(double interval, double until) : interval_(interval), until_(until) {}

    RowBuilder* at(double t, std::vector<PlotRow>& out)
    {
        if (t >= until_)
            return nullptr;
        const auto index = static_cast<long>(t / interval_);
        if (index != index_) {
            if (index_ >= 0)
                out.push_back(current_.finish());
            current_ = RowBuilder{};
            current_.row.t = static_cast<double>(index) * interval_;
            index_ = index;
        }
        return &current_;
    }
    void close(std::vector<PlotRow>& out)
    {
        if (index_ >= 0)
            out.push_back(current_.finish());
        index_ = -1;
    }

private:
    double interval_;
    double until_;
    long index_ = -1;
    RowBuilder current_;
};

} // namespace

double rule_ratio(int step)
{
    if (step == 0)
        return 1.0;
    const int magnitude = step < 0 ? -step : step;
    const double p = std::floor(16384.0 / magnitude) + 1;
    return step > 0 ? p / (p - 1) : p / (p + 1);
}

namespace {

// The consumer's block k: USB-style (48 frames, every 8th 47 or 49,
// alternately) or out-block frames.
int consumer_block(const Options& o, long k)
{
    if (!o.usb)
        return o.out_block;
    if (k % 8 != 7)
        return 48;
    return (k / 8) % 2 == 0 ? 47 : 49;
}

// The consumer's clock: when block k is due, seconds from its origin.
double consumer_tick(const Options& o, long k)
{
    return o.usb ? static_cast<double>(k) / 1000.0
                 : static_cast<double>(k) * o.out_block / kRate;
}

// The 1 MHz timer, wrapping modulo 2^32 as a microcontroller's would.
std::uint32_t ticks(double t)
{
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::llround(t * kClockHz)));
}

// One 0.1-s window of the run.
struct Window {
    double fill_area = 0;   // the FIFO's fill integrated over time, frame-seconds
    double ratio_sum = 0;   // the ratio the servo asked, ppm, per block
    double true_sum = 0;    // the clocks' ratio, ppm
    double pre_sum = 0;     // the clocks' ratio without the step, ppm
    long blocks = 0;
    bool refilling = false;
    bool stalled = false;   // the consumer stalled in or just before it
    std::uint64_t underruns = 0;
    std::uint64_t overruns = 0;
    int fill_min = 0;       // relative to the target
    int fill_max = 0;
    bool any_fill = false;
    int target = 0;
    void fill(int v)
    {
        fill_min = any_fill ? std::min(fill_min, v) : v;
        fill_max = any_fill ? std::max(fill_max, v) : v;
        any_fill = true;
    }
};

struct Closed {
    bool locked;
    std::uint64_t underruns;
    std::uint64_t overruns;
    int fill_min;
    int fill_max;
    bool any_fill;
};

double median(std::vector<double> v)
{
    const auto mid = v.begin() + static_cast<long>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The 0.1-s windows of the run: the FIFO's fill integrated over time
// between events, the ratio asked against the clocks', and, as each closes,
// whether it was locked.
class Windows {
public:
    Windows(const Options& o, int out_max, int target)
        : o_(o), out_max_(out_max), stepped_(o.step_at_s >= 0)
    {
        window_.target = target;
    }

    Window& current() { return window_; }
    const std::vector<Closed>& closed() const { return closed_; }

    // Closes every window that ended by `now` and integrates the fill up
    // to it; `target` is the servo's, for the windows that open.
    void advance_to(double now, int fill_now, int target)
    {
        while (static_cast<double>(closed_.size() + 1) * kWindowS <= now) {
            const double edge = static_cast<double>(closed_.size() + 1) * kWindowS;
            window_.fill_area += fill_now * (edge - t_last_);
            t_last_ = edge;
            close(static_cast<long>(closed_.size()), target);
        }
        window_.fill_area += fill_now * (now - t_last_);
        t_last_ = now;
    }

private:
    // Locked: not refilling, the ratio asked within kLockPpm of the clocks'
    // (of either side of a step while it settles), and the mean fill
    // within half the blocks and the lateness of the target (or a stall).
    void close(long index, int target)
    {
        const Window& w = window_;
        const double mean_fill = w.fill_area / kWindowS - w.target;
        const double band = (o_.in_block + out_max_) / 2.0 + o_.jitter_ms * kRate / 1000.0;
        bool ratio_ok = w.blocks > 0;
        if (ratio_ok) {
            const double n = static_cast<double>(w.blocks);
            const double got = w.ratio_sum / n;
            const double now_true = w.true_sum / n;
            const double before = w.pre_sum / n;
            const double t0 = static_cast<double>(index) * kWindowS;
            const bool settling = stepped_ && t0 + kWindowS > o_.step_at_s &&
                                  t0 < o_.step_at_s + kStepSettleS;
            const double lo = settling ? std::min(now_true, before) : now_true;
            const double hi = settling ? std::max(now_true, before) : now_true;
            ratio_ok = got >= lo - kLockPpm && got <= hi + kLockPpm;
        }
        const bool fill_ok = w.stalled || std::fabs(mean_fill) <= band;
        closed_.push_back({!w.refilling && ratio_ok && fill_ok, w.underruns, w.overruns,
                           w.fill_min, w.fill_max, w.any_fill});
        window_ = Window{};
        window_.target = target;
    }

    const Options& o_;
    int out_max_;
    bool stepped_;
    Window window_;
    std::vector<Closed> closed_;
    double t_last_ = 0;
};

// Lock: the last run of lock windows, if it reaches the end; the first run
// of at least a second, from which the FIFO's faults and fill are counted.
void judge_lock(const std::vector<Closed>& closed, Results& r)
{
    const long windows = static_cast<long>(closed.size());
    long run_start = windows;
    while (run_start > 0 && closed[static_cast<std::size_t>(run_start - 1)].locked)
        --run_start;
    r.lock_s = run_start < windows ? static_cast<double>(run_start) * kWindowS : -1;
    long first = -1;
    for (long i = 0, run = 0; i < windows && first < 0; ++i) {
        run = closed[static_cast<std::size_t>(i)].locked ? run + 1 : 0;
        if (run == 10)
            first = i - 9;
    }
    if (first < 0 && run_start < windows)
        first = run_start; // a last run shorter than a second
    if (first < 0)
        return;
    r.first_lock_s = static_cast<double>(first) * kWindowS;
    bool any = false;
    for (long i = first; i < windows; ++i) {
        const Closed& w = closed[static_cast<std::size_t>(i)];
        r.underruns += w.underruns;
        r.overruns += w.overruns;
        if (w.any_fill) {
            r.fill_min = any ? std::min(r.fill_min, w.fill_min) : w.fill_min;
            r.fill_max = any ? std::max(r.fill_max, w.fill_max) : w.fill_max;
            any = true;
        }
    }
}

// The ratio in 1-s means, against the clocks' ratio: what the converter
// ran at and what the servo asked, over the settled seconds (not those
// after a step).
class SecondMeans {
public:
    SecondMeans(const Options& o, double measure_from, double end)
        : o_(o), measure_from_(measure_from), end_(end), stepped_(o.step_at_s >= 0)
    {
    }

    void add(double now, double ran_at, double asked, double true_ratio)
    {
        const auto second = static_cast<long>(now);
        if (second != index_) {
            close();
            index_ = second;
        }
        sum_ += (ran_at / true_ratio - 1) * 1e6;
        servo_ += (asked / true_ratio - 1) * 1e6;
        ++blocks_;
    }

    void close()
    {
        if (blocks_ > 0 && index_ >= 0) {
            const double t0 = static_cast<double>(index_);
            const bool after_step =
                stepped_ && t0 + 1 > o_.step_at_s && t0 < o_.step_at_s + kStepSettleS;
            if (t0 >= measure_from_ && t0 + 1 <= end_ && !after_step) {
                means_.push_back(sum_ / static_cast<double>(blocks_));
                servo_means_.push_back(servo_ / static_cast<double>(blocks_));
            }
        }
        sum_ = servo_ = 0;
        blocks_ = 0;
    }

    void report(Results& r) const
    {
        r.ratio_seconds = means_.size();
        if (means_.empty())
            return;
        double sum = 0;
        double servo_sum = 0;
        for (std::size_t i = 0; i < means_.size(); ++i) {
            sum += means_[i] * means_[i];
            servo_sum += servo_means_[i] * servo_means_[i];
        }
        const auto n = static_cast<double>(means_.size());
        r.ratio_jitter_ppm = std::sqrt(sum / n);
        r.servo_jitter_ppm = std::sqrt(servo_sum / n);
        const auto [lo, hi] = std::minmax_element(means_.begin(), means_.end());
        r.ratio_wander_ppm = *hi - *lo;
    }

private:
    const Options& o_;
    double measure_from_;
    double end_;
    bool stepped_;
    double sum_ = 0;
    double servo_ = 0;
    long blocks_ = 0;
    long index_ = -1;
    std::vector<double> means_;
    std::vector<double> servo_means_;
};

// The tone as the consumer receives it: SINAD and flutter over 0.1-s and
// 1-s windows (one in kSinadEvery) after the settling time, and the
// samples kept for the spectrum's plot.
class ToneMeasure {
public:
    ToneMeasure(long settled_frame, long tone_frame)
        : settled_frame_(settled_frame), tone_frame_(tone_frame)
    {
    }

    // The consumer's next n frames; into `tone` (if not null) those of the
    // plotted stretch.
    void take(const std::vector<std::int16_t>& pulled, int n, std::vector<std::int16_t>* tone)
    {
        const long first = frames_;
        frames_ += n;
        if (tone != nullptr && frames_ > tone_frame_ && tone->size() < kToneFrames) {
            for (long i = std::max(first, tone_frame_); i < frames_ && tone->size() < kToneFrames;
                 ++i)
                tone->push_back(pulled[static_cast<std::size_t>(i - first)]);
        }
        for (long i = std::max(first, settled_frame_); i < frames_; ++i) {
            const std::int16_t v = pulled[static_cast<std::size_t>(i - first)];
            const long k = i - settled_frame_;
            if ((k / kWindowFrames) % kSinadEvery == 0) {
                short_buffer_.push_back(v);
                if (short_buffer_.size() == kWindowFrames) {
                    const asrc_measure::SineFit fit =
                        asrc_measure::fit_sine(short_buffer_, 0, short_buffer_.size(), w0_);
                    sinads_.push_back(fit.sinad_db());
                    flutter_.push_back((fit.w / w0_ - 1) * 1e6);
                    short_buffer_.clear();
                }
            }
            if ((k / kLongFrames) % kSinadEvery == 0) {
                long_buffer_.push_back(v);
                if (long_buffer_.size() == kLongFrames) {
                    const asrc_measure::SineFit fit =
                        asrc_measure::fit_sine(long_buffer_, 0, long_buffer_.size(), w0_);
                    long_sinads_.push_back(fit.sinad_db());
                    long_buffer_.clear();
                }
            }
        }
    }

    void report(Results& r) const
    {
        r.sinad_windows = sinads_.size();
        if (!sinads_.empty()) {
            r.sinad_db = median(sinads_);
            r.sinad_min_db = *std::min_element(sinads_.begin(), sinads_.end());
            double peak = 0;
            double sum = 0;
            for (const double f : flutter_) {
                peak = std::max(peak, std::fabs(f));
                sum += f * f;
            }
            r.flutter_peak_ppm = peak;
            r.flutter_rms_ppm = std::sqrt(sum / static_cast<double>(flutter_.size()));
        }
        r.sinad_1s_windows = long_sinads_.size();
        if (!long_sinads_.empty()) {
            r.sinad_1s_db = median(long_sinads_);
            r.sinad_1s_min_db = *std::min_element(long_sinads_.begin(), long_sinads_.end());
        }
    }

private:
    static constexpr long kLongFrames = 48000;
    long settled_frame_;
    long tone_frame_;
    long frames_ = 0;
    double w0_ = 2 * std::numbers::pi * kToneHz / kRate;
    std::vector<std::int16_t> short_buffer_;
    std::vector<std::int16_t> long_buffer_;
    std::vector<double> sinads_;
    std::vector<double> long_sinads_;
    std::vector<double> flutter_;
};

// The servo's settings for the options, and the FIFO's capacity they give
// (into r); throws on settings the servo refuses.
asrc_servo_config servo_config(const Options& o, int out_max, Results& r)
{
    const bool automatic = o.target_ms == 0;
    const int fixed_target =
        automatic ? 0 : static_cast<int>(std::lround(o.target_ms * kRate / 1000.0));
    asrc_servo_config config = asrc_servo_defaults(
        static_cast<uint32_t>(kRate), o.in_block, automatic ? ASRC_SERVO_TARGET_AUTO : fixed_target,
        ASRC_SERVO_RATIO_ONE);
    if (o.timestamps)
        config.clock_hz = static_cast<uint32_t>(kClockHz);
    config.step_ppm = static_cast<uint32_t>(std::lround(o.step_room_ppm)); // <= 10000
    const int needed = asrc_servo_capacity_needed(&config);
    if (needed < 0)
        throw std::invalid_argument("the servo refused these settings");
    // Auto: room for 20 ms of lateness on each side above what the start needs.
    r.capacity = automatic ? needed + o.in_block + out_max + 2 * 960
                           : std::max(2 * fixed_target + o.in_block + out_max, needed);
    config.capacity = r.capacity;
    return config;
}

// One run: the producer's and the consumer's blocks as events in time
// order, each through its side of the chain, measured as it goes.
class Simulation {
public:
    Simulation(const Options& o, bool collect_plots)
        : o_(o), collect_plots_(collect_plots), end_(o.hours * 3600.0),
          poly_(o.converter == Converter::poly), out_max_(o.usb ? 49 : o.out_block),
          stepped_(o.step_at_s >= 0), config_(servo_config(o, out_max_, r_)),
          ring_(static_cast<std::size_t>(r_.capacity)), rng_(o.seed), jitter_(o.jitter_ms / 1000.0),
          amplitude_(32767.0 * std::pow(10.0, kToneDbfs / 20.0)),
          measure_from_(std::min(kSettledS, end_ / 2)),
          in_(static_cast<std::size_t>(o.in_block)),
          out_(static_cast<std::size_t>(2 * o.in_block + 2 * ASRC_POLY_HISTORY)),
          pulled_(static_cast<std::size_t>(out_max_)), seconds_(o, measure_from_, end_),
          series_(kWindowS * std::max(1.0, std::ceil(end_ / (kWindowS * 20000))), end_ + 1),
          start_(0.01, kSettledS)
    {
        r_.simulated_s = end_;
        if (asrc_fifo_init(&fifo_, ring_.data(), r_.capacity, 1) != 0 ||
            asrc_servo_init(&servo_, &config_) != 0)
            throw std::invalid_argument("the FIFO or the servo refused these settings");
        if (!o.last_read)
            asrc_fifo_set_read_period(&fifo_, asrc_servo_read_period(&servo_));
        asrc_poly_init(&converter_, ASRC_POLY_RATIO_ONE);
        plan_producer();
        windows_.emplace(o, out_max_, servo_.target);
        r_.tone_start_s = std::min(measure_from_, std::max(0.0, end_ - 2.0));
        tone_.emplace(static_cast<long>(measure_from_ * kRate),
                      static_cast<long>(r_.tone_start_s * kRate));
    }

    Results run()
    {
        while (std::min(p_next_, c_next_) < end_) {
            if (p_next_ <= c_next_)
                produce(p_next_);
            else
                consume(c_next_);
        }
        return finish();
    }

private:
    // The producer's next block: its clock's offset now (the wander, and
    // the step once it is due) and when it is served, late by up to the
    // jitter, never before the last.
    void plan_producer()
    {
        const double offset = o_.ppm + o_.wander * std::sin(2 * kPi * p_start_ / kWanderPeriodS);
        f_pre_ = kRate * (1 + 1e-6 * offset);
        f_in_ = stepped_ && p_start_ >= o_.step_at_s ? kRate * (1 + 1e-6 * (offset + o_.step_ppm))
                                                     : f_pre_;
        const double ready = p_start_ + o_.in_block / f_in_;
        p_next_ = std::max(ready + jitter_ * uniform(rng_), p_served_);
    }

    // When a stall that covers t ends, or -1.
    double stall_end(double t) const
    {
        if (o_.stall_every_s <= 0)
            return -1.0;
        const double k = std::floor(t / o_.stall_every_s);
        const double end = k * o_.stall_every_s + o_.stall_ms / 1000.0;
        return k >= 1 && t < end ? end : -1.0;
    }

    // The consumer's next block: due on its clock, late by up to the
    // jitter, held to the end of a stall.
    void plan_consumer()
    {
        const double tick = c_origin_ + consumer_tick(o_, c_blocks_);
        c_next_ = std::max(tick + jitter_ * uniform(rng_), c_served_);
        const double stalled_to = stall_end(c_next_);
        if (stalled_to >= 0)
            c_next_ = stalled_to;
    }

    void advance_to(double now) { windows_->advance_to(now, fill_now_, servo_.target); }

    // The producer serves a block: the tone through the converter into the
    // FIFO, then the servo's next ratio.
    void produce(double now)
    {
        p_served_ = now;
        advance_to(now);
        synthesize();
        const Converted c = convert();
        offer(c.frames);
        const double asked = update_servo(now);
        record_block(now, c.ran_at, asked);
        if (p_start_ == 0) {
            c_origin_ = now + uniform(rng_) * consumer_block(o_, 0) / kRate;
            plan_consumer();
        }
        const double before = p_start_;
        p_start_ += o_.in_block / f_in_;
        if (o_.lose_every_s > 0 &&
            std::floor(p_start_ / o_.lose_every_s) > std::floor(before / o_.lose_every_s))
            p_start_ += o_.lose_ms / 1000.0;
        plan_producer();
    }

    // The tone's next block at the producer's rate, by rotation.
    void synthesize()
    {
        const double dtheta = 2 * kPi * kToneHz / f_in_;
        const double cd = std::cos(dtheta);
        const double sd = std::sin(dtheta);
        double c = std::cos(theta_);
        double s = std::sin(theta_);
        for (auto& x : in_) {
            const double v = amplitude_ * s; // rounded half away from zero; |.| < 29205
            x = static_cast<std::int16_t>(v + (v < 0 ? -0.5 : 0.5));
            const double c1 = c * cd - s * sd;
            s = s * cd + c * sd;
            c = c1;
        }
        theta_ = std::fmod(theta_ + o_.in_block * dtheta, 2 * kPi);
    }

    struct Converted {
        int32_t frames;
        double ran_at; // the ratio the converter ran at
    };

    Converted convert()
    {
        int32_t nin = o_.in_block;
        int32_t nout = 0;
        if (poly_) {
            asrc_poly_process_block(&converter_, out_.data(), in_.data(), &nin, &nout);
            return {nout, ratio_ / double{ASRC_POLY_RATIO_ONE}};
        }
        asrc_state_process_block(&rule_, out_.data(), in_.data(), &nin, &nout, step_);
        return {nout, rule_ratio(step_)};
    }

    // Into the FIFO, silent while the servo mutes, less what a refill
    // withholds; a fault of the FIFO restarts the servo.
    void offer(int32_t nout)
    {
        if (asrc_servo_muted(&servo_))
            std::fill(out_.begin(), out_.begin() + nout, std::int16_t{0});
        const int32_t dropped = std::min(withhold_, nout);
        const int32_t offered = nout - dropped;
        if (asrc_fifo_write(&fifo_, out_.data() + dropped, offered) < offered)
            ++windows_->current().overruns;
        const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifo_);
        if (counts.underruns != seen_.underruns || counts.overruns != seen_.overruns)
            asrc_servo_restart(&servo_);
        seen_ = counts;
    }

    // The servo's update after the block, by the timestamps or by the fill
    // alone; its refill.  Returns the ratio it asks for the next block.
    double update_servo(double now)
    {
        const int64_t position = poly_ ? asrc_servo_poly_position(&converter_)
                                       : asrc_servo_rule_position(&rule_);
        if (o_.timestamps) {
            if (poly_)
                ratio_ = asrc_servo_update_at(&servo_, &fifo_, position, ticks(now), o_.in_block);
            else
                step_ =
                    asrc_servo_update_step_at(&servo_, &fifo_, position, ticks(now), o_.in_block);
        } else {
            const int32_t fill = asrc_fifo_fill(&fifo_);
            if (poly_)
                ratio_ = asrc_servo_update(&servo_, fill, position);
            else
                step_ = asrc_servo_update_step(&servo_, fill, position);
        }
        if (poly_)
            asrc_poly_set_ratio(&converter_, ratio_);
        const int32_t refill = asrc_servo_refill(&servo_);
        if (refill > 0)
            asrc_fifo_write_silence(&fifo_, refill);
        withhold_ = refill < 0 ? -refill : 0;
        fill_now_ = asrc_fifo_fill(&fifo_);
        return servo_.ratio / double{ASRC_SERVO_RATIO_ONE};
    }

    // The producer's block in the measures: the ratio asked for the next
    // block against the clocks' ratio now, the fill, the step's overshoot,
    // the 1-s means, the tracking time and the plots.
    void record_block(double now, double ran_at, double asked)
    {
        const double true_ratio = f_in_ / kRate;
        const double pre_ratio = f_pre_ / kRate;
        Window& window = windows_->current();
        window.ratio_sum += (asked - 1) * 1e6;
        window.true_sum += (true_ratio - 1) * 1e6;
        window.pre_sum += (pre_ratio - 1) * 1e6;
        ++window.blocks;
        window.refilling = window.refilling || servo_.mode == ASRC_SERVO_REFILL;
        window.target = servo_.target;
        window.fill(fill_now_ - servo_.target);
        if (stepped_ && p_start_ >= o_.step_at_s && servo_.mode != ASRC_SERVO_REFILL) {
            const double hi = std::max(true_ratio, pre_ratio);
            const double lo = std::min(true_ratio, pre_ratio);
            step_excursion_ = std::max(step_excursion_, std::max(asked - hi, lo - asked) * 1e6);
        }
        seconds_.add(now, ran_at, asked, true_ratio);

        if (servo_.mode == ASRC_SERVO_TRACK) {
            if (track_start_ < 0)
                track_start_ = now;
        } else {
            track_start_ = -1;
        }
        if (collect_plots_) {
            for (RowBuilder* plot : {series_.at(now, r_.series), start_.at(now, r_.start)}) {
                if (plot == nullptr)
                    continue;
                plot->fill_sum += fill_now_ - o_.in_block / 2.0 - servo_.target;
                ++plot->fill_count;
                plot->fill_high(fill_now_ - servo_.target);
                plot->ratio_sum += (ran_at - 1) * 1e6;
                plot->true_sum += (true_ratio - 1) * 1e6;
                ++plot->ratio_count;
                plot->row.servo_shift = o_.timestamps ? servo_.producer.shift : servo_.shift;
            }
        }
    }

    // The consumer takes a block from the FIFO, and the tone is measured.
    void consume(double now)
    {
        c_served_ = now;
        advance_to(now);
        Window& window = windows_->current();
        if (o_.stall_every_s > 0) {
            const double k = std::floor(now / o_.stall_every_s);
            if (k >= 1 && now < k * o_.stall_every_s + o_.stall_ms / 1000.0 + 0.5)
                window.stalled = true;
        }
        const int n = consumer_block(o_, c_blocks_);
        const int32_t got = o_.timestamps
                                ? asrc_fifo_read_at(&fifo_, pulled_.data(), n, ticks(now))
                                : asrc_fifo_read(&fifo_, pulled_.data(), n);
        if (got < n)
            ++window.underruns;
        fill_now_ = asrc_fifo_fill(&fifo_);
        window.fill(fill_now_ - servo_.target);
        if (collect_plots_) {
            for (RowBuilder* plot : {series_.at(now, r_.series), start_.at(now, r_.start)})
                if (plot != nullptr)
                    plot->fill_low(fill_now_ - servo_.target);
        }
        tone_->take(pulled_, n, collect_plots_ ? &r_.tone : nullptr);
        ++c_blocks_;
        plan_consumer();
    }

    Results finish()
    {
        advance_to(end_);
        seconds_.close();
        judge_lock(windows_->closed(), r_);
        r_.track_s = track_start_;
        r_.target = servo_.target;
        r_.capacity_wanted = asrc_servo_capacity_wanted(&servo_);
        const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifo_);
        r_.underruns_total = counts.underruns;
        r_.overruns_total = counts.overruns;
        seconds_.report(r_);
        r_.step_overshoot_ppm = step_excursion_;
        tone_->report(r_);
        r_.clipped = poly_ ? converter_.clipped : 0;
        if (collect_plots_) {
            series_.close(r_.series);
            start_.close(r_.start);
        }
        return r_;
    }

    const Options& o_;
    bool collect_plots_;
    Results r_;
    double end_;
    bool poly_;
    int out_max_;
    bool stepped_;

    // The chain.
    asrc_servo_config config_;
    std::vector<std::int16_t> ring_;
    asrc_fifo fifo_{};
    asrc_servo servo_{};
    asrc_poly_state converter_{};
    asrc_state rule_{};
    uint32_t ratio_ = ASRC_POLY_RATIO_ONE;
    int16_t step_ = 0;
    asrc_fifo_counts seen_{};
    int withhold_ = 0;
    int fill_now_ = 0;

    std::mt19937_64 rng_;
    double jitter_;
    double amplitude_;
    double measure_from_;

    // Producer: the start of its next block on its own clock, the tone's
    // phase there, its clock's rate (and without the step), when it served
    // its last block and when it serves the next.
    double p_start_ = 0;
    double theta_ = 0;
    double f_in_ = 0;
    double f_pre_ = 0;
    double p_served_ = 0;
    double p_next_ = 0;
    // Consumer: its clock's origin, its blocks so far, when it served its
    // last and when it serves the next.
    double c_origin_ = 0;
    long c_blocks_ = 0;
    double c_served_ = 0;
    double c_next_ = std::numeric_limits<double>::infinity();

    std::vector<std::int16_t> in_;
    std::vector<std::int16_t> out_;
    std::vector<std::int16_t> pulled_;

    // The measures.
    std::optional<Windows> windows_;
    SecondMeans seconds_;
    double track_start_ = -1;
    double step_excursion_ = stepped_ ? 0.0 : -1.0;
    std::optional<ToneMeasure> tone_;
    Series series_;
    Series start_;
};

} // namespace

Results simulate(const Options& o, bool collect_plots)
{
    return Simulation(o, collect_plots).run();
}

} // namespace bridge_sim
