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
#include "sine_fit.h" // analysis/: the C++ sine fit of the measurements

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

// The fill statistics of one 0.1-second window, and of a run of windows
// (the run since lock).
struct FillStats {
    double sum = 0;
    long count = 0;
    int min = 0;
    int max = 0;
    bool any = false;
    bool refilling = false; // the servo refilled during the window
    std::uint64_t underruns = 0;
    std::uint64_t overruns = 0;

    void low(int v)
    {
        min = any ? std::min(min, v) : v;
        max = any ? max : v;
        any = true;
    }
    void high(int v)
    {
        max = any ? std::max(max, v) : v;
        min = any ? min : v;
        any = true;
    }
    void merge(const FillStats& w)
    {
        if (w.any) {
            low(w.min);
            high(w.max);
        }
        underruns += w.underruns;
        overruns += w.overruns;
    }
};

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

Results simulate(const Options& o, bool collect_plots)
{
    Results r;
    const double end = o.hours * 3600.0;
    r.simulated_s = end;
    r.target = static_cast<int>(std::lround(o.target_ms * kRate / 1000.0));
    r.capacity = 2 * r.target + o.in_block + o.out_block;
    const bool poly = o.converter == Converter::poly;

    std::vector<std::int16_t> ring(static_cast<std::size_t>(r.capacity));
    asrc_fifo fifo;
    asrc_servo servo;
    const asrc_servo_config config =
        asrc_servo_defaults(static_cast<uint32_t>(kRate), o.in_block, r.target, ASRC_SERVO_RATIO_ONE);
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

    // Producer: the start of its next block on its own clock, the tone's
    // phase there, and when it served its last block.
    double p_start = 0;
    double theta = 0;
    double p_served = 0;
    // Consumer: blocks read so far, when it served the last one.
    long c_blocks = 0;
    double c_served = 0;
    int withhold = 0;

    std::vector<std::int16_t> in(static_cast<std::size_t>(o.in_block));
    std::vector<std::int16_t> out(static_cast<std::size_t>(2 * o.in_block + 2 * ASRC_POLY_HISTORY));
    std::vector<std::int16_t> pulled(static_cast<std::size_t>(o.out_block));

    // Producer block timing: its frequency for this block, ready time,
    // service time.
    double f_in = 0;
    double p_next = 0;
    auto plan_producer = [&] {
        f_in = kRate * (1 + 1e-6 * (o.ppm + o.wander * std::sin(2 * kPi * p_start / kWanderPeriodS)));
        const double ready = p_start + o.in_block / f_in;
        p_next = std::max(ready + jitter * uniform(rng), p_served);
    };
    // The consumer's clock starts with the stream, at the producer's first
    // block, at a random phase of its own block.
    double c_origin = 0;
    double c_next = std::numeric_limits<double>::infinity();
    auto plan_consumer = [&] {
        const double tick = c_origin + static_cast<double>(c_blocks * o.out_block) / kRate;
        c_next = std::max(tick + jitter * uniform(rng), c_served);
    };
    plan_producer();

    // Lock: 0.1-second windows of the servo's view of the fill.
    FillStats window;
    FillStats since_lock;
    long window_index = 0;
    double lock_start = -1;
    auto close_windows_until = [&](double t) {
        const auto index = static_cast<long>(t / kWindowS);
        while (window_index < index) {
            const bool in_band =
                window.count > 0 && !window.refilling &&
                std::fabs(window.sum / static_cast<double>(window.count) - r.target) <=
                    o.in_block;
            if (!in_band) {
                lock_start = -1;
                since_lock = FillStats{};
            } else {
                if (lock_start < 0)
                    lock_start = static_cast<double>(window_index) * kWindowS;
                since_lock.merge(window);
            }
            window = FillStats{};
            ++window_index;
        }
    };

    double jitter_sum = 0;
    double servo_sum = 0;
    long jitter_count = 0;
    double track_start = -1;

    // SINAD: every kSinadEvery-th window of consumer samples from 60 s on.
    const long settled_frame = static_cast<long>(kSettledS * kRate);
    std::vector<std::int16_t> sinad_buffer;
    std::vector<double> sinads;
    long consumer_frames = 0;

    // Plots.
    const double series_interval = kWindowS * std::max(1.0, std::ceil(end / (kWindowS * 20000)));
    Series series(series_interval, end + 1);
    Series start(0.01, kSettledS);
    r.tone_start_s = std::min(kSettledS, std::max(0.0, end - 2.0));
    const long tone_frame = static_cast<long>(r.tone_start_s * kRate);

    asrc_fifo_counts seen{};
    while (std::min(p_next, c_next) < end) {
        if (p_next <= c_next) {
            const double now = p_next;
            p_served = now;
            close_windows_until(now);
            // The block's tone on the producer's clock, by rotation from its
            // exact start phase.
            const double dtheta = 2 * kPi * kToneHz / f_in;
            const double cd = std::cos(dtheta);
            const double sd = std::sin(dtheta);
            double c = std::cos(theta);
            double s = std::sin(theta);
            for (auto& x : in) {
                // Rounded half away from zero; |.| < 29205.
                const double v = amplitude * s;
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
            if (p_start >= kSettledS) {
                const double e = (ran_at / true_ratio - 1) * 1e6;
                const double f = (servo.ratio / double{ASRC_SERVO_RATIO_ONE} / true_ratio - 1) * 1e6;
                jitter_sum += e * e;
                servo_sum += f * f;
                ++jitter_count;
            }

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

            const int32_t fill = asrc_fifo_fill(&fifo);
            const int64_t position = poly ? asrc_servo_poly_position(&converter)
                                          : asrc_servo_rule_position(&rule);
            if (poly) {
                ratio = asrc_servo_update(&servo, fill, position);
                asrc_poly_set_ratio(&converter, ratio);
            } else {
                step = asrc_servo_update_step(&servo, fill, position);
            }
            const int32_t refill = asrc_servo_refill(&servo);
            if (refill > 0)
                asrc_fifo_write_silence(&fifo, refill);
            withhold = refill < 0 ? -refill : 0;

            // The servo's view of the mean fill (see asrc_servo.h).
            const double seen_fill = fill - o.in_block / 2;
            window.sum += seen_fill;
            ++window.count;
            window.refilling = window.refilling || servo.mode == ASRC_SERVO_REFILL;
            const int top = asrc_fifo_fill(&fifo) - r.target;
            window.high(top);
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
                    plot->fill_sum += seen_fill - r.target;
                    ++plot->fill_count;
                    plot->fill_high(top);
                    plot->ratio_sum += (ran_at - 1) * 1e6;
                    plot->true_sum += (true_ratio - 1) * 1e6;
                    ++plot->ratio_count;
                    plot->row.servo_shift = servo.shift;
                }
            }
            if (p_start == 0) {
                c_origin = now + uniform(rng) * o.out_block / kRate;
                plan_consumer();
            }
            p_start += o.in_block / f_in;
            plan_producer();
        } else {
            const double now = c_next;
            c_served = now;
            close_windows_until(now);
            const int32_t got = asrc_fifo_read(&fifo, pulled.data(), o.out_block);
            if (got < o.out_block)
                ++window.underruns;
            const int low = asrc_fifo_fill(&fifo) - r.target;
            window.low(low);
            if (collect_plots) {
                for (RowBuilder* plot : {series.at(now, r.series), start.at(now, r.start)})
                    if (plot != nullptr)
                        plot->fill_low(low);
            }
            // The samples the consumer plays, into the windows measured.
            const long first = consumer_frames;
            consumer_frames += o.out_block;
            if (collect_plots && consumer_frames > tone_frame && r.tone.size() < kToneFrames) {
                for (long i = std::max(first, tone_frame);
                     i < consumer_frames && r.tone.size() < kToneFrames; ++i)
                    r.tone.push_back(pulled[static_cast<std::size_t>(i - first)]);
            }
            for (long i = std::max(first, settled_frame); i < consumer_frames;) {
                // The rest of this block within its window, if that window is measured.
                const long w = i / kWindowFrames;
                const long window_end = std::min((w + 1) * kWindowFrames, consumer_frames);
                if (w % kSinadEvery == 0) {
                    sinad_buffer.insert(sinad_buffer.end(), pulled.begin() + (i - first),
                                        pulled.begin() + (window_end - first));
                    if (sinad_buffer.size() == kWindowFrames) {
                        const asrc_measure::SineFit fit = asrc_measure::fit_sine(
                            sinad_buffer, 0, sinad_buffer.size(), 2 * std::numbers::pi * kToneHz / kRate);
                        sinads.push_back(fit.sinad_db());
                        sinad_buffer.clear();
                    }
                }
                i = window_end;
            }
            ++c_blocks;
            plan_consumer();
        }
    }
    close_windows_until(end);

    r.lock_s = lock_start;
    if (lock_start >= 0) {
        r.fill_min = since_lock.min;
        r.fill_max = since_lock.max;
        r.underruns = since_lock.underruns;
        r.overruns = since_lock.overruns;
    }
    r.track_s = track_start;
    const asrc_fifo_counts counts = asrc_fifo_get_counts(&fifo);
    r.underruns_total = counts.underruns;
    r.overruns_total = counts.overruns;
    if (jitter_count > 0) {
        r.ratio_jitter_ppm = std::sqrt(jitter_sum / static_cast<double>(jitter_count));
        r.servo_jitter_ppm = std::sqrt(servo_sum / static_cast<double>(jitter_count));
    }
    r.sinad_windows = sinads.size();
    if (!sinads.empty()) {
        const auto mid = sinads.begin() + static_cast<long>(sinads.size() / 2);
        std::nth_element(sinads.begin(), mid, sinads.end());
        r.sinad_db = *mid;
        r.sinad_min_db = *std::min_element(sinads.begin(), sinads.end());
    }
    r.clipped = poly ? converter.clipped : 0;
    if (collect_plots) {
        series.close(r.series);
        start.close(r.start);
    }
    return r;
}

} // namespace bridge_sim
