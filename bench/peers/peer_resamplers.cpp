// peer_resamplers.cpp - the adapters behind peer_resamplers.h.  Which peers
// are compiled in is decided at configure time (bench/peers/CMakeLists.txt):
// ASRC_PEER_SAMPLERATE, ASRC_PEER_SPEEXDSP, ASRC_PEER_SOXR, ASRC_PEER_ZITA,
// each with its Debian package and version in ASRC_PEER_*_PACKAGE.
#include "peer_resamplers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string_view>

#include "asrc.h"
#include "asrc_poly.h"
#include "asrc_q31.h"
#include "rate_offset.h"
#include "stretched_rows.h"

#ifdef ASRC_PEER_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef ASRC_PEER_SPEEXDSP
#include <speex/speex_resampler.h>
#endif
#ifdef ASRC_PEER_SOXR
#include <soxr.h>
#endif
#ifdef ASRC_PEER_ZITA
#include <zita-resampler/vresampler.h>
#endif

#ifndef ASRC_PEER_VERSION
#define ASRC_PEER_VERSION "unknown"
#endif

namespace peers {

Rates reduced(std::uint64_t in, std::uint64_t out)
{
    if (in == 0 || out == 0)
        return {};
    const std::uint64_t g = std::gcd(in, out);
    return {in / g, out / g};
}

bool parse_rate(const char* text, std::uint64_t& whole, unsigned& decimals)
{
    whole = 0;
    decimals = 0;
    bool point = false;
    bool digits = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.' && !point) {
            point = true;
            continue;
        }
        if (*p < '0' || *p > '9')
            return false;
        if (point && ++decimals > 9)
            return false;
        if (whole > (std::numeric_limits<std::uint64_t>::max() - 9) / 10)
            return false;
        whole = whole * 10 + static_cast<std::uint64_t>(*p - '0');
        digits = true;
    }
    return digits && whole != 0;
}

Rates rates_from_text(const char* in_rate, const char* out_rate)
{
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    unsigned da = 0;
    unsigned db = 0;
    if (!parse_rate(in_rate, a, da) || !parse_rate(out_rate, b, db))
        return {};
    // Bring both to the same number of decimals.
    for (; da < db; ++da) {
        if (a > std::numeric_limits<std::uint64_t>::max() / 10)
            return {};
        a *= 10;
    }
    for (; db < da; ++db) {
        if (b > std::numeric_limits<std::uint64_t>::max() / 10)
            return {};
        b *= 10;
    }
    return reduced(a, b);
}

std::size_t output_count(std::size_t n, Rates r)
{
    if (r.in == 0)
        return 0;
    const unsigned __int128 num = static_cast<unsigned __int128>(n) * r.out;
    return static_cast<std::size_t>((num + r.in - 1) / r.in);
}

namespace {

constexpr const char* kOurs = "asrc " ASRC_PEER_VERSION;

[[maybe_unused]] double ratio_of(Rates r) // output samples per input sample
{
    return static_cast<double>(r.out) / static_cast<double>(r.in);
}

// Room for the outputs of n inputs at ratio r, with a margin for what a
// library held back from earlier calls.
[[maybe_unused]] std::size_t room_for(std::size_t n, Rates r, std::size_t margin)
{
    return output_count(n, r) + margin;
}

[[maybe_unused]] bool fits_u32(std::uint64_t v)
{
    return v <= std::numeric_limits<std::uint32_t>::max();
}

// -------------------------------------------------------------------------
// Float helpers for the libraries that take floats.

[[maybe_unused]] void to_float(const std::int16_t* in, std::size_t n, std::vector<float>& f)
{
    if (f.size() < n)
        f.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
}

[[maybe_unused]] void to_float(const std::int32_t* in, std::size_t n, std::vector<float>& f)
{
    if (f.size() < n)
        f.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        f[i] = static_cast<float>(in[i]) * (1.0f / 2147483648.0f);
}

[[maybe_unused]] std::int16_t to_int16(float v)
{
    const float s = v * 32768.0f;
    if (!(s > -32768.0f)) // also NaN
        return s != s ? 0 : -32768;
    if (s >= 32767.0f)
        return 32767;
    return static_cast<std::int16_t>(std::lrintf(s));
}

// In float, 2^31 - 1 is not representable: everything from 2^31 - 64 on
// rounds to 2^31, which is clipped.
[[maybe_unused]] std::int32_t to_int32(float v)
{
    const float s = v * 2147483648.0f;
    if (!(s > -2147483648.0f)) // also NaN
        return s != s ? 0 : std::numeric_limits<std::int32_t>::min();
    if (s >= 2147483648.0f)
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::lrintf(s));
}

[[maybe_unused]] void from_float(const float* f, std::size_t n, std::int16_t* out)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i] = to_int16(f[i]);
}

[[maybe_unused]] void from_float(const float* f, std::size_t n, std::int32_t* out)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i] = to_int32(f[i]);
}

// -------------------------------------------------------------------------
// Ours.

