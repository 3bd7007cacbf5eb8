// asrc_module.cpp - the Python module asrc: the converter over numpy arrays of
// int16, with the program's rate offset rule and input conditioning taken from
// the program's own units, so that Python sees exactly what the program does.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "asrc.h"
#include "asrc_poly.h"
#include "conditioning.h"
#include "module_common.h"
#include "rate_offset.h"
#include "stretched_rows.h"

namespace py = pybind11;
using asrc_python::type_name;

namespace {

// The converter's counts are int32: longer arrays go through in pieces.
constexpr py::ssize_t kMaxCall = py::ssize_t{1} << 30;
// Strided or unaligned input is copied in pieces of this many samples, small
// enough to stay in cache on its way to the converter.
constexpr py::ssize_t kGatherPiece = py::ssize_t{1} << 14;

// A step is any Python integer in the int16 range.  Floats are refused rather
// than truncated: a step is Q2.14 units, and 0.01 meant as an offset would
// quietly become 0 (step_for_offset turns offsets into steps).
std::int16_t checked_step(const py::handle& step)
{
    if (PyFloat_Check(step.ptr()) || !PyIndex_Check(step.ptr()))
        throw py::type_error("step must be an integer (Q2.14, asrc.ONE is one sample), got " +
                             type_name(step));
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(step.ptr()));
    if (!value)
        throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < std::numeric_limits<std::int16_t>::min() ||
        v > std::numeric_limits<std::int16_t>::max())
        throw py::value_error("step must lie in -32768..32767, got " +
                              py::str(value).cast<std::string>());
    return static_cast<std::int16_t>(v); // in range, checked above
}

// The array behind `obj`, which must be one-dimensional with one of the
// given dtypes (native byte order); nothing is ever converted, so a float
// array is refused instead of being cut to integers.
py::array checked_vector(const py::handle& obj, const char* what,
                         std::initializer_list<py::dtype> dtypes, const char* wanted)
{
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(what) + " must be a numpy array of " + wanted + ", got " +
                             type_name(obj));
    auto a = py::reinterpret_borrow<py::array>(obj);
    if (std::none_of(dtypes.begin(), dtypes.end(),
                     [&](const py::dtype& d) { return a.dtype().equal(d); }))
        throw py::type_error(std::string(what) + " must be a numpy array of " + wanted +
                             ", got dtype " + py::str(a.dtype()).cast<std::string>() +
                             " (convert it explicitly if that is meant)");
    if (a.ndim() != 1)
        throw py::value_error(std::string(what) + " must be one-dimensional, got " +
                              std::to_string(a.ndim()) + " dimensions");
    return a;
}

// Element i of a one-dimensional array of T with any stride.
template <typename T>
T element(const char* base, py::ssize_t stride, py::ssize_t i)
{
    return asrc_python::load<T>(base + i * stride);
}

// Runs `samples` through a converter and returns the outputs: `bound(n)`
// is the room n inputs can need from any state, `block(in, nin, out)` one
// call of a block entry returning its output count.  The GIL is released
// while converting; `lock` (if any) keeps other threads off the state
// meanwhile, since calls on one state must not overlap.
template <typename Bound, typename Block>
py::array_t<std::int16_t> convert_with(std::mutex* lock, const py::array& samples, Bound bound,
                                       Block block, py::ssize_t extra = 0)
{
    const py::ssize_t n = samples.shape(0);
    // An upper bound from any state for each int32-sized stretch, so it
    // holds however the stream is cut into calls below.
    py::ssize_t capacity = extra;
    for (py::ssize_t at = 0; at < n; at += kMaxCall)
        capacity += static_cast<py::ssize_t>(bound(static_cast<std::int32_t>(std::min(kMaxCall, n - at))));
    py::array_t<std::int16_t> out(capacity);
    std::int16_t* const o = out.mutable_data();
    const auto* const base = static_cast<const char*>(samples.data());
    const py::ssize_t stride = samples.strides(0);
    const bool direct = stride == static_cast<py::ssize_t>(sizeof(std::int16_t)) &&
                        reinterpret_cast<std::uintptr_t>(base) % alignof(std::int16_t) == 0;
    py::ssize_t produced = 0;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::mutex> held;
        if (lock != nullptr)
            held = std::unique_lock<std::mutex>(*lock);
        std::vector<std::int16_t> piece(direct ? 0 : static_cast<std::size_t>(std::min(kGatherPiece, n)));
        const py::ssize_t per_call = direct ? kMaxCall : kGatherPiece;
        for (py::ssize_t at = 0; at < n; at += per_call) {
            const py::ssize_t count = std::min(per_call, n - at);
            const std::int16_t* in = nullptr;
            if (direct) {
                in = reinterpret_cast<const std::int16_t*>(base) + at;
            } else {
                for (py::ssize_t i = 0; i < count; ++i)
                    piece[static_cast<std::size_t>(i)] = element<std::int16_t>(base, stride, at + i);
                in = piece.data();
            }
            // count is at most kMaxCall
            produced += block(in, static_cast<std::int32_t>(count), o + produced);
        }
    }
    // Freshly made and referenced only here: no reference check needed.
    out.resize({produced}, false);
    return out;
}

