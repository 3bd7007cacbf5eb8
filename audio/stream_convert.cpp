// stream_convert.cpp - the streaming conversion of a sound file.
#include "stream_convert.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <semaphore>
#include <sstream>
#include <vector>

#include "asrc.h"
#include "asrc_poly.h"
#include "chunk_pipeline.h"
#include "conditioning.h"
#include "stretched_rows.h"
#include "wrap_count.h"

namespace asrc_audio {

namespace {

// The 24-bit full scale: numbers at 24-bit scale lie in -2^23..2^23-1.
constexpr std::int32_t kMin24 = -8388608;
constexpr std::int32_t kMax24 = 8388607;

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
    // One pair per worker: with two, each converts half of the channels.
    std::array<std::binary_semaphore, 2> ready{std::binary_semaphore{0}, std::binary_semaphore{0}};
    std::array<std::binary_semaphore, 2> done{std::binary_semaphore{0}, std::binary_semaphore{0}};
};

class Converters {
public:
    Converters(int channels, std::int32_t chunk_frames, const ConverterChoice& choice)
        : channels_(channels), in_stride_(chunk_frames + kPlanePadding),
          // A chunk of n inputs gives at most 2n outputs from the rule, and
          // at most 2n + 128 from the polyphase converter (any state).
          out_frames_(2 * chunk_frames + ASRC_POLY_DELAY_MAX),
          out_stride_(out_frames_ + kPlanePadding), poly_(choice.poly),
          states_(static_cast<std::size_t>(channels)),
          poly_states_(choice.poly ? static_cast<std::size_t>(channels) : 0), step_(choice.step)
    {
        for (Chunk& c : chunks_) {
            c.in.resize(static_cast<std::size_t>(in_stride_) * static_cast<std::size_t>(channels));
            c.out.resize(static_cast<std::size_t>(out_stride_) *
                         static_cast<std::size_t>(channels));
            c.interleaved.resize(static_cast<std::size_t>(out_frames_) *
                                 static_cast<std::size_t>(channels));
        }
        plan_.plan(0, choice.step, chunk_frames); // sizes the event list once
        for (asrc_state& s : states_)
            asrc_state_init(&s);
        for (asrc_poly_state& s : poly_states_)
            asrc_poly_init(&s, choice.ratio); // checked by the caller
        // Downsampling by more than 1%: the stretched filter's rows, shared
        // by all channels, run it on the vector units (same results).
        if (choice.poly)
            asrc_cli::stretched_rows(choice.ratio, rows_);
    }

    std::int16_t* in_plane(Chunk& c, int channel) const
    {
        return c.in.data() + offset(in_stride_, channel);
    }

    std::array<Chunk, kChunks>& chunks() { return chunks_; }
    std::int64_t wrapped() const { return wrapped_; }
    std::int64_t clipped() const
    {
        std::int64_t n = 0;
        for (const asrc_poly_state& s : poly_states_)
            n += s.clipped;
        return n;
    }

    // The polyphase converter costs about five times the reading and
    // writing of a file; with two channels or more it runs on two workers,
    // each with half of the channels, and the interleaving of their outputs
    // moves to the calling thread.  The rule runs on one.
    int workers() const { return poly_ && channels_ >= 2 ? 2 : 1; }

    // Worker w: converts its channels of the chunks in turn until one says
    // stop.
    void run(int w)
    {
        const int first = w * channels_ / workers();
        const int end = (w + 1) * channels_ / workers();
        for (std::size_t i = 0;; i = (i + 1) % kChunks) {
            Chunk& c = chunks_[i];
            c.ready[static_cast<std::size_t>(w)].acquire();
            if (c.frames < 0)
                return;
            if (poly_) {
                convert_poly(c, first, end);
                if (workers() == 1)
                    interleave(c);
            } else {
                convert(c);
            }
            c.done[static_cast<std::size_t>(w)].release();
        }
    }

    // Hands chunk c to the workers, and waits until they are done with it
    // (then its frames are interleaved).
    void submit(Chunk& c)
    {
        for (int w = 0; w < workers(); ++w)
            c.ready[static_cast<std::size_t>(w)].release();
    }
    void collect(Chunk& c)
    {
        for (int w = 0; w < workers(); ++w)
            c.done[static_cast<std::size_t>(w)].acquire();
        if (workers() > 1 && c.frames >= 0)
            interleave(c);
    }

private:
    static std::size_t offset(std::int32_t stride, int channel)
    {
        return static_cast<std::size_t>(stride) * static_cast<std::size_t>(channel);
    }

