// asrc_poly.cpp - the polyphase converter's entries and its portable sums.
// See asrc_poly.h for formats, rounding and the contract of each function.
//
// Built as C++ without exceptions or RTTI and with no C++ runtime, as
// asrc.cpp is.
#include "asrc_poly.h"

#include "internal/poly_kernels.h"
#include "internal/poly_table.h"

namespace asrc_poly_detail {

namespace {

constexpr int32_t kCentre = kTableCentre;  // 16384: t = 0
constexpr int32_t kEnd = 2 * kTableCentre; // 32768: t = +64
constexpr int32_t kHistory = ASRC_POLY_HISTORY;
constexpr uint32_t kFracMask = (1u << 30) - 1;

static_assert(kTableTaps * kTablePhases == kEnd, "table spans 128 taps of 256 phases");
static_assert((kHistory & (kHistory - 1)) == 0, "the history wraps with a mask");

// Position of the taps for a stride and a fraction (see filter_sum).
struct Taps {
    int32_t a;   // whole table steps of stride * frac
    int32_t phi; // the next 15 bits: the interpolation weight
};

inline Taps taps_at(uint32_t frac, int32_t stride)
{
    const uint64_t m = static_cast<uint64_t>(stride) * frac; // < 2^38
    // Both fit: a < stride <= 256, phi < 2^15.
    return {static_cast<int32_t>(m >> 30), static_cast<int32_t>((m >> 15) & 0x7FFF)};
}

} // namespace

// The two halves of the table are walked separately so that no tap needs a
// test: left of the centre (j <= 0) F(q) is the stored entry q, right of it
// (j >= 1, q > 16384) the mirrored entry 32768 - q.  The products are summed
// apart (A: the entries, D: their differences) and joined once.  The loops
// are unrolled by 4: on a Cortex-M4 a loop's test and branch cost about as
// much as a tap's loads and multiply-adds.
int64_t filter_sum(const int16_t* xn, uint32_t frac, int32_t stride)
{
    const Taps t = taps_at(frac, stride);
    const int32_t j_min = -((kCentre - 1 - t.a) / stride);
    const int32_t j_max = (kCentre + t.a) / stride;
    int64_t a = 0;
    int64_t d = 0;
    int32_t q = kCentre + stride * j_min - t.a; // 1..stride
#pragma GCC unroll 4
    for (int32_t j = j_min; j <= 0; ++j, q += stride) {
        const int32_t p = kHalfTable[q];
        a += static_cast<int64_t>(xn[j]) * p;
        d += static_cast<int64_t>(xn[j]) * (kHalfTable[q - 1] - p);
    }
    int32_t r = kEnd - (kCentre + stride - t.a); // mirrored index of j = 1
#pragma GCC unroll 4
    for (int32_t j = 1; j <= j_max; ++j, r -= stride) {
        const int32_t p = kHalfTable[r];
        a += static_cast<int64_t>(xn[j]) * p;
        d += static_cast<int64_t>(xn[j]) * (kHalfTable[r + 1] - p);
    }
    return a * 32768 + t.phi * d;
}

// filter_sum at stride 256, the full band, where the taps are j = -63..64
// whatever the fraction (a < 256): the same products summed in the same
// order, but with constant bounds, so that the loops unroll.  Where there
// are no vector sums (Cortex-M, i686) most of the converter's time is spent
// here (docs/embedded.md).
int64_t full_band_sum_portable(const int16_t* xn, uint32_t frac)
{
    constexpr int32_t kStride = kTablePhases;
    const Taps t = taps_at(frac, kStride);
    const int32_t* left = kHalfTable + (kStride - t.a);           // entry q of j = -63
    const int32_t* right = kHalfTable + (kCentre - kStride + t.a); // mirrored entry of j = 1
    int64_t a = 0;
    int64_t d = 0;
#pragma GCC unroll 4
    for (int32_t k = 0; k < 64; ++k) {
        const int32_t p = left[k * kStride];
        a += static_cast<int64_t>(xn[k - 63]) * p;
        d += static_cast<int64_t>(xn[k - 63]) * (left[k * kStride - 1] - p);
    }
#pragma GCC unroll 4
    for (int32_t k = 0; k < 64; ++k) {
        const int32_t p = right[-k * kStride];
        a += static_cast<int64_t>(xn[k + 1]) * p;
        d += static_cast<int64_t>(xn[k + 1]) * (right[1 - k * kStride] - p);
    }
    return a * 32768 + t.phi * d;
}

RowsSum best_rows_sum()
{
#if defined(ASRC_POLY_X86_KERNELS)
    using namespace asrc_cpu_detail;
    return has_avx512_vnni() ? rows_sum_avx512 : has_avx2() ? rows_sum_avx2 : rows_sum_sse2;
#else
    return nullptr;
#endif
}

FullBandSum best_full_band_sum()
{
#if defined(ASRC_POLY_X86_KERNELS)
    using namespace asrc_cpu_detail;
    return has_avx512_vnni() ? full_band_sum_avx512
           : has_avx2()      ? full_band_sum_avx2
                             : full_band_sum_sse2;
#elif defined(ASRC_POLY_DSP_KERNEL)
    return full_band_sum_dsp;
#else
    return full_band_sum_portable;
#endif
}

namespace {

bool ratio_in_range(uint32_t ratio)
{
    return ratio >= ASRC_POLY_RATIO_MIN && ratio <= ASRC_POLY_RATIO_MAX;
}

// floor(n / d) for a quotient known to lie below 2^bits (n < d * 2^bits,
// bits 1..32), by shift and subtract: the same quotient as the operator.
// The library divides 64-bit numbers only here, where a ratio is set up,
// and not with `/`, which on 32-bit ARM calls libgcc's __aeabi_uldivmod:
// so on Cortex-M3, M4 and M7 it links with nothing from outside itself.
constexpr uint32_t divide(uint64_t n, uint32_t d, int bits)
{
    uint64_t part = d;
    for (int i = 1; i < bits; ++i)
        part <<= 1; // d * 2^(bits - 1)
    uint32_t q = 0;
    for (int i = 0; i < bits; ++i) {
        q <<= 1;
        if (n >= part) {
            n -= part;
            q |= 1;
        }
        part >>= 1;
    }
    return q;
}

// asrc_poly_stride(ratio) for a ratio in range: above the full band the
// quotient is below 256 (8 bits).
constexpr int32_t stride_of(uint32_t ratio)
{
    return ratio <= ASRC_POLY_RATIO_FULL_BAND
               ? kTablePhases
               : static_cast<int32_t>(
                     divide(static_cast<uint64_t>(ASRC_POLY_RATIO_FULL_BAND) << 8, ratio, 8));
}

static_assert(stride_of(ASRC_POLY_RATIO_MIN) == asrc_poly_stride(ASRC_POLY_RATIO_MIN));
static_assert(stride_of(ASRC_POLY_RATIO_FULL_BAND) == asrc_poly_stride(ASRC_POLY_RATIO_FULL_BAND));
static_assert(stride_of(ASRC_POLY_RATIO_FULL_BAND + 1) ==
              asrc_poly_stride(ASRC_POLY_RATIO_FULL_BAND + 1));
static_assert(stride_of(1168698584u) == asrc_poly_stride(1168698584u)); // 48 -> 44.1 kHz
static_assert(stride_of(ASRC_POLY_RATIO_MAX - 1) == asrc_poly_stride(ASRC_POLY_RATIO_MAX - 1));
static_assert(stride_of(ASRC_POLY_RATIO_MAX) == asrc_poly_stride(ASRC_POLY_RATIO_MAX));

// X * stride / 2^43 rounded to nearest, halves up, then clipped to 16 bits.
// |X| < 2^55 and stride <= 2^8, so the product stays below 2^63.
inline int16_t finish(int64_t x, int32_t stride, uint32_t& clipped)
{
    const int64_t y = (x * stride + (int64_t{1} << 42)) >> 43;
    if (y > 32767 || y < -32768) {
        if (clipped != 0xFFFFFFFFu)
            ++clipped;
        return y > 0 ? int16_t{32767} : int16_t{-32768};
    }
    return static_cast<int16_t>(y); // in range: exact
}

// The loop of one call with the state in locals; `sum` is the filter sum,
// the full-band kernel or the stretched one.
//
// The inputs go into the history in runs rather than one at a time, and the
// outputs that have become due are computed after each run: the outputs are
// the same (each is a function of the inputs and its time alone), but the
// vector loads of a window then rarely read a sample stored a few cycles
// before, which would stall them until the store is done.  A run may
// overwrite history only where no due output's window reaches: those
// windows start at most `reach` inputs before the output's integer time,
// and that time lies `lag` inputs before the newest.
template <typename Sum>
inline int32_t run(asrc_poly_state& s, int16_t* out, const int16_t* in, int32_t count, Sum sum,
                   int32_t reach)
{
    uint32_t write = s.write;
    int32_t lag = s.lag;
    uint32_t frac = s.frac;
    uint32_t clipped = s.clipped;
    const uint32_t ratio = s.ratio;
    const int32_t delay = s.delay;
    const int32_t stride = s.stride;
    int16_t* const hist = s.history;
    int32_t n = 0;
    for (int32_t i = 0; i < count;) {
        // lag <= 127 on entry (below the largest delay), reach <= 127: at
        // least one input fits.  `reach` is how far before the output's
        // integer time its sum reads: (16383 / stride) for the folded
        // table, 63 at full band, at most 127 with rows for one stride.
        const int32_t room = (kHistory - 1) - reach - lag;
        const int32_t take = room < count - i ? room : count - i;
        for (int32_t k = 0; k < take; ++k) {
            hist[write] = in[i + k];
            hist[write + kHistory] = in[i + k];
            write = (write + 1) & (kHistory - 1);
        }
        i += take;
        lag += take;
        while (lag >= delay) {
            // hist[write .. write + 255] are the last 256 inputs, oldest
            // first; the output's integer time is `lag` before the newest,
            // and lag + reach <= 255 keeps its window inside them.
            const int16_t* xn = hist + write + (kHistory - 1) - lag;
            out[n++] = finish(sum(xn, frac), stride, clipped);
            const uint64_t next = static_cast<uint64_t>(frac) + ratio;
            lag -= static_cast<int32_t>(next >> 30); // 0, 1 or 2
            frac = static_cast<uint32_t>(next) & kFracMask;
        }
    }
    s.write = write;
    s.lag = lag;
    s.frac = frac;
    s.clipped = clipped;
    return n;
}

void process(asrc_poly_state& s, const asrc_poly_rows* rows, int16_t* out, const int16_t* in,
             int32_t count, int32_t* nout)
{
    const int32_t stride = s.stride;
    if (stride == kTablePhases) {
        *nout = run(s, out, in, count, best_full_band_sum(), (kCentre - 1) / kTablePhases);
        return;
    }
    const RowsSum rows_sum = rows != nullptr && rows->stride == stride ? best_rows_sum() : nullptr;
    if (rows_sum != nullptr) {
        const int32_t taps = rows->taps;
        const int32_t first = rows->first;
        *nout = run(
            s, out, in, count,
            [=](const int16_t* xn, uint32_t frac) {
                const Taps t = taps_at(frac, stride);
                const int32_t at = t.a * taps;
                return rows_sum(xn + first, rows->hi + at, rows->lo + at, rows->d + at, taps,
                                t.phi);
            },
            -first);
        return;
    }
    *nout = run(
        s, out, in, count,
        [stride](const int16_t* xn, uint32_t frac) { return filter_sum(xn, frac, stride); },
        (kCentre - 1) / stride);
}

// The stride and delay as asrc_poly_stride and asrc_poly_delay give them
// (the tests hold them equal), without a 64-bit `/`.
void apply_ratio(asrc_poly_state& s, uint32_t ratio)
{
    const int32_t stride = stride_of(ratio);
    s.ratio = ratio;
    s.stride = stride;
    s.delay = (kCentre + stride - 1) / stride;
}

} // namespace

} // namespace asrc_poly_detail

