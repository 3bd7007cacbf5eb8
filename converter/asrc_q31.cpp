// asrc_q31.cpp - the 24-bit converter's entries and sums.  See asrc_q31.h
// for formats, rounding and the contract of each function.
//
// Built as C++ without exceptions or RTTI and with no C++ runtime, as
// asrc.cpp is.
#include "asrc_q31.h"

#include "internal/q31_kernels.h"
#include "internal/q31_pieces.h"
#include "internal/q31_table.h"

namespace asrc_q31_detail {

namespace {

constexpr uint64_t kFracMask = (uint64_t{1} << 40) - 1;
constexpr uint64_t kCentre = uint64_t{kHalfTaps} * kPieces << 32; // X where t - i = 0

// floor(a * 2^shift / b) by restoring division: exact, with no 128-bit
// type, for b < 2^62 and a quotient below 2^64.
uint64_t divide_shifted(uint64_t a, int shift, uint64_t b)
{
    uint64_t q = a / b;
    uint64_t r = a % b;
    for (int k = 0; k < shift; ++k) {
        r <<= 1;
        q <<= 1;
        if (r >= b) {
            r -= b;
            q |= 1;
        }
    }
    return q;
}

constexpr bool ratio_in_range(uint64_t ratio)
{
    return ratio >= ASRC_Q31_RATIO_MIN && ratio <= ASRC_Q31_RATIO_MAX;
}

// Pieces of the prototype per input frame, Q32.32: 64 on the full band,
// 64 * 1.002 / ratio (rounded down) beyond, which puts the stretched
// filter's stopband at the output's Nyquist frequency.
uint64_t step_of(uint64_t ratio)
{
    return ratio <= ASRC_Q31_RATIO_FULL_BAND ? kFullStep
                                             : divide_shifted(ASRC_Q31_RATIO_FULL_BAND, 38, ratio);
}

// ceil(96 / s): the inputs beyond an output's time that the filter reaches.
int32_t delay_of_step(uint64_t step)
{
    return static_cast<int32_t>((kCentre + step - 1) / step);
}

// A row's entries: its taps rounded up to a whole vector of 16, so that
// the vector paths need no scalar tail.
constexpr int32_t row_stride(int32_t taps)
{
    return (taps + 15) & ~15;
}

// The rows start at the first 64-byte boundary of the state's memory (so
// that the vector loads stay within cache lines), at most 15 words in.
int32_t* rows_base(int32_t* table)
{
    const uintptr_t words = reinterpret_cast<uintptr_t>(table) / 4;
    return table + ((16 - (words & 15)) & 15);
}

inline int32_t saturate(int64_t acc, uint32_t* clipped)
{
    const int64_t y = (acc + (int64_t{1} << 29)) >> 30;
    if (y > INT32_MAX || y < INT32_MIN) {
        if (*clipped != UINT32_MAX)
            ++*clipped;
        return y > 0 ? INT32_MAX : INT32_MIN;
    }
    return static_cast<int32_t>(y);
}

// mu * step / 2^40 rounded down, mu < 2^40 and step <= 2^38: the product
// needs 78 bits, so it is taken in two 20-bit halves of mu.
uint64_t scale_fraction(uint64_t mu, uint64_t step)
{
    const uint64_t low = ((mu & 0xFFFFF) * step) >> 20;
    return ((mu >> 20) * step + low) >> 20;
}

} // namespace

ASRC_Q31_INLINE int32_t piece_coefficient(uint64_t x)
{
    const uint32_t g = static_cast<uint32_t>(x >> 32);
    // The top 31 bits of the fraction; the mask makes the truncation plain.
    const int32_t u = static_cast<int32_t>(static_cast<uint32_t>(x >> 1) & 0x7FFFFFFFu);
#ifndef ASRC_Q31_SMALL
    const int32_t* a = kQ31Pieces.a[g];
    return horner(a[0], a[1], a[2], a[3], u);
#else
    const uint32_t p = g & (kPieces - 1);
    const uint32_t j = kTaps - 1 - (g / kPieces);
    return horner(kQ31Coef[0][p][j], kQ31Coef[1][p][j], kQ31Coef[2][p][j], kQ31Coef[3][p][j], u);
#endif
}

void full_band_sums_portable(const int32_t* const* x, int32_t channels, uint32_t p, int64_t* d)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        row_sums(kQ31Coef[0][p], kQ31Coef[1][p], kQ31Coef[2][p], kQ31Coef[3][p], x[ch], kTaps,
                 d + 4 * ch);
}

