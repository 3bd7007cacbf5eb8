// q31_module.cpp - the Q1.31 converter (asrc_q31.h) over numpy arrays of
// int32 (Q1.31 as they are) and float32 (full scale 1.0), one-dimensional
// (mono) or frames x channels, any number of channels: groups of up to
// ASRC_Q31_MAX_CHANNELS channels, one converter state each, all at one ratio
// and fed the same frames, so that they stay in step.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "asrc_q31.h"
#include "module_common.h"

namespace py = pybind11;
using asrc_python::load;
using asrc_python::type_name;

namespace {

// Frames per converter call: small enough that each group's interleaved
// copy of the input and of the output stays in cache.
constexpr std::int32_t kPiece = 4096;
constexpr double kFullScale = 2147483648.0; // 2^31: 1.0 in Q1.31

std::string ratio_text(std::uint64_t q)
{
    return std::to_string(q) + " (" +
           py::str(py::float_(static_cast<double>(q) / 0x1p40)).cast<std::string>() + ")";
}

std::uint64_t checked_q24_40(std::uint64_t q, const std::string& what)
{
    if (q < ASRC_Q31_RATIO_MIN || q > ASRC_Q31_RATIO_MAX)
        throw py::value_error(what + " must lie in 1/25..25 (Q24.40 " +
                              std::to_string(ASRC_Q31_RATIO_MIN) + ".." +
                              std::to_string(ASRC_Q31_RATIO_MAX) + "), got " + ratio_text(q));
    return q;
}

// A real number's value: a Python or numpy float (or anything with
// __float__ that is not an integer), or nullopt for an integer.  Strings and
// bools are refused.
std::optional<double> real_value(const py::handle& obj, const std::string& what)
{
    if (PyBool_Check(obj.ptr()) || PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) ||
        PyNumber_Check(obj.ptr()) == 0)
        throw py::type_error(what + " must be a number, got " + type_name(obj));
    if (PyIndex_Check(obj.ptr()) && !PyFloat_Check(obj.ptr()))
        return std::nullopt;
    const auto f = py::reinterpret_steal<py::object>(PyNumber_Float(obj.ptr()));
    if (!f)
        throw py::error_already_set();
    const double v = PyFloat_AsDouble(f.ptr());
    if (!std::isfinite(v))
        throw py::value_error(what + " must be finite, got " + py::str(f).cast<std::string>());
    return v;
}

// A double times 2^40, rounded to nearest with halves up, exactly (the
// double is M x 2^E with a 53-bit M); 0 for anything not in (0, 26).
std::uint64_t q24_40_of(double v)
{
    if (!(v > 0.0 && v < 26.0))
        return 0;
    int e = 0;
    const double mantissa = std::frexp(v, &e); // v = mantissa x 2^e, 0.5 <= mantissa < 1
    const auto m = static_cast<std::uint64_t>(std::ldexp(mantissa, 53)); // exact
    const int shift = 53 - e - 40; // v x 2^40 = m / 2^shift, shift >= 8 as v < 32
    if (shift > 63)
        return 0;
    return (m + (std::uint64_t{1} << (shift - 1))) >> shift;
}