    // Every channel has the same ratio and has seen as many inputs, so they
    // give as many outputs.
    void convert_poly(Chunk& c, int first, int end)
    {
        for (int ch = first; ch < end; ++ch) {
            std::int32_t nin = c.frames;
            std::int32_t nout = 0;
            asrc_poly_process_block_rows(&poly_states_[static_cast<std::size_t>(ch)], rows_.get(),
                                         c.out.data() + offset(out_stride_, ch),
                                         c.in.data() + offset(in_stride_, ch), &nin, &nout);
            if (first == 0)
                c.out_frames = nout;
        }
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
    std::int32_t out_frames_;
    std::int32_t out_stride_;
    bool poly_;
    std::vector<asrc_state> states_;
    std::vector<asrc_poly_state> poly_states_;
    std::unique_ptr<asrc_poly_rows> rows_;
    std::int16_t step_;
    EventPlan plan_;
    std::array<Chunk, kChunks> chunks_;
    std::int64_t wrapped_ = 0;
};

// A sample read by sf_readf_int (32-bit scale) at 24-bit scale, times
// `gain`: the gain is applied to the 24-bit value in double precision,
// rounded to nearest (ties to even) and clipped to -2^23..2^23-1.  With a
// gain of exactly 1 the value is v >> 8 (arithmetic shift).
std::int32_t integer_to_24bit(std::int32_t v, double gain)
{
    const std::int32_t v24 = v >> 8;
    return gain == 1.0 ? v24 : clip_round_24bit(static_cast<double>(v24) * gain);
}

// A sample read by sf_readf_double at 24-bit scale, times `gain`: clipped to
// [-1, 1] (NaN counts as 0), times 2^23 and the gain, rounded to nearest
// (ties to even) and clipped to -2^23..2^23-1, so that 1.0 becomes 2^23-1
// and every float that holds a 24-bit value n / 2^23 gives back n.
std::int32_t floating_to_24bit(double v, double gain)
{
    if (std::isnan(v))
        return 0;
    const double clipped = std::clamp(v, -1.0, 1.0);
    return clip_round_24bit(clipped * 8388608.0 * gain);
}

} // namespace

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

bool frame_count_is_exact(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        return false;
    default:
        return (format & SF_FORMAT_TYPEMASK) != SF_FORMAT_MPEG;
    }
}