uint32_t poly_ratio_of(Rates r)
{
    if (fits_u32(r.in) && fits_u32(r.out))
        return asrc_poly_ratio(static_cast<uint32_t>(r.in), static_cast<uint32_t>(r.out));
    // The same rounding as asrc_poly_ratio (to nearest, halves up), wider.
    const unsigned __int128 q = ((static_cast<unsigned __int128>(r.in) << 31) / r.out + 1) >> 1;
    if (q < ASRC_POLY_RATIO_MIN || q > ASRC_POLY_RATIO_MAX)
        return 0;
    return static_cast<uint32_t>(q);
}

class Poly final : public Converter {
public:
    // With the stretched filter's rows when the ratio needs them, as a user
    // who converts downwards would set it up.  One state per channel (the
    // converter is mono); the rows are shared.
    Poly(Rates r, uint32_t ratio, int channels) : Converter(r, channels)
    {
        s_.resize(static_cast<std::size_t>(channels));
        for (auto& st : s_)
            asrc_poly_init(&st, ratio);
        asrc_cli::stretched_rows(ratio, rows_);
    }
    std::size_t max_output(std::size_t n) const override
    {
        return static_cast<std::size_t>(asrc_poly_max_output(static_cast<int32_t>(n), s_[0].ratio));
    }
    std::size_t process(const std::int16_t* in, std::size_t n, std::int16_t* out) override
    {
        if (s_.size() == 1)
            return run(s_[0], in, n, out);
        // Interleaved frames: each channel gathered, converted by its own
        // state and scattered back, as a caller of a mono converter does.
        const std::size_t ch = s_.size();
        std::size_t written = 0;
        for (std::size_t c = 0; c < ch; ++c) {
            gather_.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                gather_[i] = in[i * ch + c];
            scatter_.resize(max_output(n));
            written = run(s_[c], gather_.data(), n, scatter_.data());
            for (std::size_t k = 0; k < written; ++k)
                out[k * ch + c] = scatter_[k];
        }
        return written;
    }
    double latency() const override { return s_[0].delay; }

private:
    std::size_t run(asrc_poly_state& st, const std::int16_t* in, std::size_t n, std::int16_t* out)
    {
        std::size_t done = 0;
        std::size_t written = 0;
        while (done < n) {
            int32_t nin = static_cast<int32_t>(std::min<std::size_t>(n - done, 1 << 24));
            int32_t nout = 0;
            asrc_poly_process_block_rows(&st, rows_.get(), out + written, in + done, &nin, &nout);
            done += static_cast<std::size_t>(nin);
            written += static_cast<std::size_t>(nout);
        }
        return written;
    }

    std::vector<std::int16_t> tail() override
    {
        // D zeros release every output up to the last input's time; two
        // more give the outputs just after it.
        const auto n = static_cast<std::size_t>(s_[0].delay + 2);
        const std::vector<std::int16_t> zeros(n * s_.size());
        std::vector<std::int16_t> t(max_output(n) * s_.size());
        t.resize(process(zeros.data(), n, t.data()) * s_.size());
        return t;
    }

    std::vector<asrc_poly_state> s_;
    std::unique_ptr<asrc_poly_rows> rows_;
    std::vector<std::int16_t> gather_;
    std::vector<std::int16_t> scatter_;
};

// -------------------------------------------------------------------------
// The 24-bit converter, on Q1.31 samples (S = std::int32_t) or as a 16-bit
// user runs it (S = std::int16_t: each input shifted left by 16, each
// output rounded to nearest, halves up, and saturated to 16 bits).

uint64_t q31_ratio_of(Rates r)
{
    // in/out in Q24.40, rounded to nearest (halves up), as asrc_q31_ratio.
    const unsigned __int128 q = ((static_cast<unsigned __int128>(r.in) << 41) / r.out + 1) >> 1;
    if (q < ASRC_Q31_RATIO_MIN || q > ASRC_Q31_RATIO_MAX)
        return 0;
    return static_cast<uint64_t>(q);
}