// The Q24.40 ratio from the module's two forms: a ratio alone (an integer
// is Q24.40, Q31_RATIO_ONE being 1.0; a float is the plain ratio
// in_rate / out_rate), or two rates (integers or floats, any units),
// rounded to nearest with halves up.
std::uint64_t q31_ratio_from(const py::handle& ratio_or_in_rate, const py::handle& out_rate)
{
    if (out_rate.is_none()) {
        const std::optional<double> v = real_value(ratio_or_in_rate, "ratio");
        if (v)
            return checked_q24_40(q24_40_of(*v),
                                  "ratio " + py::str(py::float_(*v)).cast<std::string>() + " =");
        const auto index =
            py::reinterpret_steal<py::object>(PyNumber_Index(ratio_or_in_rate.ptr()));
        if (!index)
            throw py::error_already_set();
        int overflow = 0;
        const long long q = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || q < static_cast<long long>(ASRC_Q31_RATIO_MIN) ||
            q > static_cast<long long>(ASRC_Q31_RATIO_MAX))
            throw py::value_error(
                "an integer ratio is Q24.40 (Q31_RATIO_ONE is 1.0) and must lie in " +
                std::to_string(ASRC_Q31_RATIO_MIN) + ".." + std::to_string(ASRC_Q31_RATIO_MAX) +
                ", got " + py::str(index).cast<std::string>() +
                "; pass a float for a plain ratio, or two rates");
        return static_cast<std::uint64_t>(q); // in range, checked above
    }
    const std::optional<double> in_real = real_value(ratio_or_in_rate, "in_rate");
    const std::optional<double> out_real = real_value(out_rate, "out_rate");
    const std::string rates =
        "in_rate / out_rate = " + py::str(ratio_or_in_rate).cast<std::string>() + " / " +
        py::str(out_rate).cast<std::string>();
    if (!in_real && !out_real) {
        const long long in = PyLong_AsLongLong(ratio_or_in_rate.ptr());
        const long long out = PyLong_AsLongLong(out_rate.ptr());
        if (PyErr_Occurred() != nullptr)
            PyErr_Clear(); // too large: the exact path below says why
        else if (in > 0 && out > 0 && in <= 0xFFFFFFFFLL && out <= 0xFFFFFFFFLL) {
            const std::uint64_t q = asrc_q31_ratio(static_cast<std::uint32_t>(in), // in range
                                                   static_cast<std::uint32_t>(out));
            if (q == 0)
                throw py::value_error(rates + " lies outside 1/25..25");
            return q;
        }
    }
    // Floats, or integers beyond 32 bits: the exact quotient by Python's
    // fractions, rounded as asrc_q31_ratio rounds.
    const py::object fraction = py::module_::import("fractions").attr("Fraction");
    const py::object in = in_real ? fraction(*in_real) : fraction(ratio_or_in_rate);
    const py::object out = out_real ? fraction(*out_real) : fraction(out_rate);
    if (in <= py::int_(0) || out <= py::int_(0))
        throw py::value_error(rates + ": rates must be positive");
    const py::object scaled = in * py::int_(ASRC_Q31_RATIO_ONE) / out + fraction(1, 2);
    const py::object whole = py::module_::import("math").attr("floor")(scaled);
    int overflow = 0;
    const long long q = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    if (overflow != 0 || q < static_cast<long long>(ASRC_Q31_RATIO_MIN) ||
        q > static_cast<long long>(ASRC_Q31_RATIO_MAX))
        throw py::value_error(rates + " lies outside 1/25..25");
    return static_cast<std::uint64_t>(q); // in range, checked above
}

// The samples argument: a numpy array of int32 or float32 (native byte
// order), one-dimensional (mono) or frames x channels, any strides.
struct Frames {
    py::array array;
    bool is_float;
    bool mono; // one-dimensional: the output is too
    py::ssize_t frames;
    int channels;
    py::ssize_t frame_stride;   // bytes
    py::ssize_t channel_stride; // bytes
};

Frames checked_frames(const py::handle& obj)
{
    const char* const wanted = "a numpy array of int32 (Q1.31) or float32 (full scale 1.0)";
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string("samples must be ") + wanted + ", got " + type_name(obj));
    auto a = py::reinterpret_borrow<py::array>(obj);
    const bool is_float = a.dtype().equal(py::dtype::of<float>());
    if (!is_float && !a.dtype().equal(py::dtype::of<std::int32_t>()))
        throw py::type_error(std::string("samples must be ") + wanted + ", got dtype " +
                             py::str(a.dtype()).cast<std::string>() +
                             " (convert it explicitly: a 16-bit sample is its int32 << 16, a "
                             "24-bit one its int32 << 8, float64 astype(numpy.float32))");
    if (a.ndim() != 1 && a.ndim() != 2)
        throw py::value_error("samples must be one-dimensional (mono) or two-dimensional (frames x "
                              "channels), got " +
                              std::to_string(a.ndim()) + " dimensions");
    Frames f{a, is_float, a.ndim() == 1, a.shape(0), 1, a.strides(0), 0};
    if (!f.mono) {
        if (a.shape(1) < 1 || a.shape(1) > std::numeric_limits<int>::max())
            throw py::value_error(
                "samples must have at least one channel (frames x channels), got shape (" +
                std::to_string(a.shape(0)) + ", " + std::to_string(a.shape(1)) + ")");
        f.channels = static_cast<int>(a.shape(1)); // in range, checked above
        f.channel_stride = a.strides(1);
    }
    return f;
}

