// simulation.cpp - see simulation.h.
#include "simulation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
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

} // namespace

Results simulate(const Options& o, bool collect_plots)
{
    Results r;
    const double end = o.hours * 3600.0;
    r.simulated_s = end;
    const bool poly = o.converter == Converter::poly;
    const bool automatic = o.target_ms == 0;
    const int out_max = o.usb ? 49 : o.out_block;
    const int fixed_target = automatic ? 0 : static_cast<int>(std::lround(o.target_ms * kRate / 1000.0));

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

    std::vector<std::int16_t> ring(static_cast<std::size_t>(r.capacity));
    asrc_fifo fifo;
    asrc_servo servo;
    if (asrc_fifo_init(&fifo, ring.data(), r.capacity, 1) != 0 ||
        asrc_servo_init(&servo, &config) != 0)
        throw std::invalid_argument("the FIFO or the servo refused these settings");

    asrc_poly_state converter;
    asrc_poly_init(&converter, ASRC_POLY_RATIO_ONE);
    asrc_state rule{};
    uint32_t ratio = ASRC_POLY_RATIO_ONE;
    int16_t step = 0;

    std::mt19937_64 rng(o.seed);
    const double jitter = o.jitter_ms / 1000.0;
    const double amplitude = 32767.0 * std::pow(10.0, kToneDbfs / 20.0);
    const double measure_from = std::min(kSettledS, end / 2);
    const bool stepped = o.step_at_s >= 0;

    // Producer: the start of its next block on its own clock, the tone's
    // phase there, and when it served its last block.
    double p_start = 0;
    double theta = 0;
    double p_served = 0;
    long c_blocks = 0;
    double c_served = 0;
    int withhold = 0;

    std::vector<std::int16_t> in(static_cast<std::size_t>(o.in_block));
    std::vector<std::int16_t> out(static_cast<std::size_t>(2 * o.in_block + 2 * ASRC_POLY_HISTORY));
    std::vector<std::int16_t> pulled(static_cast<std::size_t>(out_max));

    double f_in = 0;
    double f_pre = 0; // without the step
    double p_next = 0;
    auto plan_producer = [&] {
        const double offset = o.ppm + o.wander * std::sin(2 * kPi * p_start / kWanderPeriodS);
        f_pre = kRate * (1 + 1e-6 * offset);
        f_in = stepped && p_start >= o.step_at_s ? kRate * (1 + 1e-6 * (offset + o.step_ppm)) : f_pre;
        const double ready = p_start + o.in_block / f_in;
        p_next = std::max(ready + jitter * uniform(rng), p_served);
    };
    double c_origin = 0;
    double c_next = std::numeric_limits<double>::infinity();
    auto in_stall = [&](double t) {
        if (o.stall_every_s <= 0)
            return -1.0;
        const double k = std::floor(t / o.stall_every_s);
        const double stall_end = k * o.stall_every_s + o.stall_ms / 1000.0;
        return k >= 1 && t < stall_end ? stall_end : -1.0;
    };
    auto plan_consumer = [&] {
        const double tick = c_origin + consumer_tick(o, c_blocks);
        c_next = std::max(tick + jitter * uniform(rng), c_served);
        const double stall_end = in_stall(c_next);
        if (stall_end >= 0)
            c_next = stall_end;
    };
    plan_producer();

    // The 0.1-s windows: the fill integrated over time between events.
    Window window;
    window.target = servo.target;
    std::vector<Closed> closed;
    double t_last = 0;
    int fill_now = 0;
    auto close_window = [&](long index) {
        const double mean_fill = window.fill_area / kWindowS - window.target;
        const double band = (o.in_block + out_max) / 2.0 + o.jitter_ms * kRate / 1000.0;
        bool ratio_ok = window.blocks > 0;
        if (ratio_ok) {
            const double n = static_cast<double>(window.blocks);
            const double got = window.ratio_sum / n;
            const double now_true = window.true_sum / n;
            const double before = window.pre_sum / n;
            const double t0 = static_cast<double>(index) * kWindowS;
            const bool settling = stepped && t0 + kWindowS > o.step_at_s &&
                                  t0 < o.step_at_s + kStepSettleS;
            const double lo = settling ? std::min(now_true, before) : now_true;
            const double hi = settling ? std::max(now_true, before) : now_true;
            ratio_ok = got >= lo - kLockPpm && got <= hi + kLockPpm;
        }
        const bool fill_ok = window.stalled || std::fabs(mean_fill) <= band;
        closed.push_back({!window.refilling && ratio_ok && fill_ok, window.underruns,
                          window.overruns, window.fill_min, window.fill_max, window.any_fill});
        window = Window{};
        window.target = servo.target;
    };
    auto advance_to = [&](double now) {
        while (static_cast<double>(closed.size() + 1) * kWindowS <= now) {
            const double edge = static_cast<double>(closed.size() + 1) * kWindowS;
            window.fill_area += fill_now * (edge - t_last);
            t_last = edge;
            close_window(static_cast<long>(closed.size()));
        }
        window.fill_area += fill_now * (now - t_last);
        t_last = now;
    };

    // The ratio in 1-s means.
    double second_sum = 0;
    double second_servo = 0;
    long second_blocks = 0;
    long second_index = -1;
    std::vector<double> second_means;
    std::vector<double> second_servo_means;
    auto close_second = [&] {
        if (second_blocks > 0 && second_index >= 0) {
            const double t0 = static_cast<double>(second_index);
            const bool after_step = stepped && t0 + 1 > o.step_at_s && t0 < o.step_at_s + kStepSettleS;
            if (t0 >= measure_from && t0 + 1 <= end && !after_step) {
                second_means.push_back(second_sum / static_cast<double>(second_blocks));
                second_servo_means.push_back(second_servo / static_cast<double>(second_blocks));
            }
        }
        second_sum = second_servo = 0;
        second_blocks = 0;
    };
    double track_start = -1;
    double step_excursion = stepped ? 0.0 : -1.0;

    // SINAD and flutter.
    const long settled_frame = static_cast<long>(measure_from * kRate);
    constexpr long kLongFrames = 48000;
    std::vector<std::int16_t> short_buffer;
    std::vector<std::int16_t> long_buffer;
    std::vector<double> sinads;
    std::vector<double> long_sinads;
    std::vector<double> flutter;
    long consumer_frames = 0;
    const double w0 = 2 * std::numbers::pi * kToneHz / kRate;

    const double series_interval = kWindowS * std::max(1.0, std::ceil(end / (kWindowS * 20000)));
    Series series(series_interval, end + 1);
    Series start(0.01, kSettledS);
    r.tone_start_s = std::min(measure_from, std::max(0.0, end - 2.0));
    const long tone_frame = static_cast<long>(r.tone_start_s * kRate);

    asrc_fifo_counts seen{};
    while (std::min(p_next, c_next) < end) {
        if (p_next <= c_next) {
            const double now = p_next;
            p_served = now;
            advance_to(now);
            const double dtheta = 2 * kPi * kToneHz / f_in;
            const double cd = std::cos(dtheta);
            const double sd = std::sin(dtheta);
            double c = std::cos(theta);
            double s = std::sin(theta);
            for (auto& x : in) {
                const double v = amplitude * s; // rounded half away from zero; |.| < 29205
                x = static_cast<std::int16_t>(v + (v < 0 ? -0.5 : 0.5));
                const double c1 = c * cd - s * sd;
                s = s * cd + c * sd;
                c = c1;
            }
            theta = std::fmod(theta + o.in_block * dtheta, 2 * kPi);

            int32_t nin = o.in_block;
            int32_t nout = 0;
            double ran_at = 0;
            if (poly) {
                asrc_poly_process_block(&converter, out.data(), in.data(), &nin, &nout);
                ran_at = ratio / double{ASRC_POLY_RATIO_ONE};
            } else {
                asrc_state_process_block(&rule, out.data(), in.data(), &nin, &nout, step);
                ran_at = rule_ratio(step);
            }
            const double true_ratio = f_in / kRate;
            const double pre_ratio = f_pre / kRate;

            if (asrc_servo_muted(&servo))
                std::fill(out.begin(), out.begin() + nout, std::int16_t{0});
            const int32_t dropped = std::min(withhold, nout);
            const int32_t offered = nout - dropped;
            if (asrc_fifo_write(&fifo, out.data() + dropped, offered) < offered)
                ++window.overruns;
            const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifo);
            if (counts.underruns != seen.underruns || counts.overruns != seen.overruns)
                asrc_servo_restart(&servo);
            seen = counts;

            const int64_t position = poly ? asrc_servo_poly_position(&converter)
                                          : asrc_servo_rule_position(&rule);
            if (o.timestamps) {
                if (poly)
                    ratio = asrc_servo_update_at(&servo, &fifo, position, ticks(now), o.in_block);
                else
                    step = asrc_servo_update_step_at(&servo, &fifo, position, ticks(now), o.in_block);
            } else {
                const int32_t fill = asrc_fifo_fill(&fifo);
                if (poly)
                    ratio = asrc_servo_update(&servo, fill, position);
                else
                    step = asrc_servo_update_step(&servo, fill, position);
            }
            if (poly)
                asrc_poly_set_ratio(&converter, ratio);
            const int32_t refill = asrc_servo_refill(&servo);
            if (refill > 0)
                asrc_fifo_write_silence(&fifo, refill);
            withhold = refill < 0 ? -refill : 0;
            fill_now = asrc_fifo_fill(&fifo);

            // The ratio the servo asked for the next block, against the
            // clocks' ratio now.
            const double asked = servo.ratio / double{ASRC_SERVO_RATIO_ONE};
            window.ratio_sum += (asked - 1) * 1e6;
            window.true_sum += (true_ratio - 1) * 1e6;
            window.pre_sum += (pre_ratio - 1) * 1e6;
            ++window.blocks;
            window.refilling = window.refilling || servo.mode == ASRC_SERVO_REFILL;
            window.target = servo.target;
            window.fill(fill_now - servo.target);
            if (stepped && p_start >= o.step_at_s && servo.mode != ASRC_SERVO_REFILL) {
                const double hi = std::max(true_ratio, pre_ratio);
                const double lo = std::min(true_ratio, pre_ratio);
                step_excursion =
                    std::max(step_excursion, std::max(asked - hi, lo - asked) * 1e6);
            }
            const auto second = static_cast<long>(now);
            if (second != second_index) {
                close_second();
                second_index = second;
            }
            second_sum += (ran_at / true_ratio - 1) * 1e6;
            second_servo += (asked / true_ratio - 1) * 1e6;
            ++second_blocks;

            if (servo.mode == ASRC_SERVO_TRACK) {
                if (track_start < 0)
                    track_start = now;
            } else {
                track_start = -1;
            }
            if (collect_plots) {
                for (RowBuilder* plot : {series.at(now, r.series), start.at(now, r.start)}) {
                    if (plot == nullptr)
                        continue;
                    plot->fill_sum += fill_now - o.in_block / 2.0 - servo.target;
                    ++plot->fill_count;
                    plot->fill_high(fill_now - servo.target);
                    plot->ratio_sum += (ran_at - 1) * 1e6;
                    plot->true_sum += (true_ratio - 1) * 1e6;
                    ++plot->ratio_count;
                    plot->row.servo_shift = o.timestamps ? servo.producer.shift : servo.shift;
                }
            }
            if (p_start == 0) {
                c_origin = now + uniform(rng) * consumer_block(o, 0) / kRate;
                plan_consumer();
            }
            p_start += o.in_block / f_in;
            plan_producer();
        } else {
            const double now = c_next;
            c_served = now;
            advance_to(now);
            if (o.stall_every_s > 0) {
                const double k = std::floor(now / o.stall_every_s);
                if (k >= 1 && now < k * o.stall_every_s + o.stall_ms / 1000.0 + 0.5)
                    window.stalled = true;
            }
            const int n = consumer_block(o, c_blocks);
            const int32_t got = o.timestamps ? asrc_fifo_read_at(&fifo, pulled.data(), n, ticks(now))
                                             : asrc_fifo_read(&fifo, pulled.data(), n);
            if (got < n)
                ++window.underruns;
            fill_now = asrc_fifo_fill(&fifo);
            window.fill(fill_now - servo.target);
            if (collect_plots) {
                for (RowBuilder* plot : {series.at(now, r.series), start.at(now, r.start)})
                    if (plot != nullptr)
                        plot->fill_low(fill_now - servo.target);
            }
            const long first = consumer_frames;
            consumer_frames += n;
            if (collect_plots && consumer_frames > tone_frame && r.tone.size() < kToneFrames) {
                for (long i = std::max(first, tone_frame);
                     i < consumer_frames && r.tone.size() < kToneFrames; ++i)
                    r.tone.push_back(pulled[static_cast<std::size_t>(i - first)]);
            }
            for (long i = std::max(first, settled_frame); i < consumer_frames; ++i) {
                const std::int16_t v = pulled[static_cast<std::size_t>(i - first)];
                const long k = i - settled_frame;
                if ((k / kWindowFrames) % kSinadEvery == 0) {
                    short_buffer.push_back(v);
                    if (short_buffer.size() == kWindowFrames) {
                        const asrc_measure::SineFit fit =
                            asrc_measure::fit_sine(short_buffer, 0, short_buffer.size(), w0);
                        sinads.push_back(fit.sinad_db());
                        flutter.push_back((fit.w / w0 - 1) * 1e6);
                        short_buffer.clear();
                    }
                }
                if ((k / kLongFrames) % kSinadEvery == 0) {
                    long_buffer.push_back(v);
                    if (long_buffer.size() == kLongFrames) {
                        const asrc_measure::SineFit fit =
                            asrc_measure::fit_sine(long_buffer, 0, long_buffer.size(), w0);
                        long_sinads.push_back(fit.sinad_db());
                        long_buffer.clear();
                    }
                }
            }
            ++c_blocks;
            plan_consumer();
        }
    }
    advance_to(end);
    close_second();

    // Lock: the last run of lock windows, if it reaches the end; the first
    // run of at least a second.
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
    if (first >= 0) {
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
    r.track_s = track_start;
    r.target = servo.target;
    r.capacity_wanted = asrc_servo_capacity_wanted(&servo);
    const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifo);
    r.underruns_total = counts.underruns;
    r.overruns_total = counts.overruns;
    r.ratio_seconds = second_means.size();
    if (!second_means.empty()) {
        double sum = 0;
        double servo_sum = 0;
        for (std::size_t i = 0; i < second_means.size(); ++i) {
            sum += second_means[i] * second_means[i];
            servo_sum += second_servo_means[i] * second_servo_means[i];
        }
        const auto n = static_cast<double>(second_means.size());
        r.ratio_jitter_ppm = std::sqrt(sum / n);
        r.servo_jitter_ppm = std::sqrt(servo_sum / n);
        const auto [lo, hi] = std::minmax_element(second_means.begin(), second_means.end());
        r.ratio_wander_ppm = *hi - *lo;
    }
    r.step_overshoot_ppm = step_excursion;
    r.sinad_windows = sinads.size();
    if (!sinads.empty()) {
        r.sinad_db = median(sinads);
        r.sinad_min_db = *std::min_element(sinads.begin(), sinads.end());
        double peak = 0;
        double sum = 0;
        for (const double f : flutter) {
            peak = std::max(peak, std::fabs(f));
            sum += f * f;
        }
        r.flutter_peak_ppm = peak;
        r.flutter_rms_ppm = std::sqrt(sum / static_cast<double>(flutter.size()));
    }
    r.sinad_1s_windows = long_sinads.size();
    if (!long_sinads.empty()) {
        r.sinad_1s_db = median(long_sinads);
        r.sinad_1s_min_db = *std::min_element(long_sinads.begin(), long_sinads.end());
    }
    r.clipped = poly ? converter.clipped : 0;
    if (collect_plots) {
        series.close(r.series);
        start.close(r.start);
    }
    return r;
}

} // namespace bridge_sim