py::array_t<std::int16_t> convert_on(asrc_state* s, std::mutex* lock, const py::array& samples,
                                     std::int16_t step)
{
    return convert_with(
        lock, samples, [step](std::int32_t count) { return asrc_max_output(count, step); },
        [s, step](const std::int16_t* in, std::int32_t count, std::int16_t* out) {
            std::int32_t nin = count;
            std::int32_t nout = 0;
            asrc_state_process_block(s, out, in, &nin, &nout, step);
            return nout;
        });
}

// One converter with its own state.  The mutex serialises calls from
// threads, which may overlap once the GIL is released.
class Converter {
public:
    Converter() { asrc_state_init(&state_); }

    py::array_t<std::int16_t> process(const py::handle& samples, const py::handle& step)
    {
        const py::array a = checked_vector(samples, "samples", {py::dtype::of<std::int16_t>()}, "int16");
        return convert_on(&state_, &lock_, a, checked_step(step));
    }

    void reset()
    {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> held(lock_);
        asrc_state_init(&state_);
    }

    asrc_state snapshot()
    {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> held(lock_);
        return state_;
    }

private:
    asrc_state state_{};
    std::mutex lock_;
};

py::dict state_dict(const asrc_state& s)
{
    py::dict d;
    d["in"] = s.in;
    d["in_prev"] = s.in_prev;
    d["out"] = s.out;
    d["out_prev"] = s.out_prev;
    d["phase"] = s.phase;
    return d;
}


// The text the program would be given for `offset`: a str as it is (UTF-8),
// an integer in decimal, any other number as Python's repr of its float,
// which reads back as exactly that double.
std::string offset_text(const py::handle& offset)
{
    if (py::isinstance<py::str>(offset)) {
        // A lone surrogate has no UTF-8 form: UnicodeEncodeError, a ValueError.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(offset.ptr(), &size);
        if (utf8 == nullptr)
            throw py::error_already_set();
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    if (PyBool_Check(offset.ptr()))
        throw py::type_error("offset must be a str or a number, got bool");
    if (PyLong_Check(offset.ptr()))
        return py::str(offset).cast<std::string>();
    if (PyNumber_Check(offset.ptr()) == 0)
        throw py::type_error("offset must be a str or a number, got " + type_name(offset));
    const auto as_float = py::reinterpret_steal<py::object>(PyNumber_Float(offset.ptr()));
    if (!as_float)
        throw py::error_already_set();
    char* repr = PyOS_double_to_string(PyFloat_AsDouble(as_float.ptr()), 'r', 0,
                                       Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr)
        throw py::error_already_set();
    std::string text(repr);
    PyMem_Free(repr);
    return text;
}

int step_for_offset(const py::handle& offset)
{
    const std::string text = offset_text(offset);
    // The program never sees a NUL inside its argument; the parser would
    // stop at one and read only the part before it.
    const std::optional<std::int16_t> step =
        text.find('\0') == std::string::npos ? asrc_cli::parse_rate_offset(text.c_str())
                                             : std::nullopt;
    if (!step)
        throw py::value_error(asrc_cli::invalid_rate_offset_message(text));
    return *step;
}

py::array_t<std::int16_t> condition(const py::handle& numbers)
{
    const py::array a = checked_vector(numbers, "numbers",
                                       {py::dtype::of<std::int32_t>(), py::dtype::of<std::int64_t>()},
                                       "int32 or int64");
    const py::ssize_t n = a.shape(0);
    py::array_t<std::int16_t> out(n);
    std::int16_t* const o = out.mutable_data();
    const auto* const base = static_cast<const char*>(a.data());
    const py::ssize_t stride = a.strides(0);
    if (a.itemsize() == static_cast<py::ssize_t>(sizeof(std::int32_t))) {
        py::gil_scoped_release unlocked;
        for (py::ssize_t i = 0; i < n; ++i)
            o[i] = asrc_cli::condition_sample(element<std::int32_t>(base, stride, i));
        return out;
    }
    std::optional<std::pair<py::ssize_t, std::int64_t>> outside;
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t i = 0; i < n; ++i) {
            const auto v = element<std::int64_t>(base, stride, i);
            if (v < std::numeric_limits<std::int32_t>::min() ||
                v > std::numeric_limits<std::int32_t>::max()) {
                outside.emplace(i, v);
                break;
            }
            o[i] = asrc_cli::condition_sample(static_cast<std::int32_t>(v)); // in range
        }
    }
    if (outside)
        throw py::value_error("numbers[" + std::to_string(outside->first) + "] = " +
                              std::to_string(outside->second) +
                              " is outside the 32-bit integer range");
    return out;
}

