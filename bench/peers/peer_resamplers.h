// peer_resamplers.h - one interface over this project's two converters and
// the field's resampling libraries from Debian, as yardsticks for speed
// (bench/poly_bench.cpp) and quality (analysis/quality.py, through the
// runner asrc-peer-run).
//
// Every setting converts a stream of int16 samples (the 16-bit settings) or
// of int32 Q1.31 samples (the 32-bit ones, named "...-i32" and "asrc-q31"),
// in interleaved frames of one channel or more where the setting takes them,
// fed in blocks of any size as a user feeds it, from (in_rate, out_rate)
// given as a reduced fraction, and is ALIGNED: output frame k is the input
// at time k * in / out (input frame i lying at time i), as closely as the
// library allows.  Each adapter compensates its library's delay so:
//
//   asrc-poly        aligned by design (asrc_poly.h, DELAY); nothing to do.
//   asrc-q31         aligned by design (asrc_q31.h, DELAY); nothing to do.
//                    asrc-q31-16 is the same converter as a 16-bit user
//                    runs it: int16 input shifted left by 16, the Q1.31
//                    output rounded to nearest and saturated to int16.
//   asrc-rule        the allpass is a one-sample delay at step 0: its first
//                    output is dropped.  Its ratio is the rule's, not the one
//                    asked for (see Converter::ratio_out and ratio_in).
//   libsamplerate    aligned by the library (its sinc filter is centred on
//                    the output's time from the first input on).
//   speexdsp         speex_resampler_skip_zeros() right after creation.
//   soxr             aligned by the library (it drops its filter's delay).
//   zita VResampler  inpsize()/2 - 1 zeros are fed first, as its manual
//                    says, which centres the first output on input 0.
//
// The float libraries (libsamplerate, zita) get the samples scaled by
// 1/32768 and their outputs scaled by 32768, rounded to nearest (ties to
// even) and clipped to int16, as a user would feed them; their 32-bit
// settings get int32 samples scaled by 2^-31 and give outputs scaled by
// 2^31, rounded to nearest and clipped to int32.  speexdsp runs its integer
// entry (speex_resampler_process_int) and soxr 16-bit input and output
// (SOXR_INT16_I both ways) or, in its 32-bit settings, 32-bit integer input
// and output (SOXR_INT32_I both ways, no dither), each doing its own
// conversions.
//
// Any split of the stream into blocks gives the same outputs, but for
// soxr's random dither and SRC_LINEAR fed one sample per call (a quirk of
// libsamplerate's linear converter; blocks of 2 or more agree).
//
// Every library runs single-threaded (soxr: soxr_runtime_spec(1)).  A
// library not found when the project was configured is not compiled in:
// settings() lists what is there, missing() what is not.
#ifndef ASRC_BENCH_PEER_RESAMPLERS_H
#define ASRC_BENCH_PEER_RESAMPLERS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace peers {

// A rate pair as a fraction in lowest terms, both positive.
struct Rates {
    std::uint64_t in = 0;
    std::uint64_t out = 0;
};

// Reduces in/out to lowest terms; {0, 0} if either is 0.
Rates reduced(std::uint64_t in, std::uint64_t out);

// Reads a rate written as a positive decimal number with up to 9 digits
// after the point ("48000", "47995.2", "0.99"); false if it is anything
// else or 0.  `whole` receives it times 10^decimals, a whole number.
bool parse_rate(const char* text, std::uint64_t& whole, unsigned& decimals);

// Two decimal rates as a reduced fraction; {0, 0} if either is refused or
// the fraction does not fit in 64 bits.
Rates rates_from_text(const char* in_rate, const char* out_rate);

// One converter setting as --list shows it.
struct Setting {
    std::string name;        // what the runner and the benchmark call it: "soxr-hq"
    std::string library;     // "libsoxr"
    std::string package;     // the Debian package and its version: "libsoxr0 0.1.3-4"
    std::string version;     // the library's own version call, else the package's
    std::string description; // what is set: "SOXR_HQ, int16 in and out, TPDF dither"
    bool exact_ratio = true; // converts at exactly the ratio asked (all but asrc-rule)
    int bits = 16;           // its samples: 16 (int16) or 32 (int32 Q1.31), in and out
    int max_channels = 1;    // the most interleaved channels it takes
};

