// stream_convert.cpp - the streaming conversion of a sound file.
#include "stream_convert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <semaphore>
#include <sstream>
#include <thread>
#include <vector>

#include "asrc.h"
#include "conditioning.h"
#include "wrap_count.h"

namespace asrc_audio {

namespace {

// Samples per chunk, all channels together: large enough that the hand-over
// to the worker, which costs tens of microseconds on a virtual machine, is
// lost in the work (about 2 ms per chunk).
constexpr std::int32_t kChunkSamples = 131072;

// Chunks in flight: the reader may run this many chunks ahead of the
// writer, so that a pause of either thread does not stall the other.
constexpr std::size_t kChunks = 4;

// Planes of one chunk are this many samples longer than a chunk, so that
// the same index in two planes never lands on the same cache set.
constexpr std::int32_t kPlanePadding = 40;

std::int32_t clip_round_24bit(double v)
{
    const double r = std::nearbyint(v);
    if (r <= kMin24)
        return kMin24;
    if (r >= kMax24)
        return kMax24;
    // Within the 24-bit range, checked above: the conversion is exact.
    return static_cast<std::int32_t>(r);
}

// One chunk in flight: its inputs conditioned, one plane per channel, and
// the converters' outputs, likewise.  The semaphores hand it to the worker
// and back.
struct Chunk {
    std::vector<std::int16_t> in;
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> interleaved; // the output frames
    std::int32_t frames = 0;               // -1: the worker stops
    std::int32_t out_frames = 0;
    std::binary_semaphore ready{0};
    std::binary_semaphore done{0};
};

class Converters {
public:
    Converters(int channels, std::int32_t chunk_frames, std::int16_t step)
        : channels_(channels), in_stride_(chunk_frames + kPlanePadding),
          // A chunk of n inputs gives at most 2n outputs.
          out_stride_(2 * chunk_frames + kPlanePadding),
          states_(static_cast<std::size_t>(channels)), step_(step)
    {
        for (Chunk& c : chunks_) {
            c.in.resize(static_cast<std::size_t>(in_stride_) * static_cast<std::size_t>(channels));
            c.out.resize(static_cast<std::size_t>(out_stride_) *
                         static_cast<std::size_t>(channels));
            c.interleaved.resize(2 * static_cast<std::size_t>(chunk_frames) *
                                 static_cast<std::size_t>(channels));
        }
        plan_.plan(0, step, chunk_frames); // sizes the event list once
        for (asrc_state& s : states_)
            asrc_state_init(&s);
    }

    std::int16_t* in_plane(Chunk& c, int channel) const
    {
        return c.in.data() + offset(in_stride_, channel);
    }

    std::array<Chunk, kChunks>& chunks() { return chunks_; }
    std::int64_t wrapped() const { return wrapped_; }

    // The worker: converts the chunks in turn until one says stop.
    void run()
    {
        for (std::size_t i = 0;; i = (i + 1) % kChunks) {
            Chunk& c = chunks_[i];
            c.ready.acquire();
            if (c.frames < 0)
                return;
            convert(c);
            c.done.release();
        }
    }

private:
    static std::size_t offset(std::int32_t stride, int channel)
    {
        return static_cast<std::size_t>(stride) * static_cast<std::size_t>(channel);
    }

    void convert(Chunk& c)
    {
        // Every channel has the same step and has seen as many inputs, so
        // they share the phase and one plan of drops and inserts.
        plan_.plan(states_[0].phase, step_, c.frames);
        for (int ch = 0; ch < channels_; ++ch) {
            asrc_state& s = states_[static_cast<std::size_t>(ch)];
            const asrc_state before = s;
            const std::int16_t* in = c.in.data() + offset(in_stride_, ch);
            std::int16_t* out = c.out.data() + offset(out_stride_, ch);
            std::int32_t nin = c.frames;
            std::int32_t nout = 0;
            asrc_state_process_block(&s, out, in, &nin, &nout, step_);
            wrapped_ += count_wrapped(plan_, before, in, out, c.frames);
        }
        c.out_frames = plan_.outputs();
        interleave(c);
    }