void row_sums_portable(const int32_t* const* x, int32_t channels, const int32_t* const* a,
                       int32_t taps, int64_t* d)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        row_sums(a[0], a[1], a[2], a[3], x[ch], taps, d + 4 * ch);
}

// The stretched filter: each tap at its own place.  The coefficients are
// not kept; every channel's sum takes each as it is formed.
void stretched_row_portable(int32_t* c, int32_t n, uint64_t x, uint64_t step, int32_t gain)
{
    for (int32_t j = 0; j < n; ++j, x -= step)
        c[j] = x < kEnd ? mul_q31(piece_coefficient(x), gain) : 0;
}

int32_t stretched_sums(const int32_t* const* x, int32_t channels, int32_t taps, uint64_t x0,
                       uint64_t step, int32_t gain, int64_t* acc)
{
    for (int32_t ch = 0; ch < channels; ++ch)
        acc[ch] = 0;
    uint32_t sum = 0; // the coefficients' sum lies near 2^30: exact modulo 2^32
    // X falls by `step` a tap; the first taps may lie past the last piece
    // and the last ones before the first (their coefficient is zero).
    int32_t first = 0;
    uint64_t xj = x0;
    while (first < taps && xj >= kEnd) {
        ++first;
        xj -= step;
    }
    // The last taps may lie before the first piece (X below 0, which wraps
    // to beyond the end): the coefficient makers give them zero, so no
    // division is needed to find where they start.
    const int32_t last = taps - 1;
    // The coefficients are formed a chunk at a time (the taps are
    // independent, so their multiplies overlap), then each channel's sum
    // runs over the chunk with its total in a register.
    constexpr int32_t kChunk = 128;
    alignas(64) int32_t c[kChunk];
    const StretchedRow form = best_stretched_row();
    for (int32_t j0 = first; j0 <= last; j0 += kChunk) {
        const int32_t n = last - j0 + 1 < kChunk ? last - j0 + 1 : kChunk;
        form(c, n, xj, step, gain);
        xj -= static_cast<uint64_t>(n) * step;
        for (int32_t j = 0; j < n; ++j)
            sum += static_cast<uint32_t>(c[j]);
        for (int32_t ch = 0; ch < channels; ++ch) {
            const int32_t* xs = x[ch] + j0;
            int64_t a = 0;
            for (int32_t j = 0; j < n; ++j)
                a += int64_t{c[j]} * xs[j];
            acc[ch] += a;
        }
    }
    return static_cast<int32_t>(sum);
}

} // namespace asrc_q31_detail

using namespace asrc_q31_detail;