std::int64_t max_output(const py::handle& count, const py::handle& step)
{
    if (PyFloat_Check(count.ptr()) || !PyIndex_Check(count.ptr()))
        throw py::type_error("count must be an integer, got " + type_name(count));
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(count.ptr()));
    if (!value)
        throw py::error_already_set();
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || c < std::numeric_limits<std::int32_t>::min() ||
        c > std::numeric_limits<std::int32_t>::max())
        throw py::value_error("count must lie in the 32-bit range, got " +
                              py::str(value).cast<std::string>());
    return asrc_max_output(static_cast<std::int32_t>(c), checked_step(step)); // in range
}

// A Python integer within [lo, hi], or TypeError / ValueError naming `what`.
long long checked_integer(const py::handle& obj, const char* what, long long lo, long long hi)
{
    if (PyFloat_Check(obj.ptr()) || PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr()))
        throw py::type_error(std::string(what) + " must be an integer, got " + type_name(obj));
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!value)
        throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < lo || v > hi)
        throw py::value_error(std::string(what) + " must lie in " + std::to_string(lo) + ".." +
                              std::to_string(hi) + ", got " + py::str(value).cast<std::string>());
    return v;
}

// A ratio in Q2.30, within ASRC_POLY_RATIO_MIN..MAX.
std::uint32_t checked_ratio(const py::handle& ratio)
{
    // In range, so it fits 32 bits.
    return static_cast<std::uint32_t>(checked_integer(ratio, "ratio (Q2.30, POLY_RATIO_ONE is 1.0)",
                                                      ASRC_POLY_RATIO_MIN, ASRC_POLY_RATIO_MAX));
}

std::uint32_t poly_ratio(const py::handle& in_rate, const py::handle& out_rate)
{
    const auto in = static_cast<std::uint32_t>(checked_integer(in_rate, "in_rate", 1, 0xFFFFFFFFLL));
    const auto out = static_cast<std::uint32_t>(checked_integer(out_rate, "out_rate", 1, 0xFFFFFFFFLL));
    const std::uint32_t r = asrc_poly_ratio(in, out);
    if (r == 0)
        throw py::value_error("in_rate / out_rate = " + std::to_string(in) + " / " +
                              std::to_string(out) + " lies outside 0.5..2.0");
    return r;
}

// The ratio from PolyConverter's arguments: a Q2.30 integer, or two rates.
std::uint32_t ratio_from(const py::handle& ratio_or_in_rate, const py::object& out_rate)
{
    return out_rate.is_none() ? checked_ratio(ratio_or_in_rate) : poly_ratio(ratio_or_in_rate, out_rate);
}