    // On the worker too, where the outputs are still in the cache: the
    // common layouts get loops the compiler can vectorise.
    void interleave(Chunk& c) const
    {
        const std::int32_t n = c.out_frames;
        std::int16_t* dst = c.interleaved.data();
        const std::int16_t* a = c.out.data();
        if (channels_ == 1) {
            std::copy(a, a + n, dst);
        } else if (channels_ == 2) {
            const std::int16_t* b = a + out_stride_;
            for (std::int32_t i = 0; i < n; ++i) {
                dst[2 * i] = a[i];
                dst[2 * i + 1] = b[i];
            }
        } else {
            for (int ch = 0; ch < channels_; ++ch) {
                const std::int16_t* plane = c.out.data() + offset(out_stride_, ch);
                for (std::int32_t i = 0; i < n; ++i)
                    dst[i * channels_ + ch] = plane[i];
            }
        }
    }

    int channels_;
    std::int32_t in_stride_;
    std::int32_t out_stride_;
    std::vector<asrc_state> states_;
    std::int16_t step_;
    EventPlan plan_;
    std::array<Chunk, kChunks> chunks_;
    std::int64_t wrapped_ = 0;
};

// libsndfile adjusts the frame count of a WAV or AIFF file whose data chunk
// is cut short to the data that is there, and says so only in its log
// ("data : 172818432 (should be 1000000)").  Returns the log's line when the
// data chunk promised more bytes than the file holds; a size of 0xFFFFFFFF
// is the usual mark of a file written as a stream, of unknown length, and
// no sign of truncation.
std::string short_data_chunk(SNDFILE* in)
{
    std::vector<char> log(16384);
    sf_command(in, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::istringstream lines(std::string(log.data(), strnlen(log.data(), log.size())));
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        const std::string_view text = std::string_view(line).substr(start);
        if (!text.starts_with("data ") && !text.starts_with("SSND "))
            continue;
        unsigned long long claimed = 0;
        unsigned long long present = 0;
        char name[8];
        if (std::sscanf(line.c_str(), " %4s : %llu (should be %llu)", name, &claimed, &present) ==
                3 &&
            claimed > present && claimed != 0xFFFFFFFFULL)
            return std::string(text);
    }
    return {};
}

} // namespace

bool reads_as_floating_point(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return true;
    default:
        return false;
    }
}

std::int32_t integer_to_24bit(std::int32_t v, double gain)
{
    const std::int32_t v24 = v >> 8;
    return gain == 1.0 ? v24 : clip_round_24bit(static_cast<double>(v24) * gain);
}

std::int32_t floating_to_24bit(double v, double gain)
{
    if (std::isnan(v))
        return 0;
    const double clipped = std::clamp(v, -1.0, 1.0);
    return clip_round_24bit(clipped * 8388608.0 * gain);
}