// A library that was not found at configure time.
struct Missing {
    std::string library; // "libzita-resampler"
    std::string package; // the Debian package that brings it: "libzita-resampler-dev"
};

// A converter of interleaved frames of `channels` samples of type S:
// std::int16_t for the 16-bit settings, std::int32_t (Q1.31) for the 32-bit
// ones (Setting::bits).  Counts are in frames.
template <class S>
class BasicConverter {
public:
    using Sample = S;
    virtual ~BasicConverter() = default;
    BasicConverter(const BasicConverter&) = delete;
    BasicConverter& operator=(const BasicConverter&) = delete;

    // The most output frames one call of process() with n input frames can give.
    virtual std::size_t max_output(std::size_t n) const = 0;

    // Converts in[0..n * channels()) (the next n frames of the stream) into
    // out, which must hold max_output(n) frames; returns the frames written.
    virtual std::size_t process(const S* in, std::size_t n, S* out) = 0;

    // Ends the stream: writes the frames still held back (the filter's
    // tail, from silence after the last input) into out, which holds `room`
    // frames; returns the number written.  Call again until it returns 0.
    // Nothing may be processed after it.
    std::size_t finish(S* out, std::size_t room);

    // The input frames the converter needs beyond an output's time before
    // it can give that output (the look-ahead that the alignment hides),
    // as the library reports it or its filter implies; -1 if unknown.
    virtual double latency() const = 0;

    // The ratio the converter really runs at, output frames per input
    // frame, as a fraction: the ratio asked for, except for asrc-rule.
    Rates actual() const { return actual_; }

    int channels() const { return channels_; }

protected:
    explicit BasicConverter(Rates actual, int channels = 1) : actual_(actual), channels_(channels)
    {
    }

    // The whole tail at once (finish() hands it out in pieces), interleaved.
    virtual std::vector<S> tail() = 0;

private:
    Rates actual_;
    int channels_;
    bool ended_ = false;
    std::vector<S> tail_;
    std::size_t tail_at_ = 0; // in samples
};

using Converter = BasicConverter<std::int16_t>;
using Converter32 = BasicConverter<std::int32_t>;

// The settings compiled in, ours first, then the peers in a fixed order.
const std::vector<Setting>& settings();

// The libraries that were not found at configure time (none, ideally).
const std::vector<Missing>& missing();

// The setting called `name`, or nullptr.
const Setting* find_setting(const std::string& name);

// A name that belongs to a library that is not compiled in: which one, or
// nullptr for a name that is unknown altogether.
const Missing* missing_for(const std::string& name);

// A new converter of the 16-bit setting `name` from in_rate to out_rate (a
// reduced fraction) for frames of `channels` channels, or nullptr with the
// reason in *error: an unknown name, a 32-bit setting, more channels than
// the setting takes, or a ratio the library refuses.
std::unique_ptr<Converter> make(const std::string& name, Rates rates, std::string* error,
                                int channels = 1);

// The same for the 32-bit settings (Q1.31 samples in and out).
std::unique_ptr<Converter32> make32(const std::string& name, Rates rates, std::string* error,
                                    int channels = 1);

// Converts the whole of in[0..n frames) with c in blocks of `block` frames,
// then finishes it, and returns the first `count` output frames (zeros past
// the end if the converter gave fewer, counted in *short_by when given).
template <class S>
std::vector<S> convert_all(BasicConverter<S>& c, const S* in, std::size_t n, std::size_t block,
                           std::size_t count, std::size_t* short_by = nullptr);

// ceil(n * out / in): the output count of n inputs at that ratio.
std::size_t output_count(std::size_t n, Rates r);

} // namespace peers

#endif