namespace {

// round(d * u / 2^31) for a 64-bit d and a Q0.31 u, without a 128-bit
// type: d's part above bit 31 times u is exact, its low 31 bits times u
// are rounded.
inline int64_t mul_q31_wide(int64_t d, int32_t u)
{
    const int64_t high = d >> 31;
    const int64_t low = d & 0x7FFFFFFF;
    return high * u + ((low * u + (int64_t{1} << 30)) >> 31);
}

void emit(asrc_q31_state* s, int32_t* out, FullBandSums full_band, RowSums rows)
{
    const int32_t channels = s->channels;
    const int32_t window = s->window;
    const int32_t d = s->delay;
    // Tap 0 is input n - d + 1, lag + d - 1 frames before the newest one;
    // lag + d never exceeds the window, so one wrap is enough (and no
    // division is needed, which a Cortex-M0+ would call a helper for).
    int32_t start = s->write - s->lag - d;
    if (start < 0)
        start += window;
    // Every entry points into the history (the unused ones at channel 0),
    // so that nothing reads an unset pointer and no memset is needed.
    const int32_t* x[ASRC_Q31_MAX_CHANNELS];
    for (int32_t ch = 0; ch < ASRC_Q31_MAX_CHANNELS; ++ch)
        x[ch] = s->history + (ch < channels ? static_cast<int64_t>(ch) * 2 * window : 0) + start;

    int64_t acc[ASRC_Q31_MAX_CHANNELS];
    if (s->step == kFullStep || s->table != nullptr) {
        // Every tap at fraction u of row p: the cubic's four terms are
        // summed over the taps first and joined once (Horner's rule on
        // the sums), which costs four multiply-adds a tap and rounds only
        // three times an output.  The rows sum to exactly one at any u.
        // The prototype's rows on the full band; beyond it the state's
        // own, made for its stretch (see build_rows).
        const auto p = static_cast<uint32_t>(s->frac >> 34);
        int64_t dsum[4 * ASRC_Q31_MAX_CHANNELS];
        if (s->step == kFullStep) {
            full_band(x, channels, p, dsum);
        } else {
            const int32_t taps = s->table_taps;
            const int32_t* base = rows_base(s->table);
            const int32_t* a[4];
            for (int k = 0; k < 4; ++k)
                a[k] = base + (static_cast<int64_t>(k) * kPieces + p) * row_stride(taps);
            rows(x, channels, a, taps, dsum);
        }
        const int32_t u = row_fraction(s->frac);
        for (int32_t ch = 0; ch < channels; ++ch) {
            const int64_t* dk = dsum + 4 * ch;
            int64_t y = dk[2] + mul_q31_wide(dk[3], u);
            y = dk[1] + mul_q31_wide(y, u);
            acc[ch] = dk[0] + mul_q31_wide(y, u);
        }
    } else {
        const uint64_t mu_step = scale_fraction(s->frac, s->step); // < step
        const uint64_t x0 = static_cast<uint64_t>(d - 1) * s->step + mu_step + kCentre;
        const int32_t sum = stretched_sums(x, channels, 2 * d, x0, s->step, s->gain, acc);
        // The coefficients' sum made exactly one: DC passes unchanged.  The
        // tap nearest the output's time (ties to the later input) is d - 1,
        // or d once mu reaches half a tap: floor((x0 - centre + step / 2) /
        // step) without the division.
        const int32_t centre = d - 1 + (mu_step + s->step / 2 >= s->step ? 1 : 0);
        const int64_t rest = (int64_t{1} << 30) - sum;
        for (int32_t ch = 0; ch < channels; ++ch)
            acc[ch] += rest * x[ch][centre];
    }
    for (int32_t ch = 0; ch < channels; ++ch)
        out[ch] = saturate(acc[ch], &s->clipped);
}

// The value of the stretched filter at place X (as the per-tap path forms
// it): zero beyond the last piece, which is also where a place below the
// first one wraps.
int32_t stretched_value(uint64_t x, int32_t gain)
{
    return x < kEnd ? mul_q31(piece_coefficient(x), gain) : 0;
}

// n / 2, a tie to the even neighbour: rounding halves up would bias every
// tap alike, and the biases of a thousand taps, gathered by the row sums
// onto the tap nearest the output, would cost 20 dB at ratio 4.
int64_t half_to_even(int64_t n)
{
    const int64_t k = n >> 1; // floor
    return k + (n & k & 1);
}

// The state's own rows for the stretch of its ratio (the per-tap path's
// stretch at that ratio): tap j of row p at fraction u is a cubic in u
// through the stretched filter's values at u = 0, 1/3, 2/3 and 1 (exact
// rational weights, one rounding), so that an output costs what one on the
// full band does per tap.  Neighbouring rows share their end values.  The
// tap nearest the output then takes what makes each row's terms sum to
// exactly 2^30, 0, 0, 0: DC passes exactly at every fraction.
//
// The rows serve ratios within 2^-10 of the one they were built for, so a
// drift controller's small corrections do not rebuild them: the output's
// Nyquist frequency then lies within 0.1% of the stopband's edge, and 20 kHz
// at the lower rate within the flat band.  They depend on the ratio alone
// (not on max_ratio), so that every state given the same ratios gives the
// same outputs.
void build_rows(asrc_q31_state* s)
{
    const uint64_t built = s->ratio;
    const uint64_t step = step_of(built);
    const int32_t d = delay_of_step(step);
    const int32_t taps = 2 * d;
    const auto gain = static_cast<int32_t>(step >> 7);
    const int32_t stride = row_stride(taps);
    int32_t* const base = rows_base(s->table);
    const auto row = [&](int k, uint32_t p) {
        return base + (static_cast<int64_t>(k) * kPieces + p) * stride;
    };
    for (int32_t j = 0; j < taps; ++j) {
        // Tap j's place at u = 0 of row 0; below the first piece it wraps
        // (unsigned), as in the per-tap path.
        const uint64_t place = kCentre + static_cast<uint64_t>(int64_t{d} - 1 - j) * step;
        int64_t v0 = stretched_value(place, gain);
        for (uint32_t p = 0; p < kPieces; ++p) {
            int64_t v[4] = {v0, 0, 0, 0};
            for (uint32_t n = 1; n < 4; ++n)
                v[n] = stretched_value(place + (uint64_t{3 * p + n} * step) / (3 * kPieces), gain);
            // The cubic through (0, v0), (1/3, v1), (2/3, v2), (1, v3).
            const int64_t n1 = -11 * v[0] + 18 * v[1] - 9 * v[2] + 2 * v[3];
            const int64_t n2 = 18 * v[0] - 45 * v[1] + 36 * v[2] - 9 * v[3];
            const int64_t n3 = -9 * v[0] + 27 * v[1] - 27 * v[2] + 9 * v[3];
            // The terms of so smooth a curve stay far inside int32.
            row(0, p)[j] = static_cast<int32_t>(v[0]);
            row(1, p)[j] = static_cast<int32_t>(half_to_even(n1));
            row(2, p)[j] = static_cast<int32_t>(half_to_even(n2));
            row(3, p)[j] = static_cast<int32_t>(half_to_even(n3));
            v0 = v[3];
        }
    }
    for (uint32_t p = 0; p < kPieces; ++p) {
        const int32_t centre = p < kPieces / 2 ? d - 1 : d;
        for (int k = 0; k < 4; ++k) {
            for (int32_t j = taps; j < stride; ++j)
                row(k, p)[j] = 0;
            int64_t sum = 0;
            for (int32_t j = 0; j < taps; ++j)
                sum += row(k, p)[j];
            const int64_t want = k == 0 ? int64_t{1} << 30 : 0;
            row(k, p)[centre] = static_cast<int32_t>(row(k, p)[centre] + want - sum);
        }
    }
    s->table_taps = taps;
    s->table_low = built - (built >> 10);
    s->table_high = built + (built >> 10);
}

// The filter, delay and (with rows attached) the rows for s->ratio.
void apply_ratio(asrc_q31_state* s)
{
    s->step = step_of(s->ratio);
    s->delay = delay_of_step(s->step);
    // s in Q0.31; on the full band it is not used.
    s->gain = static_cast<int32_t>(s->step == kFullStep ? INT32_MAX : s->step >> 7);
    if (s->table != nullptr && s->step != kFullStep) {
        if (s->table_taps == 0 || s->ratio < s->table_low || s->ratio > s->table_high)
            build_rows(s);
        s->delay = s->table_taps / 2;
    }
}

} // namespace

