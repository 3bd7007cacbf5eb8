// main.cpp - asrc-audio: converts audio files to another rate with the
// fixed-point converters: the polyphase one for 24- and 32-bit audio at the
// input's depth, or the rule of asrc, bit for bit, into 16-bit PCM.
//
// Exit status: 0 when done; 1 when a file could not be read or written
// (nothing is left at OUTPUT then, and an existing OUTPUT is kept; in a
// batch, when one or more files failed); 2 for a bad command line or a
// rate the converter cannot reach (no file touched).  Messages go to standard error, the
// help text to standard output.
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "asrc_q31.h"
#include "batch.h"
#include "depth.h"
#include "escaped.h"
#include "options.h"
#include "output_file.h"
#include "output_limits.h"
#include "q31_stream.h"
#include "stream_convert.h"
#include "truncation.h"

namespace {

using asrc_cli::quoted;

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

// The output's depth: --bits, else the input's where the container holds
// it, else 24-bit (FLAC holds at most 24-bit integers).  nullopt, with the
// message set, when --bits asks for what the container cannot hold.
std::optional<asrc_audio::Depth> output_depth(const asrc_audio::Options& o, const SF_INFO& in,
                                              int out_rate, std::string& message)
{
    using asrc_audio::Depth;
    const int container = output_format(o.container) & SF_FORMAT_TYPEMASK;
    const Depth wanted = o.depth.value_or(asrc_audio::depth_of_format(in.format));
    SF_INFO check{};
    check.samplerate = out_rate;
    check.channels = in.channels;
    check.format = container | asrc_audio::subformat_of(wanted);
    if (sf_format_check(&check) != 0)
        return wanted;
    check.format = container | SF_FORMAT_PCM_24;
    if (!o.depth && sf_format_check(&check) != 0)
        return Depth::pcm24;
    message = std::string("cannot write ") + asrc_audio::depth_name(wanted) + " samples to " +
              quoted(o.output) + ": its container does not hold them (FLAC holds 16 and 24 bits)";
    return std::nullopt;
}

// What the conversion did to the samples, for the summary.
std::string describe(asrc_audio::Depth depth, asrc_audio::Rounding rounding)
{
    std::string text = asrc_audio::depth_name(depth);
    switch (rounding) {
    case asrc_audio::Rounding::exact:
        return text + ", samples unchanged";
    case asrc_audio::Rounding::dither:
        return text + ", TPDF dither";
    case asrc_audio::Rounding::rounded:
        return text + ", rounded (no dither)";
    case asrc_audio::Rounding::none:
        break;
    }
    return text;
}

// Converts o.input into o.output.  `workers`: threads for the converter;
// `named`: the summary line names the files (in a batch).
int run(const asrc_audio::Options& o, int workers, bool named)
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

    const bool poly = o.converter == asrc_audio::ConverterKind::poly;
    // The rate of the output's samples (--to's; the input's with an offset,
    // which re-times the recording at the same nominal rate) and the
    // converter's ratio (0: the same rate, nothing to convert).
    int out_rate = in_info.samplerate;
    asrc_audio::Q31Settings q31;
    q31.gain = std::pow(10.0, o.gain_db / 20.0);
    q31.dither = o.dither;
    q31.workers = workers;
    if (poly && o.to) {
        out_rate = *o.to;
        if (*o.to != in_info.samplerate) {
            q31.ratio = asrc_q31_ratio(static_cast<std::uint32_t>(in_info.samplerate),
                                       static_cast<std::uint32_t>(*o.to));
            q31.in_rate = in_info.samplerate;
            q31.out_rate = *o.to;
            if (q31.ratio == 0) {
                sf_close(in);
                return fail("cannot convert " + quoted(o.input) + " from " +
                                std::to_string(in_info.samplerate) + " Hz to " +
                                std::to_string(*o.to) +
                                " Hz: the output rate must lie from 1/25 to 25 times the input's",
                            kExitUsage);
            }
        }
    } else if (poly && o.offset != 0.0) {
        // 1 / (1 - offset) to the nearest 2^-40; the offset's range keeps
        // it within 1/25..25.
        q31.ratio = static_cast<std::uint64_t>(
            std::llround(static_cast<double>(ASRC_Q31_RATIO_ONE) / (1.0 - o.offset)));
    }
    if (!poly && o.step == 0 && o.offset != 0.0)
        std::fprintf(stderr,
                     "asrc-audio: warning: rate offset %s is below the rule converter's "
                     "resolution (1/16384, 0.000061): its phase step is 0 and the rate is not "
                     "changed; leave out --converter rule to convert it with the polyphase "
                     "converter\n",
                     quoted(o.offset_text).c_str());