template <class S>
class Q31 final : public BasicConverter<S> {
public:
    // With `rows`, downsampling runs on the state's own stretched rows (as
    // asrc-audio and the Python module run it); without, on the per-tap
    // path that needs no memory beyond the history.
    Q31(Rates r, uint64_t ratio, int channels, bool rows)
        : BasicConverter<S>(r, channels), ratio_(ratio)
    {
        mem_.resize(static_cast<std::size_t>(asrc_q31_memory_words(channels, ratio)));
        asrc_q31_init(&s_, mem_.data(), static_cast<int32_t>(mem_.size()), channels, ratio, ratio);
        if (rows) {
            rows_.resize(static_cast<std::size_t>(asrc_q31_table_words(ratio)));
            asrc_q31_attach_table(&s_, rows_.data(), static_cast<int32_t>(rows_.size()));
        }
    }
    std::size_t max_output(std::size_t n) const override
    {
        return static_cast<std::size_t>(asrc_q31_max_output(static_cast<int32_t>(n), ratio_));
    }
    std::size_t process(const S* in, std::size_t n, S* out) override
    {
        const auto ch = static_cast<std::size_t>(s_.channels);
        const std::int32_t* src = nullptr;
        std::int32_t* dst = nullptr;
        if constexpr (sizeof(S) == 4) {
            src = in;
            dst = out;
        } else {
            wide_in_.resize(n * ch);
            for (std::size_t i = 0; i < n * ch; ++i)
                wide_in_[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(in[i]) << 16);
            wide_out_.resize(max_output(n) * ch);
            src = wide_in_.data();
            dst = wide_out_.data();
        }
        std::size_t done = 0;
        std::size_t written = 0;
        while (done < n) {
            int32_t nin = static_cast<int32_t>(std::min<std::size_t>(n - done, 1 << 20));
            int32_t nout = 0;
            asrc_q31_process_block(&s_, dst + written * ch, src + done * ch, &nin, &nout);
            done += static_cast<std::size_t>(nin);
            written += static_cast<std::size_t>(nout);
        }
        if constexpr (sizeof(S) == 2) {
            for (std::size_t k = 0; k < written * ch; ++k) {
                const std::int64_t v = (static_cast<std::int64_t>(dst[k]) + 0x8000) >> 16;
                out[k] = static_cast<std::int16_t>(std::min<std::int64_t>(v, 32767));
            }
        }
        return written;
    }
    double latency() const override { return s_.delay; }

private:
    std::vector<S> tail() override
    {
        // D zeros release every output up to the last input's time; two
        // more give the outputs just after it.
        const auto ch = static_cast<std::size_t>(s_.channels);
        const auto n = static_cast<std::size_t>(s_.delay + 2);
        const std::vector<S> zeros(n * ch);
        std::vector<S> t(max_output(n) * ch);
        t.resize(process(zeros.data(), n, t.data()) * ch);
        return t;
    }

    uint64_t ratio_;
    asrc_q31_state s_{};
    std::vector<std::int32_t> mem_;
    std::vector<std::int32_t> rows_;
    std::vector<std::int32_t> wide_in_;
    std::vector<std::int32_t> wide_out_;
};

// The rule's own ratio for a step (asrc.h, OVERVIEW), output per input.
Rates rule_ratio(std::int16_t step)
{
    if (step == 0)
        return {1, 1};
    const std::int64_t p = ASRC_ONE / std::abs(static_cast<std::int32_t>(step));
    if (step > 0)
        return p == 0 ? Rates{1, 0} : reduced(static_cast<std::uint64_t>(p + 1),
                                              static_cast<std::uint64_t>(p));
    return reduced(static_cast<std::uint64_t>(p + 1), static_cast<std::uint64_t>(p + 2));
}

class Rule final : public Converter {
public:
    Rule(Rates actual, std::int16_t step) : Converter(actual), step_(step) {}
    std::size_t max_output(std::size_t n) const override
    {
        return static_cast<std::size_t>(asrc_max_output(static_cast<int32_t>(n), step_));
    }
    std::size_t process(const std::int16_t* in, std::size_t n, std::int16_t* out) override
    {
        std::size_t done = 0;
        std::size_t written = 0;
        while (done < n) {
            int32_t nin = static_cast<int32_t>(std::min<std::size_t>(n - done, 1 << 24));
            int32_t nout = 0;
            asrc_state_process_block(&s_, out + written, in + done, &nin, &nout, step_);
            done += static_cast<std::size_t>(nin);
            written += static_cast<std::size_t>(nout);
        }
        // The first output of the stream is the one-sample delay's: drop it.
        if (skip_ && written > 0) {
            std::memmove(out, out + 1, (written - 1) * sizeof *out);
            --written;
            skip_ = false;
        }
        return written;
    }
    double latency() const override { return 1; }

private:
    std::vector<std::int16_t> tail() override
    {
        const std::int16_t zeros[2] = {};
        std::vector<std::int16_t> t(max_output(2));
        t.resize(process(zeros, 2, t.data()));
        return t;
    }

    asrc_state s_{};
    std::int16_t step_;
    bool skip_ = true;
};

// -------------------------------------------------------------------------
// libsamplerate

#ifdef ASRC_PEER_SAMPLERATE
template <class S>
class Samplerate final : public BasicConverter<S> {
public:
    Samplerate(Rates r, int type, int channels, std::string* error)
        : BasicConverter<S>(r, channels), ratio_(ratio_of(r)), skip_first_(type == SRC_LINEAR)
    {
        int err = 0;
        st_ = src_new(type, channels, &err);
        if (st_ == nullptr || src_is_valid_ratio(ratio_) == 0) {
            *error = st_ == nullptr ? src_strerror(err) : "ratio outside 1/256..256";
            ok_ = false;
        }
    }
    ~Samplerate() override
    {
        if (st_ != nullptr)
            src_delete(st_);
    }
    bool ok() const { return ok_; }
    std::size_t max_output(std::size_t n) const override { return room_for(n, this->actual(), 64); }
    std::size_t process(const S* in, std::size_t n, S* out) override
    {
        const std::size_t room = max_output(n);
        const auto ch = static_cast<std::size_t>(this->channels());
        // SRC_LINEAR puts a copy of its first input one sample before it and
        // starts there: its outputs lie one input sample late.  Fed from the
        // second input on, it is aligned (only output 0, at time 0, gives
        // input 1 instead of input 0).
        if (skip_first_ && n > 0) {
            skip_first_ = false;
            in += ch;
            --n;
        }
        to_float(in, n * ch, fin_);
        return run(fin_.data(), n, out, room, 0);
    }
    double latency() const override { return -1; }

private:
    std::vector<S> tail() override
    {
        // Two zeros past the end first, so that the outputs up to the last
        // input's time all come out (the end of input alone stops short of
        // it), then the end of the input: the filter's tail.
        const auto ch = static_cast<std::size_t>(this->channels());
        const std::vector<float> zeros(2 * ch);
        std::vector<S> t(4096 * ch);
        std::size_t n = run(zeros.data(), 2, t.data(), t.size() / ch, 0);
        for (;;) {
            if (t.size() / ch - n < 1024)
                t.resize(2 * t.size());
            const std::size_t got = run(zeros.data(), 0, t.data() + n * ch, t.size() / ch - n, 1);
            if (got == 0)
                break;
            n += got;
        }
        t.resize(n * ch);
        return t;
    }

