// main.cpp - asrc-audio: converts an audio file with the fixed-point
// converter, every channel through its own converter, into 16-bit PCM.
//
// Exit status: 0 when done; 1 when a file could not be read or written
// (nothing is left at OUTPUT then, and an existing OUTPUT is kept); 2 for a
// bad command line (no file touched).  Messages go to standard error, the
// help text to standard output.
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "asrc_poly.h"
#include "escaped.h"
#include "options.h"
#include "output_file.h"
#include "output_limits.h"
#include "stream_convert.h"
#include "truncation.h"

namespace {

using asrc_driver::quoted;

constexpr int kExitOk = 0;
constexpr int kExitFileFault = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& message, int status)
{
    std::fprintf(stderr, "asrc-audio: %s\n", message.c_str());
    if (status == kExitUsage)
        std::fprintf(stderr, "Try 'asrc-audio --help'.\n");
    return status;
}

int output_format(asrc_audio::Container c)
{
    switch (c) {
    case asrc_audio::Container::flac:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    case asrc_audio::Container::aiff:
        return SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    case asrc_audio::Container::wav:
        break;
    }
    return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

// A percentage on standard error when it is a terminal and the run takes
// long enough to need one: the first after half a second, then at most five
// a second.
class ProgressLine {
public:
    ProgressLine(bool shown, std::int64_t total)
        : shown_(shown && total > 0 && total != SF_COUNT_MAX), total_(total)
    {
    }

    void update(std::int64_t frames)
    {
        if (!shown_)
            return;
        const auto now = Clock::now();
        if (now - start_ < std::chrono::milliseconds(500) ||
            now - last_ < std::chrono::milliseconds(200))
            return;
        last_ = now;
        drawn_ = true;
        std::fprintf(stderr, "\rasrc-audio: %3d%%", static_cast<int>(100 * frames / total_));
        std::fflush(stderr);
    }

    void clear()
    {
        if (drawn_)
            std::fprintf(stderr, "\r                \r");
        drawn_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    std::int64_t total_;
    bool drawn_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
};

int run(const asrc_audio::Options& o)
{
    if (asrc_audio::same_file(o.input, o.output))
        return fail(quoted(o.input) + " and " + quoted(o.output) +
                        " are the same file: the output must not replace its input",
                    kExitUsage);
    if (asrc_audio::is_directory(o.output))
        return fail("cannot write " + quoted(o.output) + ": it is a directory", kExitFileFault);

    SF_INFO in_info{};
    SNDFILE* in = sf_open(o.input.c_str(), SFM_READ, &in_info);
    if (in == nullptr)
        return fail("cannot read " + quoted(o.input) + ": " + sf_strerror(nullptr), kExitFileFault);
    // Known before anything is written: a header that promises more than
    // the file holds.
    if (const std::string missing = asrc_audio::missing_data(o.input, in_info.format,
                                                             in_info.channels);
        !missing.empty()) {
        sf_close(in);
        return fail(quoted(o.input) + " " + missing, kExitFileFault);
    }

    // The converter, and the rate its output has.
    asrc_audio::ConverterChoice choice;
    choice.step = o.step;
    int out_rate = in_info.samplerate;
    if (o.converter == asrc_audio::ConverterKind::poly) {
        choice.poly = true;
        if (o.to) {
            choice.ratio = asrc_poly_ratio(static_cast<std::uint32_t>(in_info.samplerate),
                                           static_cast<std::uint32_t>(*o.to));
            if (choice.ratio == 0) {
                sf_close(in);
                return fail("cannot convert " + quoted(o.input) + " from " +
                                std::to_string(in_info.samplerate) + " Hz to " +
                                std::to_string(*o.to) +
                                " Hz: the output rate must lie from half to twice the input's",
                            kExitUsage);
            }
            out_rate = *o.to;
        } else {
            // 1 / (1 - offset) to the nearest 2^-30; the offset's range keeps
            // it within 0.5..2.
            choice.ratio = static_cast<std::uint32_t>(
                std::llround(static_cast<double>(ASRC_POLY_RATIO_ONE) / (1.0 - o.offset)));
            // Up to twice INPUT's rate, which a hostile header may set near
            // the largest int: checked before it is taken as one.
            const long long rate = std::llround(in_info.samplerate * (1.0 - o.offset));
            if (rate > INT_MAX) {
                sf_close(in);
                return fail("cannot write " + quoted(o.output) + ": the output rate " +
                                std::to_string(rate) + " Hz (" + std::to_string(in_info.samplerate) +
                                " Hz times " + std::to_string(1.0 - o.offset) +
                                ") is beyond what a sound file's header holds (" +
                                std::to_string(INT_MAX) + " Hz)",
                            kExitFileFault);
            }
            out_rate = static_cast<int>(rate);
        }
    }

    SF_INFO out_info{};
    out_info.samplerate = o.rate.value_or(out_rate);
    out_info.channels = in_info.channels;
    out_info.format = output_format(o.container);
    // A WAV too large for its 32-bit sizes is written as RF64; an AIFF is
    // refused before anything is written.
    const asrc_audio::ContainerFit fit = asrc_audio::fit_container(
        out_info.format, out_info.channels, asrc_audio::max_frames_out(choice, in_info.frames));
    if (!fit.refusal.empty()) {
        sf_close(in);
        return fail("cannot write " + quoted(o.output) + ": " + fit.refusal, kExitFileFault);
    }
    out_info.format = fit.format;
    if (sf_format_check(&out_info) == 0) {
        sf_close(in);
        return fail("cannot write " + quoted(o.output) + ": " + std::to_string(out_info.channels) +
                        " channels at " + std::to_string(out_info.samplerate) +
                        " Hz do not fit this container",
                    kExitFileFault);
    }

    asrc_audio::TemporaryOutput temp;
    std::string error;
    if (!temp.create(o.output, error)) {
        sf_close(in);
        return fail("cannot write " + quoted(o.output) + ": " + error, kExitFileFault);
    }
    asrc_audio::remove_on_signals(temp);
    SNDFILE* out = sf_open_fd(temp.descriptor(), SFM_WRITE, &out_info, SF_FALSE);
    if (out == nullptr) {
        sf_close(in);
        return fail("cannot write " + quoted(o.output) + ": " + sf_strerror(nullptr),
                    kExitFileFault);
    }

    ProgressLine progress(!o.quiet && isatty(STDERR_FILENO) != 0, in_info.frames);
    const double gain = std::pow(10.0, o.gain_db / 20.0);
    const asrc_audio::ConversionResult r =
        asrc_audio::convert_stream(in, in_info, out, choice, gain,
                                   [&progress](std::int64_t frames) { progress.update(frames); });
    progress.clear();
    sf_close(in);

    using Status = asrc_audio::ConversionResult::Status;
    switch (r.status) {
    case Status::done:
        break;
    case Status::read_error:
        sf_close(out);
        return fail("cannot read " + quoted(o.input) + ": " + r.detail, kExitFileFault);
    case Status::truncated:
        sf_close(out);
        return fail(quoted(o.input) + " is truncated: " + r.detail, kExitFileFault);
    case Status::write_error:
        sf_close(out);
        return fail("cannot write " + quoted(o.output) + ": " + r.detail, kExitFileFault);
    }
    // An INPUT of no stated length may have given more than the header's
    // sizes count: the output is not kept rather than kept wrapped.
    if (!asrc_audio::fits(out_info.format, out_info.channels, r.frames_out)) {
        sf_close(out);
        return fail("cannot write " + quoted(o.output) + ": its " + std::to_string(r.frames_out) +
                        " frames pass the 4 GiB that its header can count (INPUT gave no "
                        "length, so this was known only at the end); write a .flac",
                    kExitFileFault);
    }
    // sf_close writes the header's final sizes: a failure there is a
    // failed write like any other.
    if (const int closed = sf_close(out); closed != 0)
        return fail("cannot write " + quoted(o.output) + ": " + sf_error_number(closed),
                    kExitFileFault);
    if (!temp.commit(error))
        return fail("cannot write " + quoted(o.output) + ": " + error, kExitFileFault);

    if (!o.quiet) {
        const double ratio =
            r.frames_in > 0 ? static_cast<double>(r.frames_out) / static_cast<double>(r.frames_in)
                            : 0.0;
        std::fprintf(stderr,
                     "asrc-audio: %" PRId64 " frames in, %" PRId64 " frames out (ratio %.6f), %" PRId64
                     " samples %s\n",
                     r.frames_in, r.frames_out, ratio, choice.poly ? r.clipped : r.wrapped,
                     choice.poly ? "clipped" : "wrapped");
    }
    if (r.clipped > 0)
        std::fprintf(stderr,
                     "asrc-audio: warning: %" PRId64
                     " output samples were clipped to full scale; leave headroom, e.g. --gain "
                     "-3\n",
                     r.clipped);
    if (r.wrapped > 0)
        std::fprintf(stderr,
                     "asrc-audio: warning: %" PRId64
                     " output samples wrapped around (the converter does not saturate); leave "
                     "headroom, e.g. --gain -3\n",
                     r.wrapped);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    const asrc_audio::ParsedCommandLine cl = asrc_audio::parse_command_line(argc, argv);
    switch (cl.kind) {
    case asrc_audio::ParsedCommandLine::Kind::help:
        std::fputs(asrc_audio::usage_text().c_str(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFileFault;
    case asrc_audio::ParsedCommandLine::Kind::error:
        return fail(cl.message, kExitUsage);
    case asrc_audio::ParsedCommandLine::Kind::run:
        break;
    }
    // Past a file-size limit a write then fails (EFBIG) and is reported
    // like a full disk, instead of the signal ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(cl.options);
    } catch (const std::exception& e) {
        // Out of memory (a file of very many channels) or no thread to be had.
        return fail(std::string("stopped: ") + e.what(), kExitFileFault);
    }
}