py::array_t<std::int16_t> poly_convert_on(asrc_poly_state* s, std::unique_ptr<asrc_poly_rows>& rows,
                                          std::mutex* lock, const py::array& samples,
                                          py::ssize_t extra = 0)
{
    return convert_with(
        lock, samples,
        [s](std::int32_t count) { return asrc_poly_max_output(count, s->ratio); },
        [s, &rows](const std::int16_t* in, std::int32_t count, std::int16_t* out) {
            std::int32_t nin = count;
            std::int32_t nout = 0;
            const asrc_poly_rows* r = asrc_cli::stretched_rows(s->ratio, rows);
            asrc_poly_process_block_rows(s, r, out, in, &nin, &nout);
            return nout;
        },
        extra);
}

// One polyphase converter with its own state.
class PolyConverter {
public:
    PolyConverter(const py::handle& ratio_or_in_rate, const py::object& out_rate)
    {
        asrc_poly_init(&state_, ratio_from(ratio_or_in_rate, out_rate)); // valid: checked
    }

    py::array_t<std::int16_t> process(const py::handle& samples)
    {
        const py::array a = checked_vector(samples, "samples", {py::dtype::of<std::int16_t>()}, "int16");
        return poly_convert_on(&state_, rows_, &lock_, a);
    }

    void reset()
    {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> held(lock_);
        asrc_poly_init(&state_, state_.ratio); // the state's own ratio is valid
    }

    void set_ratio(const py::handle& ratio)
    {
        const std::uint32_t r = checked_ratio(ratio);
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> held(lock_);
        asrc_poly_set_ratio(&state_, r);
    }

    asrc_poly_state snapshot()
    {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> held(lock_);
        return state_;
    }

private:
    asrc_poly_state state_{};
    std::unique_ptr<asrc_poly_rows> rows_;
    std::mutex lock_;
};

// A whole array from a converter just made: the input followed by the
// filter's delay in zeros, cut to the outputs whose time lies within the
// input, ceil(len * 2^30 / ratio) of them, output k at input time k * ratio.
py::array_t<std::int16_t> poly_convert(const py::handle& samples, const py::handle& ratio)
{
    const py::array a = checked_vector(samples, "samples", {py::dtype::of<std::int16_t>()}, "int16");
    const std::uint32_t r = checked_ratio(ratio);
    const py::ssize_t n = a.shape(0);
    const std::int32_t delay = asrc_poly_delay(r);
    // The input and the zeros that flush the filter, as one array.
    py::array_t<std::int16_t> padded(n + delay);
    std::int16_t* const p = padded.mutable_data();
    const auto* const base = static_cast<const char*>(a.data());
    for (py::ssize_t i = 0; i < n; ++i)
        p[i] = element<std::int16_t>(base, a.strides(0), i);
    std::fill(p + n, p + n + delay, std::int16_t{0});
    asrc_poly_state s{};
    asrc_poly_init(&s, r);
    std::unique_ptr<asrc_poly_rows> rows;
    py::array_t<std::int16_t> y = poly_convert_on(&s, rows, nullptr, padded);
    const auto wanted = static_cast<py::ssize_t>(
        ((static_cast<unsigned long long>(n) << 30) + r - 1) / r);
    y.resize({std::min<py::ssize_t>(y.shape(0), wanted)}, false);
    return y;
}

} // namespace