// Where float input is not a number: [frame, channel], or nullopt.
std::optional<std::pair<py::ssize_t, int>> first_nan(const Frames& f)
{
    const auto* const base = static_cast<const char*>(f.array.data());
    for (py::ssize_t i = 0; i < f.frames; ++i)
        for (int c = 0; c < f.channels; ++c)
            if (std::isnan(load<float>(base + i * f.frame_stride + c * f.channel_stride)))
                return std::make_pair(i, c);
    return std::nullopt;
}

// A float32 sample in Q1.31: times 2^31, rounded to nearest; outside
// [-1.0, 1.0) it saturates (1.0 itself has no Q1.31 value) and is counted.
inline std::int32_t q31_of(float v, std::uint64_t& saturated)
{
    const double d = static_cast<double>(v) * kFullScale;
    if (d >= kFullScale) {
        ++saturated;
        return std::numeric_limits<std::int32_t>::max();
    }
    if (d < -kFullScale) {
        ++saturated;
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(std::nearbyint(d)); // within the range, checked above
}

// A Q1.31 sample as float32: divided by 2^31 and rounded once to float32's
// 24 bits, so no gain slips in either way (int32 -> double and x 2^-31 are
// exact).
inline float float_of(std::int32_t q)
{
    return static_cast<float>(static_cast<double>(q) / kFullScale);
}

int32_t delay_of(std::uint64_t ratio)
{
    return asrc_q31_delay(ratio);
}

// The most output frames `frames` input frames can give at `ratio` from any
// state: asrc_q31_max_output's rule, for counts beyond 32 bits.
py::ssize_t output_bound(py::ssize_t frames, std::uint64_t ratio)
{
    if (frames <= 0)
        return 0;
    const auto span = static_cast<unsigned __int128>(frames + ASRC_Q31_DELAY_MAX - delay_of(ratio));
    return static_cast<py::ssize_t>(((span << 40) + ratio - 1) / ratio); // < 25 x frames + 60000
}

// The converter: one asrc_q31_state per group of up to 8 channels, on its
// own memory.  Calls from several threads run one after another (the GIL is
// released while converting).
class Q31Converter {
public:
    Q31Converter(std::uint64_t ratio, int channels, std::uint64_t max_ratio)
        : channels_(channels), max_ratio_(max_ratio)
    {
        if (channels < 1)
            throw py::value_error("channels must be at least 1, got " + std::to_string(channels));
        if (max_ratio < ratio)
            throw py::value_error("max_ratio " + ratio_text(max_ratio) + " is below the ratio " +
                                  ratio_text(ratio));
        const int groups = (channels + ASRC_Q31_MAX_CHANNELS - 1) / ASRC_Q31_MAX_CHANNELS;
        states_.resize(static_cast<std::size_t>(groups));
        memory_.resize(static_cast<std::size_t>(groups));
        rows_.resize(static_cast<std::size_t>(groups));
        init(ratio);
    }
    Q31Converter(const Q31Converter&) = delete;
    Q31Converter& operator=(const Q31Converter&) = delete;

    py::array process(const py::handle& samples) { return run(samples, 0); }

    // The whole array through this (fresh) converter, flushed by `delay`
    // frames of zeros and cut to the outputs whose time lies within it.
    py::array convert_whole(const py::handle& samples)
    {
        const std::uint64_t ratio = this->ratio();
        // The state's delay: with its own rows it can exceed delay_of(ratio).
        py::array y = run(samples, delay());
        const auto n = static_cast<unsigned __int128>(checked_frames(samples).frames);
        const auto wanted = static_cast<py::ssize_t>(((n << 40) + ratio - 1) / ratio);
        if (y.shape(0) > wanted) {
            std::vector<py::ssize_t> shape(y.shape(), y.shape() + y.ndim());
            shape[0] = wanted;
            y.resize(shape, false); // made here and referenced nowhere else
        }
        return y;
    }

    void set_ratio(const py::handle& ratio_or_in_rate, const py::handle& out_rate)
    {
        const std::uint64_t r = q31_ratio_from(ratio_or_in_rate, out_rate);
        if (r > max_ratio_)
            throw py::value_error("ratio " + ratio_text(r) +
                                  " is above this converter's max_ratio " + ratio_text(max_ratio_) +
                                  " (give a larger max_ratio when making it)");
        const auto held = hold();
        for (std::size_t g = 0; g < states_.size(); ++g) {
            asrc_q31_set_ratio(&states_[g], r); // valid: checked above
            attach_rows(g);
        }
    }

    void reset()
    {
        const auto held = hold();
        init(states_[0].ratio);
    }

    py::dict info()
    {
        const auto held = hold();
        const asrc_q31_state& s = states_[0];
        py::dict d;
        d["converter"] = "asrc_q31";
        d["filter"] = s.ratio <= ASRC_Q31_RATIO_FULL_BAND ? "full band"
                      : s.table != nullptr                  ? "stretched, own rows"
                                                            : "stretched";
        d["taps"] = 2 * s.delay;
        d["ratio"] = s.ratio;
        d["ratio_float"] = static_cast<double>(s.ratio) / 0x1p40;
        d["delay"] = s.delay;
        d["channels"] = channels_;
        d["states"] = states_.size();
        d["max_ratio"] = max_ratio_;
        d["clipped"] = clipped_locked();
        d["input_clipped"] = input_clipped_;
        return d;
    }

    std::uint64_t ratio()
    {
        const auto held = hold();
        return states_[0].ratio;
    }
    int delay()
    {
        const auto held = hold();
        return states_[0].delay;
    }
    std::uint64_t clipped()
    {
        const auto held = hold();
        return clipped_locked();
    }
    std::uint64_t input_clipped()
    {
        const auto held = hold();
        return input_clipped_;
    }
    std::int64_t input_held()
    {
        const auto held = hold();
        return asrc_q31_input_held(&states_[0]);
    }
    int channels() const { return channels_; }
    std::uint64_t max_ratio() const { return max_ratio_; }

private:
    // The converter's lock, waited for without the GIL: a thread holding the
    // lock takes the GIL back when its conversion ends, so none may wait for
    // the lock while holding the GIL.
    std::unique_lock<std::mutex> hold()
    {
        py::gil_scoped_release unlocked;
        return std::unique_lock<std::mutex>(lock_);
    }

    void init(std::uint64_t ratio)
    {
        const int groups = static_cast<int>(states_.size());
        for (int g = 0; g < groups; ++g) {
            const int width = group_width(g);
            const std::int32_t words = asrc_q31_memory_words(width, max_ratio_);
            auto& memory = memory_[static_cast<std::size_t>(g)];
            memory.assign(static_cast<std::size_t>(words), 0);
            // Valid: the ratio, max_ratio and width were checked, and words is
            // what they need.
            asrc_q31_init(&states_[static_cast<std::size_t>(g)], memory.data(), words, width, ratio,
                          max_ratio_);
            rows_[static_cast<std::size_t>(g)].clear();
            attach_rows(static_cast<std::size_t>(g));
        }
        input_clipped_ = 0;
    }

    // Downsampling runs on rows of the state's own, 3x to 5x faster, for
    // asrc_q31_table_words(max_ratio) more words (4.7 MiB for the default
    // max_ratio of 25): made when the ratio first goes beyond the full
    // band, so that a converter that never downsamples does not hold them.
    // Built then for the ratio the state has, as from init: the outputs do
    // not depend on when they were made.
    void attach_rows(std::size_t g)
    {
        auto& rows = rows_[g];
        if (!rows.empty() || states_[g].ratio <= ASRC_Q31_RATIO_FULL_BAND)
            return;
        rows.assign(static_cast<std::size_t>(asrc_q31_table_words(max_ratio_)), 0);
        asrc_q31_attach_table(&states_[g], rows.data(), static_cast<std::int32_t>(rows.size()));
    }

    int group_width(int g) const
    {
        return std::min(ASRC_Q31_MAX_CHANNELS, channels_ - g * ASRC_Q31_MAX_CHANNELS);
    }

    std::uint64_t clipped_locked() const
    {
        std::uint64_t total = 0;
        for (const asrc_q31_state& s : states_)
            total += s.clipped;
        return total;
    }

    // Converts `samples` and then `zeros` frames of silence; returns the
    // outputs, in the input's dtype and dimensions.
    py::array run(const py::handle& samples, std::int32_t zeros)
    {
        const Frames f = checked_frames(samples);
        if (f.channels != channels_)
            throw py::value_error("this converter has " + std::to_string(channels_) + " channel" +
                                  (channels_ == 1 ? "" : "s") + ", got " +
                                  (f.mono ? std::string("a one-dimensional (mono) array")
                                          : std::to_string(f.channels) + " columns") +
                                  (channels_ > 1 && f.mono ? " (give frames x channels)" : ""));
        const auto held = hold();
        const std::uint64_t ratio = states_[0].ratio;
        const py::ssize_t total = f.frames + zeros;
        const py::ssize_t capacity = output_bound(total, ratio);
        py::array out = f.is_float
                            ? py::array(py::dtype::of<float>(),
                                        f.mono ? std::vector<py::ssize_t>{capacity}
                                               : std::vector<py::ssize_t>{capacity, f.channels})
                            : py::array(py::dtype::of<std::int32_t>(),
                                        f.mono ? std::vector<py::ssize_t>{capacity}
                                               : std::vector<py::ssize_t>{capacity, f.channels});
        auto* const o = static_cast<char*>(out.mutable_data());
        const auto* const base = static_cast<const char*>(f.array.data());
        const py::ssize_t item = 4; // int32 and float32 alike
        std::optional<std::pair<py::ssize_t, int>> nan;
        py::ssize_t produced = 0;
        {
            py::gil_scoped_release unlocked;
            if (f.is_float)
                nan = first_nan(f);
            if (!nan) {
                const std::size_t width =
                    static_cast<std::size_t>(std::min(channels_, ASRC_Q31_MAX_CHANNELS));
                std::vector<std::int32_t> in(static_cast<std::size_t>(kPiece) * width);
                std::vector<std::int32_t> res(
                    static_cast<std::size_t>(asrc_q31_max_output(kPiece, ratio)) * width);
                for (py::ssize_t at = 0; at < total; at += kPiece) {
                    const auto count =
                        static_cast<std::int32_t>(std::min<py::ssize_t>(kPiece, total - at));
                    const py::ssize_t real = std::clamp<py::ssize_t>(f.frames - at, 0, count);
                    std::int32_t made = -1;
                    for (std::size_t g = 0; g < states_.size(); ++g) {
                        const int first = static_cast<int>(g) * ASRC_Q31_MAX_CHANNELS;
                        const int w = group_width(static_cast<int>(g));
                        gather(f, base, at, real, count, first, w, in.data());
                        std::int32_t nin = count;
                        std::int32_t nout = 0;
                        asrc_q31_process_block(&states_[g], res.data(), in.data(), &nin, &nout);
                        // Every group sees the same frames at the same ratio, so
                        // gives the same count.
                        made = nout;
                        for (std::int32_t k = 0; k < nout; ++k) {
                            char* const frame = o + (produced + k) * channels_ * item;
                            for (int c = 0; c < w; ++c) {
                                const std::int32_t q = res[static_cast<std::size_t>(k * w + c)];
                                if (f.is_float) {
                                    const float v = float_of(q);
                                    std::memcpy(frame + (first + c) * item, &v, sizeof v);
                                } else {
                                    std::memcpy(frame + (first + c) * item, &q, sizeof q);
                                }
                            }
                        }
                    }
                    produced += made;
                }
            }
        }
        if (nan)
            throw py::value_error("samples" +
                                  (f.mono ? "[" + std::to_string(nan->first) + "]"
                                          : "[" + std::to_string(nan->first) + ", " +
                                                std::to_string(nan->second) + "]") +
                                  " is NaN");
        std::vector<py::ssize_t> shape(out.shape(), out.shape() + out.ndim());
        shape[0] = produced;
        out.resize(shape, false); // made here and referenced nowhere else
        return out;
    }

    // Frames at..at+count of channels first..first+w-1 as interleaved Q1.31,
    // zeros from `real` on.
    void gather(const Frames& f, const char* base, py::ssize_t at, py::ssize_t real,
                std::int32_t count, int first, int w, std::int32_t* dst)
    {
        const auto width = static_cast<std::size_t>(w);
        for (py::ssize_t i = 0; i < real; ++i) {
            const char* const frame = base + (at + i) * f.frame_stride + first * f.channel_stride;
            std::int32_t* const d = dst + static_cast<std::size_t>(i) * width;
            if (f.is_float)
                for (int c = 0; c < w; ++c)
                    d[c] = q31_of(load<float>(frame + c * f.channel_stride), input_clipped_);
            else
                for (int c = 0; c < w; ++c)
                    d[c] = load<std::int32_t>(frame + c * f.channel_stride);
        }
        std::fill(dst + static_cast<std::size_t>(real) * width,
                  dst + static_cast<std::size_t>(count) * width, 0);
    }

    int channels_;
    std::uint64_t max_ratio_;
    std::vector<asrc_q31_state> states_;
    std::vector<std::vector<std::int32_t>> memory_;
    std::vector<std::vector<std::int32_t>> rows_;
    std::uint64_t input_clipped_ = 0;
    std::mutex lock_;
};

std::unique_ptr<Q31Converter> make_converter(const py::handle& ratio_or_in_rate,
                                             const py::handle& out_rate, int channels,
                                             const py::handle& max_ratio)
{
    const std::uint64_t ratio = q31_ratio_from(ratio_or_in_rate, out_rate);
    const std::uint64_t most =
        max_ratio.is_none() ? ASRC_Q31_RATIO_MAX : q31_ratio_from(max_ratio, py::none());
    return std::make_unique<Q31Converter>(ratio, channels, most);
}

py::object q31_convert(const py::handle& samples, const py::handle& ratio_or_in_rate,
                       const py::handle& out_rate, bool info)
{
    const Frames f = checked_frames(samples);
    const std::uint64_t ratio = q31_ratio_from(ratio_or_in_rate, out_rate);
    Q31Converter c(ratio, f.channels, ratio);
    py::array y = c.convert_whole(samples);
    if (!info)
        return py::object(std::move(y));
    return py::make_tuple(y, c.info());
}

} // namespace