    // In and out in frames.
    std::size_t run(const float* in, std::size_t n, S* out, std::size_t room, int eoi)
    {
        if (room == 0)
            return 0;
        const auto ch = static_cast<std::size_t>(this->channels());
        if (fout_.size() < room * ch)
            fout_.resize(room * ch);
        std::size_t used = 0;
        std::size_t written = 0;
        for (;;) {
            SRC_DATA d{};
            d.data_in = in + used * ch; // never null: libsamplerate refuses it
            d.input_frames = static_cast<long>(n - used);
            d.data_out = fout_.data() + written * ch;
            d.output_frames = static_cast<long>(room - written);
            d.end_of_input = eoi;
            d.src_ratio = ratio_;
            if (src_process(st_, &d) != 0)
                break;
            used += static_cast<std::size_t>(d.input_frames_used);
            written += static_cast<std::size_t>(d.output_frames_gen);
            if (used >= n && (eoi == 0 || d.output_frames_gen == 0 || written == room))
                break;
            if (d.input_frames_used == 0 && d.output_frames_gen == 0)
                break;
        }
        from_float(fout_.data(), written * ch, out);
        return written;
    }

    SRC_STATE* st_ = nullptr;
    double ratio_;
    bool skip_first_;
    bool ok_ = true;
    std::vector<float> fin_;
    std::vector<float> fout_;
};
#endif

// -------------------------------------------------------------------------
// speexdsp, its integer entry

#ifdef ASRC_PEER_SPEEXDSP
class Speex final : public Converter {
public:
    Speex(Rates r, int quality, std::string* error) : Converter(r)
    {
        if (!fits_u32(r.in) || !fits_u32(r.out)) {
            *error = "speexdsp takes the ratio as a fraction of 32-bit numbers";
            return;
        }
        int err = 0;
        const auto num = static_cast<spx_uint32_t>(r.in);
        const auto den = static_cast<spx_uint32_t>(r.out);
        st_ = speex_resampler_init_frac(1, num, den, num, den, quality, &err);
        if (st_ == nullptr) {
            *error = speex_resampler_strerror(err);
            return;
        }
        speex_resampler_skip_zeros(st_);
        latency_ = speex_resampler_get_input_latency(st_);
    }
    ~Speex() override
    {
        if (st_ != nullptr)
            speex_resampler_destroy(st_);
    }
    bool ok() const { return st_ != nullptr; }
    std::size_t max_output(std::size_t n) const override { return room_for(n, actual(), 8); }
    std::size_t process(const std::int16_t* in, std::size_t n, std::int16_t* out) override
    {
        return run(in, n, out, max_output(n));
    }
    double latency() const override { return latency_; }

private:
    std::vector<std::int16_t> tail() override
    {
        // Its look-ahead in zeros releases the outputs up to the last
        // input's time; two more give the ones just after it.
        const std::vector<std::int16_t> zeros(static_cast<std::size_t>(latency_) + 2);
        std::vector<std::int16_t> t(max_output(zeros.size()));
        t.resize(run(zeros.data(), zeros.size(), t.data(), t.size()));
        return t;
    }

    std::size_t run(const std::int16_t* in, std::size_t n, std::int16_t* out, std::size_t room)
    {
        std::size_t used = 0;
        std::size_t written = 0;
        while (used < n && written < room) {
            auto in_len = static_cast<spx_uint32_t>(std::min<std::size_t>(n - used, 1u << 30));
            auto out_len = static_cast<spx_uint32_t>(std::min<std::size_t>(room - written, 1u << 30));
            speex_resampler_process_int(st_, 0, in + used, &in_len, out + written, &out_len);
            used += in_len;
            written += out_len;
            if (in_len == 0 && out_len == 0)
                break;
        }
        return written;
    }

    SpeexResamplerState* st_ = nullptr;
    int latency_ = 0;
};
#endif

// -------------------------------------------------------------------------
// soxr, 16-bit in and out