PYBIND11_MODULE(asrc, m)
{
    m.doc() = "The fixed-point sample-rate converters over numpy arrays: Converter and\n"
              "PolyConverter on int16; Q31Converter and q31_convert on int32 (Q1.31) and float32,\n"
              "mono or frames x channels.  Steps are Q2.14 (ONE is one sample); step_for_offset\n"
              "gives the program's step for a rate offset, condition the program's 16-bit\n"
              "samples for 24-bit numbers.";
    m.attr("ONE") = ASRC_ONE;

    py::class_<Converter>(m, "Converter",
                          "One converter with its own state, which carries across calls to process.")
        .def(py::init<>())
        .def("process", &Converter::process, py::arg("samples"), py::arg("step"),
             "Converts a one-dimensional int16 array (any stride) at `step` and returns the\n"
             "outputs as a new int16 array; the state carries over to the next call.")
        .def("reset", &Converter::reset, "Starts the converter again (all state 0).")
        .def_property_readonly(
            "phase", [](Converter& c) { return static_cast<int>(c.snapshot().phase); },
            "The phase, Q2.14 (0..ONE).")
        .def_property_readonly(
            "state", [](Converter& c) { return state_dict(c.snapshot()); },
            "The five state values: in, in_prev, out, out_prev, phase.");

    m.def(
        "convert",
        [](const py::handle& samples, const py::handle& step) {
            const py::array a = checked_vector(samples, "samples", {py::dtype::of<std::int16_t>()}, "int16");
            const std::int16_t st = checked_step(step);
            asrc_state s{};
            return convert_on(&s, nullptr, a, st);
        },
        py::arg("samples"), py::arg("step"),
        "Converts a whole int16 array from a converter just reset.");
    m.def("step_for_offset", &step_for_offset, py::arg("offset"),
          "The program's phase step for a rate offset (str as given on its command line, or a\n"
          "number); ValueError with the program's message when the program would refuse it.");
    m.def("condition", &condition, py::arg("numbers"),
          "The program's 16-bit samples for input numbers at 24-bit scale (int32, or int64\n"
          "within the 32-bit range).");
    m.attr("POLY_RATIO_ONE") = ASRC_POLY_RATIO_ONE;
    m.attr("POLY_RATIO_MIN") = ASRC_POLY_RATIO_MIN;
    m.attr("POLY_RATIO_MAX") = ASRC_POLY_RATIO_MAX;
    py::class_<PolyConverter>(m, "PolyConverter",
                              "One polyphase converter with its own state: PolyConverter(ratio) with a\n"
                              "Q2.30 ratio (input samples per output sample, POLY_RATIO_ONE is 1.0), or\n"
                              "PolyConverter(in_rate, out_rate).")
        .def(py::init<const py::handle&, const py::object&>(), py::arg("ratio_or_in_rate"),
             py::arg("out_rate") = py::none())
        .def("process", &PolyConverter::process, py::arg("samples"),
             "Converts a one-dimensional int16 array (any stride) and returns the outputs\n"
             "that are due, as a new int16 array; the state carries over to the next call.")
        .def("reset", &PolyConverter::reset, "Starts again from silence at the current ratio.")
        .def("set_ratio", &PolyConverter::set_ratio, py::arg("ratio"),
             "A new Q2.30 ratio from the next output on; the position does not move.")
        .def_property_readonly(
            "ratio", [](PolyConverter& c) { return c.snapshot().ratio; }, "The ratio, Q2.30.")
        .def_property_readonly(
            "delay", [](PolyConverter& c) { return c.snapshot().delay; },
            "Inputs past an output's time that it waits for.")
        .def_property_readonly(
            "clipped", [](PolyConverter& c) { return c.snapshot().clipped; },
            "Outputs clipped to the 16-bit range since the start.")
        .def_property_readonly(
            "input_held",
            [](PolyConverter& c) {
                const asrc_poly_state s = c.snapshot();
                return asrc_poly_input_held(&s);
            },
            "How far the newest input lies beyond the next output's time, Q33.30 input samples.");
    m.def("poly_ratio", &poly_ratio, py::arg("in_rate"), py::arg("out_rate"),
          "in_rate / out_rate in Q2.30, rounded to nearest; ValueError outside 0.5..2.0.");
    m.def("poly_delay", [](const py::handle& r) { return asrc_poly_delay(checked_ratio(r)); },
          py::arg("ratio"), "The converter's delay in input samples at a Q2.30 ratio.");
    m.def("poly_convert", &poly_convert, py::arg("samples"), py::arg("ratio"),
          "A whole int16 array through a new polyphase converter, its delay flushed: output k\n"
          "is the input at time k * ratio / 2^30, for every such time within the input.");
    m.def("max_output", &max_output, py::arg("count"), py::arg("step"),
          "The most outputs `count` inputs can give at `step`, from any state.");
    asrc_python::add_q31(m);
}