using namespace asrc_poly_detail;

extern "C" {

uint32_t asrc_poly_ratio(uint32_t in_rate, uint32_t out_rate)
{
    if (in_rate == 0 || out_rate == 0)
        return 0;
    // q = floor(n / out_rate), refused at once when q > ASRC_POLY_RATIO_MAX;
    // otherwise q fits 32 bits (see divide).
    const uint64_t n = (static_cast<uint64_t>(in_rate) << 30) + out_rate / 2;
    if (n >= (static_cast<uint64_t>(ASRC_POLY_RATIO_MAX) + 1) * out_rate)
        return 0;
    const uint32_t q = divide(n, out_rate, 32);
    return q >= ASRC_POLY_RATIO_MIN ? q : 0;
}

// Field by field, not by clearing the struct: a compiler may turn that into
// a call to memset, and the library must link where there is no C library.
int asrc_poly_init(asrc_poly_state* s, uint32_t ratio)
{
    if (!ratio_in_range(ratio))
        return -1;
    for (int32_t i = 0; i < 2 * kHistory; ++i)
        s->history[i] = 0;
    s->write = 0;
    s->frac = 0;
    s->lag = -1; // no input yet: input 0 will be the newest
    s->clipped = 0;
    apply_ratio(*s, ratio);
    return 0;
}

int asrc_poly_set_ratio(asrc_poly_state* s, uint32_t ratio)
{
    if (!ratio_in_range(ratio))
        return -1;
    apply_ratio(*s, ratio);
    return 0;
}

void asrc_poly_process_block_rows(asrc_poly_state* s, const asrc_poly_rows* rows, int16_t* out,
                                  const int16_t* in, int32_t* nin, int32_t* nout)
{
    const int32_t count = *nin;
    if (count <= 0) {
        *nin = 0;
        *nout = 0;
        return;
    }
    process(*s, rows, out, in, count, nout);
    *nin = count;
}

void asrc_poly_process_block(asrc_poly_state* s, int16_t* out, const int16_t* in, int32_t* nin,
                             int32_t* nout)
{
    asrc_poly_process_block_rows(s, nullptr, out, in, nin, nout);
}

int asrc_poly_rows_init(asrc_poly_rows* r, uint32_t ratio)
{
    if (!ratio_in_range(ratio))
        return -1;
    // stride_of, not the header's asrc_poly_stride: no 64-bit division.
    const int32_t stride = stride_of(ratio);
    r->stride = stride;
    if (stride == kTablePhases)
        return 0;
    // Exactly the taps the folded table's sum reads (filter_sum): no
    // padding, so that no sum reads an input outside the history's window.
    const int32_t reach = (kCentre - 1) / stride;
    const int32_t taps = reach + (kCentre + stride - 1) / stride + 1; // + the delay
    r->taps = taps;
    r->first = -reach;
    for (int32_t a = 0; a < stride; ++a) {
        for (int32_t i = 0; i < taps; ++i) {
            const int32_t q = kCentre + stride * (r->first + i) - a;
            const int32_t f = table_entry(q);
            const int32_t hi = f >> 6; // floor: lo = f - 64 * hi is 0..63
            // All three fit 16 bits: |f| < 2^20, |f(q - 1) - f(q)| < 2^13.
            const int32_t at = a * taps + i;
            r->hi[at] = static_cast<int16_t>(hi);
            r->lo[at] = static_cast<int16_t>(f - 64 * hi);
            r->d[at] = static_cast<int16_t>(table_entry(q - 1) - f);
        }
    }
    return 0;
}

int64_t asrc_poly_input_held(const asrc_poly_state* s)
{
    return static_cast<int64_t>(s->lag) * (int64_t{1} << 30) - static_cast<int64_t>(s->frac);
}

} // extern "C"