#ifdef ASRC_PEER_SOXR
template <class S>
class Soxr final : public BasicConverter<S> {
public:
    Soxr(Rates r, unsigned long recipe, bool dither, int channels, std::string* error)
        : BasicConverter<S>(r, channels)
    {
        const soxr_datatype_t type = sizeof(S) == 4 ? SOXR_INT32_I : SOXR_INT16_I;
        soxr_io_spec_t io = soxr_io_spec(type, type);
        if (!dither)
            io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
        const soxr_runtime_spec_t rt = soxr_runtime_spec(1); // one thread
        soxr_error_t err = nullptr;
        st_ = soxr_create(static_cast<double>(r.in), static_cast<double>(r.out),
                          static_cast<unsigned>(channels), &err, &io, &q, &rt);
        if (st_ == nullptr || err != nullptr) {
            *error = err != nullptr ? err : "soxr_create failed";
            if (st_ != nullptr)
                soxr_delete(st_);
            st_ = nullptr;
        }
    }
    ~Soxr() override
    {
        if (st_ != nullptr)
            soxr_delete(st_);
    }
    bool ok() const { return st_ != nullptr; }
    std::size_t max_output(std::size_t n) const override { return room_for(n, this->actual(), 64); }
    std::size_t process(const S* in, std::size_t n, S* out) override
    {
        const std::size_t room = max_output(n);
        const auto ch = static_cast<std::size_t>(this->channels());
        std::size_t used = 0;
        std::size_t written = 0;
        while (used < n && written < room) {
            std::size_t idone = 0;
            std::size_t odone = 0;
            if (soxr_process(st_, in + used * ch, n - used, &idone, out + written * ch,
                             room - written, &odone) != nullptr)
                break;
            used += idone;
            written += odone;
            if (idone == 0 && odone == 0)
                break;
        }
        return written;
    }
    double latency() const override { return -1; }

private:
    std::vector<S> tail() override
    {
        // Two zeros past the end first, so that the outputs up to the last
        // input's time all come out (the end of input alone stops short of
        // the last), then no input: the end of the stream, the tail.
        const auto ch = static_cast<std::size_t>(this->channels());
        const std::vector<S> zeros(2 * ch);
        std::vector<S> t(4096 * ch);
        std::size_t n = process(zeros.data(), 2, t.data());
        for (;;) {
            if (t.size() / ch - n < 1024)
                t.resize(2 * t.size());
            std::size_t odone = 0;
            soxr_process(st_, nullptr, 0, nullptr, t.data() + n * ch, t.size() / ch - n, &odone);
            if (odone == 0)
                break;
            n += odone;
        }
        t.resize(n * ch);
        return t;
    }

    soxr_t st_ = nullptr;
};
#endif

// -------------------------------------------------------------------------
// zita-resampler's VResampler

#ifdef ASRC_PEER_ZITA
template <class S>
class Zita final : public BasicConverter<S> {
public:
    Zita(Rates r, unsigned hlen, int channels, std::string* error)
        : BasicConverter<S>(r, channels)
    {
        if (vr_.setup(ratio_of(r), static_cast<unsigned>(channels), hlen) != 0) {
            *error = "VResampler::setup refused the ratio (1/64..256)";
            ok_ = false;
            return;
        }
        // The manual's alignment: inpsize()/2 - 1 zeros first centre the
        // first output on the first input.
        vr_.inp_count = static_cast<unsigned>(vr_.inpsize() / 2 - 1);
        vr_.inp_data = nullptr;
        vr_.out_count = 1u << 30;
        vr_.out_data = nullptr;
        vr_.process();
    }
    bool ok() const { return ok_; }
    std::size_t max_output(std::size_t n) const override { return room_for(n, this->actual(), 8); }
    std::size_t process(const S* in, std::size_t n, S* out) override
    {
        to_float(in, n * static_cast<std::size_t>(this->channels()), fin_);
        return run(fin_.data(), n, out, max_output(n));
    }
    double latency() const override { return vr_.inpsize() / 2; }

private:
    std::vector<S> tail() override
    {
        // Its half-length in zeros (fed as no data) releases the outputs up
        // to the last input's time; two more give the ones just after it.
        const auto ch = static_cast<std::size_t>(this->channels());
        const auto n = static_cast<std::size_t>(vr_.inpsize() / 2 + 2);
        std::vector<S> t(max_output(n) * ch);
        t.resize(run(nullptr, n, t.data(), t.size() / ch) * ch);
        return t;
    }

    // In and out in frames.
    std::size_t run(const float* in, std::size_t n, S* out, std::size_t room)
    {
        const auto ch = static_cast<std::size_t>(this->channels());
        if (fout_.size() < room * ch)
            fout_.resize(room * ch);
        vr_.inp_data = const_cast<float*>(in); // only read
        vr_.inp_count = static_cast<unsigned>(n);
        vr_.out_data = fout_.data();
        vr_.out_count = static_cast<unsigned>(room);
        vr_.process();
        const std::size_t written = room - vr_.out_count;
        from_float(fout_.data(), written * ch, out);
        return written;
    }

    VResampler vr_;
    bool ok_ = true;
    std::vector<float> fin_;
    std::vector<float> fout_;
};
#endif

// -------------------------------------------------------------------------
// The table of settings.

enum class Kind { Poly, Rule, Q31, Samplerate, Speex, Soxr, Zita };

struct Entry {
    Setting setting;
    Kind kind;
    int param = 0;       // converter type, quality, recipe, half-length
    bool dither = false; // soxr
};