void judge_end(ConversionResult& result, const SF_INFO& info, const std::string& ended_in_error)
{
    // libsndfile stops at the end of the data that is there; a count in the
    // header that was not reached means the file was cut short.  Where the
    // header gives no count (a FLAC stream's total of 0), a last frame that
    // could not be decoded says so.
    if (result.status == ConversionResult::Status::done && info.frames != SF_COUNT_MAX &&
        frame_count_is_exact(info.format) &&
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
}

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

namespace {

// Reads the input a chunk at a time and conditions it into the chunk's
// planes; counts the frames read into the result, and marks it on a read
// error.
class ChunkReader {
public:
    ChunkReader(SNDFILE* in, const SF_INFO& info, std::int32_t chunk_frames, double gain,
                ConversionResult& result)
        : in_(in), channels_(info.channels), chunk_frames_(chunk_frames), gain_(gain),
          floating_(reads_as_floating_point(info.format)), result_(result),
          raw_int_(floating_ ? 0 : chunk_size()), raw_float_(floating_ ? chunk_size() : 0)
    {
    }

    // Reads and conditions the next chunk into c; false at the end or on
    // an error (then the result says which).
    bool fill(Chunk& c, const Converters& converters)
    {
        const sf_count_t n = floating_ ? sf_readf_double(in_, raw_float_.data(), chunk_frames_)
                                       : sf_readf_int(in_, raw_int_.data(), chunk_frames_);
        const bool failed = sf_error(in_) != SF_ERR_NO_ERROR;
        if (n <= 0 && failed) {
            // The system or the decoder fails again: a read error.
            result_.status = ConversionResult::Status::read_error;
            result_.detail = sf_strerror(in_);
            return false;
        }
        if (n <= 0) {
            // The decoder gave up on the last frame and the data ended there
            // (a FLAC file cut in the middle of a frame): judged at the end,
            // with the header's count.
            ended_in_error_ = last_read_failed_;
            return false;
        }
        // More frames after a failed read: libsndfile read again where it
        // had failed, and nothing is missing.
        last_read_failed_ = failed ? sf_strerror(in_) : "";
        const auto frames = static_cast<std::int32_t>(n); // at most chunk_frames
        for (int ch = 0; ch < channels_; ++ch)
            condition(converters.in_plane(c, ch), ch, frames);
        c.frames = frames;
        result_.frames_in += frames;
        return true;
    }

    // libsndfile's reason when the data ended in a frame it could not
    // decode, "" if not.
    const std::string& ended_in_error() const { return ended_in_error_; }

private:
    std::size_t chunk_size() const
    {
        return static_cast<std::size_t>(chunk_frames_) * static_cast<std::size_t>(channels_);
    }

    // Channel ch of the frames just read, at 24-bit scale, conditioned.
    void condition(std::int16_t* plane, int ch, std::int32_t frames) const
    {
        if (floating_) {
            const double* src = raw_float_.data() + ch;
            for (std::int32_t i = 0; i < frames; ++i)
                plane[i] = asrc_cli::condition_sample(floating_to_24bit(src[i * channels_], gain_));
        } else if (gain_ == 1.0) {
            const std::int32_t* src = raw_int_.data() + ch;
            for (std::int32_t i = 0; i < frames; ++i)
                plane[i] = asrc_cli::condition_sample(src[i * channels_] >> 8);
        } else {
            const std::int32_t* src = raw_int_.data() + ch;
            for (std::int32_t i = 0; i < frames; ++i)
                plane[i] = asrc_cli::condition_sample(integer_to_24bit(src[i * channels_], gain_));
        }
    }

    SNDFILE* in_;
    int channels_;
    std::int32_t chunk_frames_;
    double gain_;
    bool floating_;
    ConversionResult& result_;
    std::vector<std::int32_t> raw_int_;
    std::vector<double> raw_float_;
    // libsndfile's reason when the last read gave frames but also reported
    // an error (it does so with that read only): the next read decides what
    // it was.  If the data ended there, the reason is kept for the end.
    std::string last_read_failed_;
    std::string ended_in_error_;
};

// Writes the converted chunks' frames; counts them into the result, and
// marks it when a write falls short.
class ChunkWriter {
public:
    ChunkWriter(SNDFILE* out, ConversionResult& result) : out_(out), result_(result) {}

    // The polyphase converter's outputs end with the input's time: the
    // silence that flushes its filter gives the last ones and then the tail
    // of the filter's response, which is cut off.  Known once the input has
    // been read (until then no output can lie beyond it).
    void end_at_input_time(std::uint32_t ratio)
    {
        last_frame_ = static_cast<std::int64_t>(
            ((static_cast<unsigned __int128>(result_.frames_in) << 30) + ratio - 1) / ratio);
    }

    // Writes a converted chunk; false when the write fell short.
    bool drain(const Chunk& c)
    {
        const auto n = static_cast<std::int32_t>(
            std::min<std::int64_t>(c.out_frames, last_frame_ - result_.frames_out));
        if (sf_writef_short(out_, c.interleaved.data(), n) != n) {
            result_.status = ConversionResult::Status::write_error;
            result_.detail = sf_strerror(out_);
            return false;
        }
        result_.frames_out += n;
        return true;
    }

private:
    SNDFILE* out_;
    ConversionResult& result_;
    std::int64_t last_frame_ = INT64_MAX;
};

// The polyphase converter's delay in silence, on every channel, into c.
void fill_with_flush(Chunk& c, const Converters& converters, int channels, std::uint32_t ratio)
{
    const std::int32_t delay = asrc_poly_delay(ratio);
    for (int ch = 0; ch < channels; ++ch)
        std::fill_n(converters.in_plane(c, ch), delay, std::int16_t{0});
    c.frames = delay;
}

} // namespace

ConversionResult convert_stream(SNDFILE* in, const SF_INFO& info, SNDFILE* out,
                                const ConverterChoice& choice, double gain,
                                const Progress& progress)
{
    ConversionResult result;
    if (const std::string line = short_data_chunk(in); !line.empty()) {
        result.status = ConversionResult::Status::truncated;
        result.detail = "the data chunk is cut short (libsndfile: \"" + line + "\")";
        return result;
    }
    const int channels = info.channels;
    const std::int32_t chunk_frames = std::max<std::int32_t>(1, kChunkSamples / channels);
    Converters converters(channels, chunk_frames, choice);
    ChunkReader reader(in, info, chunk_frames, gain, result);
    ChunkWriter writer(out, result);
    // The polyphase converter's delay in silence follows the last input
    // (unless reading failed); the rule needs no flush.
    run_chunk_pipeline(
        converters, [&](Chunk& c) { return reader.fill(c, converters); },
        [&](Chunk& c) {
            if (!choice.poly || result.status != ConversionResult::Status::done)
                return false;
            fill_with_flush(c, converters, channels, choice.ratio);
            writer.end_at_input_time(choice.ratio);
            return true;
        },
        [&](const Chunk& c) { return writer.drain(c); },
        [&] {
            if (progress)
                progress(result.frames_in);
        });
    result.wrapped = converters.wrapped();
    result.clipped = converters.clipped();
    judge_end(result, info, reader.ended_in_error());
    return result;
}

} // namespace asrc_audio