    SF_INFO out_info{};
    out_info.samplerate = o.rate.value_or(out_rate);
    out_info.channels = in_info.channels;
    out_info.format = output_format(o.container);
    if (poly) {
        std::string message;
        const std::optional<asrc_audio::Depth> depth =
            output_depth(o, in_info, out_info.samplerate, message);
        if (!depth) {
            sf_close(in);
            return fail(message, kExitUsage);
        }
        q31.depth = *depth;
        out_info.format = (out_info.format & SF_FORMAT_TYPEMASK) | asrc_audio::subformat_of(*depth);
    }
    // A WAV too large for its 32-bit sizes is written as RF64; an AIFF is
    // refused before anything is written.
    asrc_audio::ConverterChoice rule_choice;
    rule_choice.step = o.step;
    const std::int64_t max_frames =
        poly ? asrc_audio::max_frames_q31(q31, in_info) : asrc_audio::max_frames_out(rule_choice, in_info.frames);
    const asrc_audio::ContainerFit fit =
        asrc_audio::fit_container(out_info.format, out_info.channels, max_frames);
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

    ProgressLine progress(!o.quiet && !named && isatty(STDERR_FILENO) != 0, in_info.frames);
    const auto report = [&progress](std::int64_t frames) { progress.update(frames); };
    asrc_audio::ConversionResult r;
    if (poly) {
        r = asrc_audio::convert_q31(in, in_info, out, q31, report);
    } else {
        r = asrc_audio::convert_stream(in, in_info, out, rule_choice, q31.gain, report);
    }
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
        const std::string names = named ? quoted(o.input) + " -> " + quoted(o.output) + ": " : "";
        const std::string how =
            poly ? "; " + std::to_string(in_info.samplerate) + " -> " +
                       std::to_string(out_info.samplerate) + " Hz, " +
                       describe(q31.depth, asrc_audio::rounding_for(in_info.format, q31))
                 : "";
        std::fprintf(stderr,
                     "asrc-audio: %s%" PRId64 " frames in, %" PRId64
                     " frames out (ratio %.6f), %" PRId64 " samples %s%s\n",
                     names.c_str(), r.frames_in, r.frames_out, ratio, poly ? r.clipped : r.wrapped,
                     poly ? "clipped" : "wrapped", how.c_str());
    }
    if (r.clipped > 0)
        std::fprintf(stderr,
                     "asrc-audio: warning: %s%" PRId64
                     " samples were clipped to full scale; leave headroom, e.g. --gain -3\n",
                     named ? (quoted(o.input) + ": ").c_str() : "", r.clipped);
    if (r.wrapped > 0)
        std::fprintf(stderr,
                     "asrc-audio: warning: %" PRId64
                     " output samples wrapped around (the converter does not saturate); leave "
                     "headroom, e.g. --gain -3\n",
                     r.wrapped);
    return kExitOk;
}

int cores()
{
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Every input into o.out_dir, as many at once as there are cores (each
// conversion then on one thread), then a total.
int run_batch(const asrc_audio::Options& o)
{
    if (!asrc_audio::is_directory(*o.out_dir))
        return fail("cannot write into " + quoted(*o.out_dir) + ": no such directory",
                    kExitFileFault);
    std::vector<asrc_audio::Options> jobs;
    std::map<std::string, std::string> taken; // output -> input
    for (const std::string& input : o.inputs) {
        asrc_audio::Options one = o;
        one.inputs.clear();
        one.input = input;
        one.output = asrc_audio::batch_output_name(*o.out_dir, input);
        // The name was made with one of the output's extensions.
        one.container = asrc_audio::container_for(one.output).value_or(asrc_audio::Container::wav);
        const auto [it, fresh] = taken.emplace(one.output, input);
        if (!fresh)
            return fail(quoted(it->second) + " and " + quoted(input) + " would both be written to " +
                            quoted(one.output) + ": convert them into different directories",
                        kExitUsage);
        jobs.push_back(std::move(one));
    }
    const int parallel = std::min(cores(), static_cast<int>(jobs.size()));
    // With fewer files than cores, each file's channels share the rest.
    const int workers = std::max(1, cores() / parallel);
    const std::vector<int> status = asrc_audio::run_in_processes(
        static_cast<int>(jobs.size()), parallel, [&jobs, workers](int i) {
            try {
                return run(jobs[static_cast<std::size_t>(i)], workers, true);
            } catch (const std::exception& e) {
                return fail(std::string("stopped: ") + e.what(), kExitFileFault);
            }
        });
    std::string failed;
    int failures = 0;
    for (std::size_t i = 0; i < status.size(); ++i) {
        if (status[i] != kExitOk) {
            failed += (failures++ == 0 ? "" : ", ") + quoted(jobs[i].input);
        }
    }
    if (failures > 0) {
        std::fprintf(stderr, "asrc-audio: %d of %zu files converted; failed: %s\n",
                     static_cast<int>(status.size()) - failures, status.size(), failed.c_str());
        return kExitFileFault;
    }
    if (!o.quiet)
        std::fprintf(stderr, "asrc-audio: %zu files converted\n", status.size());
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
    case asrc_audio::ParsedCommandLine::Kind::version:
        std::fputs(asrc_audio::version_text().c_str(), stdout);
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
        if (cl.options.out_dir)
            return run_batch(cl.options);
        // One file: its channels share the cores.
        return run(cl.options, cores(), false);
    } catch (const std::exception& e) {
        // Out of memory (a file of very many channels) or no thread to be had.
        return fail(std::string("stopped: ") + e.what(), kExitFileFault);
    }
}