#ifdef ASRC_PEER_SAMPLERATE
std::string samplerate_version()
{
    // "libsamplerate-0.2.2 (c) ..." : the first word.
    const std::string v = src_get_version();
    return v.substr(0, v.find(' '));
}
#endif

#ifdef ASRC_PEER_ZITA
std::string zita_version()
{
    return "zita-resampler-" + std::to_string(zita_resampler_major_version()) + "." +
           std::to_string(zita_resampler_minor_version());
}
#endif

// The most channels a setting that takes interleaved frames is run with.
constexpr int kChannels = ASRC_Q31_MAX_CHANNELS;

Setting with(Setting s, int bits, int max_channels)
{
    s.bits = bits;
    s.max_channels = max_channels;
    return s;
}

const std::vector<Entry>& entries()
{
    static const std::vector<Entry> table = [] {
        std::vector<Entry> t;
        t.push_back({with({"asrc-poly", "asrc", kOurs, kOurs,
                           "polyphase, 128-tap Kaiser sinc, Q2.30 ratio (asrc_poly.h); "
                           "one state per channel", true}, 16, kChannels),
                     Kind::Poly});
        t.push_back({{"asrc-rule", "asrc", kOurs, kOurs,
                      "drop/insert allpass, step trunc(16384 * (1 - out/in)) (asrc.h); "
                      "runs at its own ratio",
                      false},
                     Kind::Rule});
        t.push_back({with({"asrc-q31", "asrc", kOurs, kOurs,
                           "24-bit converter, int32 Q1.31 in and out, Q24.40 ratio, "
                           "interleaved frames, own rows when downsampling (asrc_q31.h)", true},
                          32, kChannels),
                     Kind::Q31, 1});
        t.push_back({with({"asrc-q31-lean", "asrc", kOurs, kOurs,
                           "24-bit converter as asrc-q31 but without rows of its own: "
                           "each tap's coefficient formed per output frame when "
                           "downsampling (asrc_q31.h)", true},
                          32, kChannels),
                     Kind::Q31, 0});
        t.push_back({with({"asrc-q31-16", "asrc", kOurs, kOurs,
                           "24-bit converter fed int16 << 16, output rounded to nearest and "
                           "saturated to int16 (asrc_q31.h)", true}, 16, kChannels),
                     Kind::Q31, 1});
#ifdef ASRC_PEER_SAMPLERATE
        const std::string src_pkg = ASRC_PEER_SAMPLERATE_PACKAGE;
        t.push_back({with({"src-sinc-fastest", "libsamplerate", src_pkg, samplerate_version(),
                           "SRC_SINC_FASTEST, float", true}, 16, kChannels),
                     Kind::Samplerate, SRC_SINC_FASTEST});
        t.push_back({with({"src-sinc-best", "libsamplerate", src_pkg, samplerate_version(),
                           "SRC_SINC_BEST_QUALITY, float", true}, 16, kChannels),
                     Kind::Samplerate, SRC_SINC_BEST_QUALITY});
        t.push_back({with({"src-linear", "libsamplerate", src_pkg, samplerate_version(),
                           "SRC_LINEAR, float", true}, 16, kChannels),
                     Kind::Samplerate, SRC_LINEAR});
#endif
#ifdef ASRC_PEER_SPEEXDSP
        // speexdsp has no version call: the package's version stands for it.
        const std::string speex_pkg = ASRC_PEER_SPEEXDSP_PACKAGE;
        t.push_back({{"speex-3", "speexdsp", speex_pkg, speex_pkg,
                      "quality 3, speex_resampler_process_int", true},
                     Kind::Speex, 3});
        t.push_back({{"speex-10", "speexdsp", speex_pkg, speex_pkg,
                      "quality 10, speex_resampler_process_int", true},
                     Kind::Speex, 10});
#endif
#ifdef ASRC_PEER_SOXR
        const std::string soxr_pkg = ASRC_PEER_SOXR_PACKAGE;
        const std::string soxr_v = soxr_version();
        t.push_back({with({"soxr-hq", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_HQ, int16 in and out, TPDF dither (its default), 1 thread",
                           true}, 16, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_HQ), true});
        t.push_back({with({"soxr-hq-nodither", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_HQ, int16 in and out, SOXR_NO_DITHER, 1 thread", true},
                          16, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_HQ), false});
        t.push_back({with({"soxr-vhq", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_VHQ, int16 in and out, TPDF dither (its default), 1 thread",
                           true}, 16, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_VHQ), true});
        t.push_back({with({"soxr-vhq-nodither", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_VHQ, int16 in and out, SOXR_NO_DITHER, 1 thread", true},
                          16, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_VHQ), false});
#endif
#ifdef ASRC_PEER_ZITA
        const std::string zita_pkg = ASRC_PEER_ZITA_PACKAGE;
        for (const int hlen : {16, 32, 48}) {
            const std::string h = std::to_string(hlen);
            t.push_back({with({"zita-vresampler-" + h, "libzita-resampler", zita_pkg,
                               zita_version(), "VResampler, hlen " + h + ", float", true},
                              16, kChannels),
                         Kind::Zita, hlen});
        }
#endif
        // The 32-bit settings: int32 Q1.31 samples in and out.
#ifdef ASRC_PEER_SAMPLERATE
        t.push_back({with({"src-sinc-best-i32", "libsamplerate", src_pkg, samplerate_version(),
                           "SRC_SINC_BEST_QUALITY, float, from and to int32", true},
                          32, kChannels),
                     Kind::Samplerate, SRC_SINC_BEST_QUALITY});
        t.push_back({with({"src-sinc-medium-i32", "libsamplerate", src_pkg,
                           samplerate_version(),
                           "SRC_SINC_MEDIUM_QUALITY, float, from and to int32", true},
                          32, kChannels),
                     Kind::Samplerate, SRC_SINC_MEDIUM_QUALITY});
#endif
#ifdef ASRC_PEER_SOXR
        t.push_back({with({"soxr-hq-i32", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_HQ, int32 in and out (SOXR_INT32_I), SOXR_NO_DITHER, 1 thread",
                           true}, 32, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_HQ), false});
        t.push_back({with({"soxr-vhq-i32", "libsoxr", soxr_pkg, soxr_v,
                           "SOXR_VHQ, int32 in and out (SOXR_INT32_I), SOXR_NO_DITHER, 1 thread",
                           true}, 32, kChannels),
                     Kind::Soxr, static_cast<int>(SOXR_VHQ), false});
#endif
#ifdef ASRC_PEER_ZITA
        t.push_back({with({"zita-vresampler-48-i32", "libzita-resampler", zita_pkg,
                           zita_version(), "VResampler, hlen 48, float, from and to int32",
                           true}, 32, kChannels),
                     Kind::Zita, 48});
#endif
        return t;
    }();
    return table;
}

struct MissingEntry {
    Missing missing;
    std::vector<std::string_view> names; // the settings it would bring
};

const std::vector<MissingEntry>& missing_entries()
{
    static const std::vector<MissingEntry> table = [] {
        std::vector<MissingEntry> t;
#ifndef ASRC_PEER_SAMPLERATE
        t.push_back({{"libsamplerate", "libsamplerate0-dev"},
                     {"src-sinc-fastest", "src-sinc-best", "src-linear", "src-sinc-best-i32",
                      "src-sinc-medium-i32"}});
#endif
#ifndef ASRC_PEER_SPEEXDSP
        t.push_back({{"speexdsp", "libspeexdsp-dev"}, {"speex-3", "speex-10"}});
#endif
#ifndef ASRC_PEER_SOXR
        t.push_back({{"libsoxr", "libsoxr-dev"},
                     {"soxr-hq", "soxr-hq-nodither", "soxr-vhq", "soxr-vhq-nodither",
                      "soxr-hq-i32", "soxr-vhq-i32"}});
#endif
#ifndef ASRC_PEER_ZITA
        t.push_back({{"libzita-resampler", "libzita-resampler-dev"},
                     {"zita-vresampler-16", "zita-vresampler-32", "zita-vresampler-48",
                      "zita-vresampler-48-i32"}});
#endif
        return t;
    }();
    return table;
}

template <class T>
std::unique_ptr<BasicConverter<typename T::Sample>> checked(std::unique_ptr<T> c)
{
    if (!c->ok())
        return nullptr;
    return c;
}

} // namespace

const std::vector<Setting>& settings()
{
    static const std::vector<Setting> list = [] {
        std::vector<Setting> s;
        for (const auto& e : entries())
            s.push_back(e.setting);
        return s;
    }();
    return list;
}

const std::vector<Missing>& missing()
{
    static const std::vector<Missing> list = [] {
        std::vector<Missing> m;
        for (const auto& e : missing_entries())
            m.push_back(e.missing);
        return m;
    }();
    return list;
}

const Setting* find_setting(const std::string& name)
{
    for (const auto& s : settings())
        if (s.name == name)
            return &s;
    return nullptr;
}

const Missing* missing_for(const std::string& name)
{
    for (const auto& e : missing_entries())
        for (const auto n : e.names)
            if (n == name)
                return &e.missing;
    return nullptr;
}

namespace {

// The entry called `name` with the checks every setting shares, or nullptr
// with the reason in *error.
const Entry* entry_for(const std::string& name, Rates rates, int bits, int channels,
                       std::string* error)
{
    const Entry* entry = nullptr;
    for (const auto& e : entries())
        if (e.setting.name == name)
            entry = &e;
    if (entry == nullptr) {
        *error = "unknown converter \"" + name + "\"";
        return nullptr;
    }
    if (entry->setting.bits != bits) {
        *error = name + " takes " + std::to_string(entry->setting.bits) + "-bit samples, not " +
                 std::to_string(bits) + "-bit ones";
        return nullptr;
    }
    if (channels < 1 || channels > entry->setting.max_channels) {
        *error = name + " takes 1 to " + std::to_string(entry->setting.max_channels) +
                 " channels, not " + std::to_string(channels);
        return nullptr;
    }
    if (rates.in == 0 || rates.out == 0) {
        *error = "a rate is 0";
        return nullptr;
    }
    return entry;
}

template <class S>
std::unique_ptr<BasicConverter<S>> make_shared_kinds(const Entry& entry, Rates rates,
                                                     int channels, std::string* error)
{
    switch (entry.kind) {
    case Kind::Q31: {
        const uint64_t ratio = q31_ratio_of(rates);
        if (ratio == 0) {
            *error = "asrc-q31 converts at ratios from 1:25 to 25:1 only";
            return nullptr;
        }
        return std::make_unique<Q31<S>>(rates, ratio, channels, entry.param != 0);
    }
    case Kind::Samplerate:
#ifdef ASRC_PEER_SAMPLERATE
        return checked(std::make_unique<Samplerate<S>>(rates, entry.param, channels, error));
#else
        break;
#endif
    case Kind::Soxr:
#ifdef ASRC_PEER_SOXR
        return checked(std::make_unique<Soxr<S>>(rates, static_cast<unsigned long>(entry.param),
                                                 entry.dither, channels, error));
#else
        break;
#endif
    case Kind::Zita:
#ifdef ASRC_PEER_ZITA
        return checked(
            std::make_unique<Zita<S>>(rates, static_cast<unsigned>(entry.param), channels, error));
#else
        break;
#endif
    default:
        break;
    }
    *error = "not compiled in";
    return nullptr;
}

} // namespace

std::unique_ptr<Converter> make(const std::string& name, Rates rates, std::string* error,
                                int channels)
{
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    const Entry* entry = entry_for(name, rates, 16, channels, error);
    if (entry == nullptr)
        return nullptr;
    rates = reduced(rates.in, rates.out);
    switch (entry->kind) {
    case Kind::Poly: {
        const uint32_t ratio = poly_ratio_of(rates);
        if (ratio == 0) {
            *error = "asrc-poly converts at ratios from 1:2 to 2:1 only";
            return nullptr;
        }
        return std::make_unique<Poly>(rates, ratio, channels);
    }
    case Kind::Rule: {
        // The program's rule on the offset 1 - out/in, written out so that
        // its own parser reads it (and refuses what it refuses).
        const double offset = 1.0 - ratio_of(rates);
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", offset);
        const auto step = asrc_cli::parse_rate_offset(text);
        if (!step) {
            *error = asrc_cli::invalid_rate_offset_message(text);
            return nullptr;
        }
        const Rates actual = rule_ratio(*step);
        if (actual.out == 0) {
            *error = "asrc-rule drops every input at that step";
            return nullptr;
        }
        return std::make_unique<Rule>(actual, *step);
    }
    case Kind::Speex:
#ifdef ASRC_PEER_SPEEXDSP
        return checked(std::make_unique<Speex>(rates, entry->param, error));
#else
        *error = "not compiled in";
        return nullptr;
#endif
    default:
        return make_shared_kinds<std::int16_t>(*entry, rates, channels, error);
    }
}

std::unique_ptr<Converter32> make32(const std::string& name, Rates rates, std::string* error,
                                    int channels)
{
    std::string ignored;
    if (error == nullptr)
        error = &ignored;
    const Entry* entry = entry_for(name, rates, 32, channels, error);
    if (entry == nullptr)
        return nullptr;
    return make_shared_kinds<std::int32_t>(*entry, reduced(rates.in, rates.out), channels, error);
}

template <class S>
std::size_t BasicConverter<S>::finish(S* out, std::size_t room)
{
    if (!ended_) {
        ended_ = true;
        tail_ = tail();
    }
    const auto ch = static_cast<std::size_t>(channels_);
    const std::size_t k = std::min(room, (tail_.size() - tail_at_) / ch);
    std::copy_n(tail_.begin() + static_cast<std::ptrdiff_t>(tail_at_), k * ch, out);
    tail_at_ += k * ch;
    return k;
}

template <class S>
std::vector<S> convert_all(BasicConverter<S>& c, const S* in, std::size_t n, std::size_t block,
                           std::size_t count, std::size_t* short_by)
{
    const auto ch = static_cast<std::size_t>(c.channels());
    std::vector<S> out;
    out.reserve((count + 256) * ch);
    std::vector<S> buf(c.max_output(block) * ch);
    for (std::size_t at = 0; at < n; at += block) {
        const std::size_t k = std::min(block, n - at);
        const std::size_t got = c.process(in + at * ch, k, buf.data());
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got * ch));
    }
    for (;;) {
        const std::size_t got = c.finish(buf.data(), buf.size() / ch);
        if (got == 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got * ch));
    }
    const std::size_t frames = out.size() / ch;
    const std::size_t missing_count = frames < count ? count - frames : 0;
    if (short_by != nullptr)
        *short_by = missing_count;
    out.resize(count * ch, 0);
    return out;
}

template class BasicConverter<std::int16_t>;
template class BasicConverter<std::int32_t>;
template std::vector<std::int16_t> convert_all(BasicConverter<std::int16_t>&,
                                               const std::int16_t*, std::size_t, std::size_t,
                                               std::size_t, std::size_t*);
template std::vector<std::int32_t> convert_all(BasicConverter<std::int32_t>&,
                                               const std::int32_t*, std::size_t, std::size_t,
                                               std::size_t, std::size_t*);

} // namespace peers
