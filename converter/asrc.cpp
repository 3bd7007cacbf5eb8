// asrc.cpp - the converter rule, once, for both families of entries.
// See asrc.h for formats, rounding and the contract of each function.
//
// Built as C++ without exceptions or RTTI: nothing here may call into the C++
// runtime (no new, no throw, no function-local statics with guards, no
// typeinfo), so that C programs link the library with the C driver.
#include "asrc.h"

// A white-box build of the tests counts the groups that the fast path
// takes, since its outputs alone cannot show whether a group was taken.
#ifdef ASRC_COUNT_FAST_PATH_GROUPS
extern "C" long asrc_fast_path_groups; // defined by that test
#define ASRC_FAST_PATH_GROUP_TAKEN() (++asrc_fast_path_groups)
#else
#define ASRC_FAST_PATH_GROUP_TAKEN() ((void)0)
#endif

namespace {

// The converter of the module-scope entries.  Zero at program start (static
// storage), which is a converter just reset.
asrc_state asrc_module_state;

// Working copy of a state.  Each value is a sign-extended 16-bit sample or
// phase held in 32 bits, so that the arithmetic below needs no conversions;
// every store keeps it within int16_t range.
struct Locals {
    int32_t in;
    int32_t in_prev;
    int32_t out;
    int32_t out_prev;
    int32_t phase;
};

Locals load(const asrc_state& s)
{
    return {s.in, s.in_prev, s.out, s.out_prev, s.phase};
}

// Every value of Locals lies in int16_t range (see above), so these
// narrowings are exact.
//
// Five plain 16-bit stores, through a volatile view so that the compiler
// keeps them so.  Left to itself GCC merges the four adjacent ones into one
// 64-bit store packed with shifts and ORs: the next call's 16-bit loads then
// wait for the packing and read from a store they only partly overlap,
// which made the per-sample entries 60% slower.  Each load of the next call
// now finds a store of its own size at its own address.
void store(const Locals& l, asrc_state& s)
{
    volatile asrc_state& v = s;
    v.in = static_cast<int16_t>(l.in);
    v.in_prev = static_cast<int16_t>(l.in_prev);
    v.out = static_cast<int16_t>(l.out);
    v.out_prev = static_cast<int16_t>(l.out_prev);
    v.phase = static_cast<int16_t>(l.phase);
}

// The allpass recurrence y[n] = x[n-1] + phase * (x[n] - y[n-1]) / 16384 with
// the phase already advanced.  t is phase * (x[n] - y[n-1]) + x[n-1] * 16384
// multiplied out, so that of the arithmetic only one product and one
// subtraction wait for y[n-1]: the rest is formed while the previous output
// is still being computed.  With the phase in 0..16384 and 16-bit operands
// each of the three terms lies within +-2^29, so neither form can overflow
// and both give exactly the same t.  The shift right rounds toward minus
// infinity; the cast keeps the low 16 bits of the result on purpose
// (two's-complement wrap-around, no saturation).
inline int16_t interpolate(Locals& s, int32_t sample)
{
    s.in = sample;
    const int32_t t = (s.phase * s.in + (s.in_prev << 14)) - s.phase * s.out_prev;
    const auto y = static_cast<int16_t>(t >> 14);
    s.out = y;
    s.out_prev = y;
    s.in_prev = s.in;
    return y;
}

// The whole per-sample rule: advance the phase, then drop, insert or just
// interpolate.  Writes 0, 1 or 2 samples to out and returns how many.
inline int32_t step_one(Locals& s, int32_t sample, int32_t step, int16_t* out)
{
    // Formed in 32 bits: with the phase in 0..16384 and any 16-bit step the
    // sum cannot overflow, and the stored phase is never left wrapped.
    const int32_t phase = s.phase + step;
    if (step > 0 && phase > ASRC_ONE) {
        // Drop: the input only moves the delay line along.  The overshoot
        // of the phase is discarded rather than carried.
        s.phase = 0;
        s.in = sample;
        s.out = s.in_prev;
        s.out_prev = s.out;
        s.in_prev = s.in;
        return 0;
    }
    int32_t n = 0;
    if (step < 0 && phase < 0) {
        // Insert: repeat the previous input, then interpolate with the
        // phase at one whole sample, which yields the current input itself.
        s.out = s.in_prev;
        s.out_prev = s.out;
        s.phase = ASRC_ONE;
        out[n++] = static_cast<int16_t>(s.out); // an int16_t value
    } else {
        s.phase = phase; // 0..16384 here
    }
    out[n++] = interpolate(s, sample);
    return n;
}

constexpr int32_t kGroup = 8;

// True when a group of kGroup samples starting at `phase` ends inside
// 0..16384, so that none of its samples can drop or insert.  The phase moves
// monotonically, so the end of the group is the only place to look; it is
// formed in 32 bits, so it cannot wrap.  Ending exactly on 16384 (or on 0)
// is inside: neither is a drop or an insert.
inline bool group_stays_in_range(int32_t phase, int32_t step)
{
    const int32_t end = phase + kGroup * step;
    return step > 0 ? end <= ASRC_ONE : end >= 0;
}

inline void process_sample(asrc_state& state, int16_t* out, int16_t sample, int32_t* nout,
                           int16_t step)
{
    Locals s = load(state);
    *nout = step_one(s, sample, step, out);
    store(s, state);
}

// The state lives in locals for the whole call and is stored once.
inline void process_block(asrc_state& state, int16_t* out, const int16_t* in, int32_t* nin,
                          int32_t* nout, int16_t step)
{
    const int32_t count = *nin;
    Locals s = load(state);
    int32_t i = 0;
    int32_t n = 0;

    // Fast path: while more than a group remains and no sample of the group
    // can drop or insert, the tests are skipped.  Once a group would leave
    // the range the rest of the call takes the per-sample rule.
    // `count - i` cannot overflow: 0 <= i.
    while (count - i > kGroup && group_stays_in_range(s.phase, step)) {
        ASRC_FAST_PATH_GROUP_TAKEN();
        for (int32_t k = 0; k < kGroup; ++k) {
            s.phase += step;
            out[n + k] = interpolate(s, in[i + k]);
        }
        i += kGroup;
        n += kGroup;
    }

    for (; i < count; ++i)
        n += step_one(s, in[i], step, out + n);

    *nin = i;
    *nout = n;
    store(s, state);
}

} // namespace

extern "C" {

// Field by field rather than `*s = asrc_state{}`: a compiler may turn the
// clearing of a whole struct into a call to memset (GCC does for Cortex-M0+),
// and the library must link where there is no C library.
void asrc_state_init(asrc_state* s)
{
    s->in = 0;
    s->in_prev = 0;
    s->out = 0;
    s->out_prev = 0;
    s->phase = 0;
}

void asrc_state_process_sample(asrc_state* s, int16_t* out, int16_t sample, int32_t* nout,
                               int16_t step)
{
    process_sample(*s, out, sample, nout, step);
}

void asrc_state_process_block(asrc_state* s, int16_t* out, const int16_t* in, int32_t* nin,
                              int32_t* nout, int16_t step)
{
    process_block(*s, out, in, nin, nout, step);
}

void asrc_init(void)
{
    asrc_state_init(&asrc_module_state);
}

void asrc_process_sample(int16_t* out, int16_t sample, int32_t* nout, int16_t step)
{
    process_sample(asrc_module_state, out, sample, nout, step);
}

void asrc_process_block(int16_t* out, const int16_t* in, int32_t* nin, int32_t* nout,
                        int16_t step)
{
    process_block(asrc_module_state, out, in, nin, nout, step);
}

} // extern "C"