namespace asrc_python {

void add_q31(py::module_& m)
{
    m.attr("Q31_RATIO_ONE") = ASRC_Q31_RATIO_ONE;
    m.attr("Q31_RATIO_MIN") = ASRC_Q31_RATIO_MIN;
    m.attr("Q31_RATIO_MAX") = ASRC_Q31_RATIO_MAX;
    m.attr("Q31_RATIO_FULL_BAND") = ASRC_Q31_RATIO_FULL_BAND;
    m.attr("Q31_CHANNELS_PER_STATE") = ASRC_Q31_MAX_CHANNELS;

    m.def("q31_ratio", &q31_ratio_from, py::arg("ratio_or_in_rate"),
          py::arg("out_rate") = py::none(),
          "The Q24.40 ratio the Q1.31 converter runs at: q31_ratio(in_rate, out_rate) (integers\n"
          "or floats, any units) or q31_ratio(ratio) with a float ratio in_rate / out_rate,\n"
          "rounded to nearest (halves up); an integer alone is taken as Q24.40 already.\n"
          "ValueError outside 1/25..25.");
    m.def(
        "q31_delay", [](const py::handle& r) { return delay_of(q31_ratio_from(r, py::none())); },
        py::arg("ratio"),
        "The Q1.31 converter's delay in input frames at a ratio (Q24.40 int or float).");
    m.def("q31_convert", &q31_convert, py::arg("samples"), py::arg("ratio_or_in_rate"),
          py::arg("out_rate") = py::none(), py::kw_only(), py::arg("info") = false,
          "A whole int32 (Q1.31) or float32 (full scale 1.0) array, one-dimensional (mono) or\n"
          "frames x channels, through a new Q1.31 converter, its delay flushed: output k is the\n"
          "input at time k * ratio / 2**40, for each of the ceil(frames * 2**40 / ratio) such\n"
          "times within the input.  Returns an array of the input's dtype and dimensions, or\n"
          "(array, info dict) with info=True.");

    py::class_<Q31Converter>(
        m, "Q31Converter",
        "One stream's Q1.31 converter: Q31Converter(in_rate, out_rate) or\n"
        "Q31Converter(ratio) (float, or Q24.40 int), channels=1, max_ratio (the\n"
        "largest ratio set_ratio may set; every ratio by default).  Channels go\n"
        "in groups of up to 8 per converter state.")
        .def(py::init(&make_converter), py::arg("ratio_or_in_rate"),
             py::arg("out_rate") = py::none(), py::kw_only(), py::arg("channels") = 1,
             py::arg("max_ratio") = py::none())
        .def("process", &Q31Converter::process, py::arg("samples"),
             "Converts a block (int32 or float32, one-dimensional for one channel or frames x\n"
             "channels, any strides) and returns the output frames that are due, in the block's\n"
             "dtype and dimensions.  Blocks may be cut anywhere: the outputs do not change.  The\n"
             "last outputs of a stream come once `delay` more frames (zeros) are given.")
        .def("set_ratio", &Q31Converter::set_ratio, py::arg("ratio_or_in_rate"),
             py::arg("out_rate") = py::none(),
             "A new ratio (as in the constructor) from the next output on; nothing moves.")
        .def("reset", &Q31Converter::reset, "Starts again from silence at the current ratio.")
        .def_property_readonly(
            "info", &Q31Converter::info,
            "The converter and its settings: converter, filter ('full band' or\n"
            "'stretched'), taps per output frame, ratio (Q24.40) and ratio_float,\n"
            "delay, channels, states, max_ratio, clipped, input_clipped.")
        .def_property_readonly("ratio", &Q31Converter::ratio,
                               "The ratio, Q24.40 input frames per output frame.")
        .def_property_readonly("delay", &Q31Converter::delay,
                               "Input frames past an output's time that it waits for.")
        .def_property_readonly("clipped", &Q31Converter::clipped,
                               "Output samples saturated to the Q1.31 range since the start.")
        .def_property_readonly(
            "input_clipped", &Q31Converter::input_clipped,
            "float32 input samples outside [-1.0, 1.0) saturated since the start.")
        .def_property_readonly(
            "input_held", &Q31Converter::input_held,
            "How far the newest input lies beyond the next output's time, Q33.30 frames.")
        .def_property_readonly("channels", &Q31Converter::channels)
        .def_property_readonly("max_ratio", &Q31Converter::max_ratio, "Q24.40.");
}

} // namespace asrc_python