extern "C" {

uint64_t asrc_q31_ratio(uint32_t in_rate, uint32_t out_rate)
{
    // A quotient above 25 is refused before it is scaled, where it could wrap.
    if (in_rate == 0 || out_rate == 0 || in_rate / out_rate > 25)
        return 0;
    // floor(in * 2^41 / out), then halved with rounding.
    const uint64_t twice = divide_shifted(in_rate, 41, out_rate);
    const uint64_t ratio = (twice + 1) >> 1;
    return ratio_in_range(ratio) ? ratio : 0;
}

int32_t asrc_q31_delay(uint64_t ratio)
{
    return ratio_in_range(ratio) ? delay_of_step(step_of(ratio)) : 0;
}

int32_t asrc_q31_memory_words(int32_t channels, uint64_t max_ratio)
{
    if (channels < 1 || channels > ASRC_Q31_MAX_CHANNELS || !ratio_in_range(max_ratio))
        return 0;
    return 4 * channels * asrc_q31_delay(max_ratio);
}

int asrc_q31_init(asrc_q31_state* s, int32_t* memory, int32_t words, int32_t channels,
                  uint64_t ratio, uint64_t max_ratio)
{
    const int32_t need = asrc_q31_memory_words(channels, max_ratio);
    if (need == 0 || !ratio_in_range(ratio) || ratio > max_ratio || memory == nullptr ||
        words < need)
        return -1;
    s->history = memory;
    s->window = 2 * asrc_q31_delay(max_ratio);
    s->write = 0;
    s->channels = channels;
    s->ratio = 0;
    s->max_ratio = max_ratio;
    s->frac = 0;
    s->lag = -1;
    s->clipped = 0;
    s->reserved = 0;
    s->table = nullptr;
    s->table_words = 0;
    s->table_taps = 0;
    s->table_low = 0;
    s->table_high = 0;
    for (int32_t i = 0; i < need; ++i)
        memory[i] = 0;
    asrc_q31_set_ratio(s, ratio);
    return 0;
}

int asrc_q31_set_ratio(asrc_q31_state* s, uint64_t ratio)
{
    if (!ratio_in_range(ratio) || ratio > s->max_ratio)
        return -1;
    if (ratio != s->ratio) {
        s->ratio = ratio;
        apply_ratio(s);
    }
    return 0;
}

int32_t asrc_q31_table_words(uint64_t max_ratio)
{
    if (!ratio_in_range(max_ratio))
        return 0;
    // The rows are built for at most max_ratio, so their delay is at most
    // its delay.
    return max_ratio <= ASRC_Q31_RATIO_FULL_BAND
               ? 0
               : 4 * int32_t{kPieces} * row_stride(2 * asrc_q31_delay(max_ratio)) + 15;
}

int asrc_q31_attach_table(asrc_q31_state* s, int32_t* table, int32_t words)
{
    if (table != nullptr && words < asrc_q31_table_words(s->max_ratio))
        return -1;
    s->table = table;
    s->table_words = table != nullptr ? words : 0;
    s->table_taps = 0;
    s->table_low = 0;
    s->table_high = 0;
    apply_ratio(s);
    return 0;
}

void asrc_q31_process_block(asrc_q31_state* s, int32_t* out, const int32_t* in, int32_t* nin,
                            int32_t* nout)
{
    const int32_t count = *nin;
    *nout = 0;
    if (count <= 0) {
        *nin = 0;
        return;
    }
    const FullBandSums full_band = best_full_band_sums();
    const RowSums rows = best_row_sums();
    const int32_t channels = s->channels;
    const int32_t window = s->window;
    int32_t produced = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t* frame = in + static_cast<int64_t>(i) * channels;
        for (int32_t ch = 0; ch < channels; ++ch) {
            int32_t* h = s->history + static_cast<int64_t>(ch) * 2 * window;
            h[s->write] = h[s->write + window] = frame[ch];
        }
        s->write = s->write + 1 == window ? 0 : s->write + 1;
        ++s->lag;
        while (s->lag >= s->delay) {
            emit(s, out + static_cast<int64_t>(produced) * channels, full_band, rows);
            ++produced;
            s->frac += s->ratio;
            s->lag -= static_cast<int32_t>(s->frac >> 40);
            s->frac &= kFracMask;
        }
    }
    *nout = produced;
}

int64_t asrc_q31_max_output(int32_t count, uint64_t ratio)
{
    if (count <= 0 || !ratio_in_range(ratio))
        return 0;
    const uint64_t frames =
        static_cast<uint64_t>(count) + ASRC_Q31_DELAY_MAX - static_cast<uint64_t>(asrc_q31_delay(ratio));
    // ceil(frames * 2^40 / ratio); frames < 2^32, so the quotient fits.
    const uint64_t q = divide_shifted(frames, 40, ratio);
    const bool exact = q * ratio == frames << 40; // both sides wrap alike
    return static_cast<int64_t>(exact ? q : q + 1);
}

int64_t asrc_q31_input_held(const asrc_q31_state* s)
{
    return (static_cast<int64_t>(s->lag) << 30) - static_cast<int64_t>(s->frac >> 10);
}

} // extern "C"