ConversionResult convert_stream(SNDFILE* in, const SF_INFO& info, SNDFILE* out, std::int16_t step,
                                double gain, const Progress& progress)
{
    ConversionResult result;
    if (const std::string line = short_data_chunk(in); !line.empty()) {
        result.status = ConversionResult::Status::truncated;
        result.detail = "the data chunk is cut short (libsndfile: \"" + line + "\")";
        return result;
    }
    const int channels = info.channels;
    const std::int32_t chunk_frames = std::max<std::int32_t>(1, kChunkSamples / channels);
    const std::size_t chunk_samples =
        static_cast<std::size_t>(chunk_frames) * static_cast<std::size_t>(channels);
    const bool floating = reads_as_floating_point(info.format);

    Converters converters(channels, chunk_frames, step);
    std::vector<std::int32_t> raw_int(floating ? 0 : chunk_samples);
    std::vector<double> raw_float(floating ? chunk_samples : 0);

    std::thread worker([&converters] { converters.run(); });
    auto& chunks = converters.chunks();

    // libsndfile's reason when the last read gave frames but also reported
    // an error (it does so with that read only): the next read decides what
    // it was.  If the data ended there, the reason is kept for the end.
    std::string last_read_failed;
    std::string ended_in_error;

    // Reads and conditions the next chunk into c; false at the end or on
    // an error (then result says which).
    auto fill = [&](Chunk& c) {
        const sf_count_t n = floating ? sf_readf_double(in, raw_float.data(), chunk_frames)
                                      : sf_readf_int(in, raw_int.data(), chunk_frames);
        const bool failed = sf_error(in) != SF_ERR_NO_ERROR;
        if (n <= 0 && failed) {
            // The system or the decoder fails again: a read error.
            result.status = ConversionResult::Status::read_error;
            result.detail = sf_strerror(in);
            return false;
        }
        if (n <= 0) {
            // The decoder gave up on the last frame and the data ended there
            // (a FLAC file cut in the middle of a frame): judged below, with
            // the header's count.
            ended_in_error = last_read_failed;
            return false;
        }
        // More frames after a failed read: libsndfile read again where it
        // had failed, and nothing is missing.
        last_read_failed = failed ? sf_strerror(in) : "";
        const auto frames = static_cast<std::int32_t>(n); // at most chunk_frames
        for (int ch = 0; ch < channels; ++ch) {
            std::int16_t* plane = converters.in_plane(c, ch);
            if (floating) {
                const double* src = raw_float.data() + ch;
                for (std::int32_t i = 0; i < frames; ++i)
                    plane[i] =
                        asrc_driver::condition_sample(floating_to_24bit(src[i * channels], gain));
            } else if (gain == 1.0) {
                const std::int32_t* src = raw_int.data() + ch;
                for (std::int32_t i = 0; i < frames; ++i)
                    plane[i] = asrc_driver::condition_sample(src[i * channels] >> 8);
            } else {
                const std::int32_t* src = raw_int.data() + ch;
                for (std::int32_t i = 0; i < frames; ++i)
                    plane[i] =
                        asrc_driver::condition_sample(integer_to_24bit(src[i * channels], gain));
            }
        }
        c.frames = frames;
        result.frames_in += frames;
        return true;
    };

    // Writes a converted chunk; false when the write fell short.
    auto drain = [&](const Chunk& c) {
        const std::int32_t n = c.out_frames;
        if (sf_writef_short(out, c.interleaved.data(), n) != n) {
            result.status = ConversionResult::Status::write_error;
            result.detail = sf_strerror(out);
            return false;
        }
        result.frames_out += n;
        return true;
    };

    // Chunk i lives in chunks[i % kChunks]: the next ones are read while the
    // worker converts the ones before.
    std::uint64_t submitted = 0;
    std::uint64_t collected = 0;
    bool reading = true;
    bool writing = true;
    while (reading || collected < submitted) {
        if (reading && submitted - collected < kChunks) {
            Chunk& c = chunks[submitted % kChunks];
            if (fill(c)) {
                c.ready.release();
                ++submitted;
            } else {
                reading = false;
            }
            continue;
        }
        Chunk& c = chunks[collected % kChunks];
        c.done.acquire();
        ++collected;
        if (writing && !drain(c)) {
            writing = false;
            reading = false; // what is in flight is still collected
        }
        if (progress)
            progress(result.frames_in);
    }
    Chunk& stop = chunks[submitted % kChunks];
    stop.frames = -1;
    stop.ready.release();
    worker.join();
    result.wrapped = converters.wrapped();

    // libsndfile stops at the end of the data that is there; a count in the
    // header that was not reached means the file was cut short.  Where the
    // header gives no count (a FLAC stream's total of 0), a last frame that
    // could not be decoded says so.
    if (result.status == ConversionResult::Status::done && info.frames != SF_COUNT_MAX &&
        result.frames_in < info.frames) {
        result.status = ConversionResult::Status::truncated;
        result.detail = "the header promises " + std::to_string(info.frames) + " frames, only " +
                        std::to_string(result.frames_in) + " could be read";
    } else if (result.status == ConversionResult::Status::done && !ended_in_error.empty()) {
        result.status = ConversionResult::Status::truncated;
        result.detail = "the data ends after " + std::to_string(result.frames_in) +
                        " frames in a frame that cannot be decoded (libsndfile: " +
                        ended_in_error + ")";
    }
    return result;
}

} // namespace asrc_audio
