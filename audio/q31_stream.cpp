// q31_stream.cpp - the streaming conversion of a sound file in Q1.31.
#include "q31_stream.h"

#include <algorithm>
#include <array>
#include <memory>
#include <semaphore>
#include <vector>

#include "asrc_q31.h"
#include "chunk_pipeline.h"

namespace asrc_audio {

namespace {

// Samples per chunk, all channels together: the hand-over to the workers
// is lost in the work, and at the highest upsampling ratio (25) a chunk's
// output still takes only a few MiB.
constexpr std::int32_t kChunkSamples = 65536;

// Chunks in flight: the reader may run this many ahead of the writer.
constexpr std::size_t kChunks = 4;

// Reads the input at its own depth, in Q1.31 or double, and tells a read
// that failed from one that ended.
class SampleSource {
public:
    SampleSource(SNDFILE* in, const SF_INFO& info, double gain)
        : in_(in), channels_(info.channels), floating_(reads_as_floating_point(info.format)),
          gain_(gain)
    {
    }

    // Up to `frames` frames into `dst`; 0 at the end or on an error (see
    // failed()).
    std::int32_t read_q31(std::int32_t* dst, std::int32_t frames)
    {
        const auto samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
        std::int32_t n = 0;
        if (floating_) {
            raw_.resize(samples);
            n = settle(sf_readf_double(in_, raw_.data(), frames));
            const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(channels_);
            for (std::size_t i = 0; i < count; ++i)
                dst[i] = float_to_q31(raw_[i] * gain_, clipped_);
        } else {
            n = settle(sf_readf_int(in_, dst, frames));
            if (gain_ != 1.0) {
                const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(channels_);
                for (std::size_t i = 0; i < count; ++i)
                    dst[i] = scale_q31(dst[i], gain_, clipped_);
            }
        }
        return n;
    }

    // Up to `frames` frames as they are, in double precision, times the gain.
    std::int32_t read_double(double* dst, std::int32_t frames)
    {
        const std::int32_t n = settle(sf_readf_double(in_, dst, frames));
        if (gain_ != 1.0) {
            const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(channels_);
            for (std::size_t i = 0; i < count; ++i)
                dst[i] *= gain_;
        }
        return n;
    }

    bool failed() const { return !read_error_.empty(); }
    const std::string& read_error() const { return read_error_; }
    // libsndfile's reason when the data ended right after a read that
    // failed (a frame that cannot be decoded), else "".
    const std::string& ended_in_error() const { return ended_in_error_; }
    std::int64_t clipped() const { return clipped_; }

private:
    // libsndfile reports an error with the read that gave the last good
    // frames: the next read decides whether it was the end of the data or
    // a failure that it read past.
    std::int32_t settle(sf_count_t n)
    {
        const bool failed = sf_error(in_) != SF_ERR_NO_ERROR;
        if (n <= 0 && failed) {
            read_error_ = sf_strerror(in_);
            return 0;
        }
        if (n <= 0) {
            ended_in_error_ = last_read_failed_;
            return 0;
        }
        last_read_failed_ = failed ? sf_strerror(in_) : "";
        return static_cast<std::int32_t>(n); // at most the frames asked for
    }

    SNDFILE* in_;
    int channels_;
    bool floating_;
    double gain_;
    std::vector<double> raw_;
    std::string last_read_failed_;
    std::string ended_in_error_;
    std::string read_error_;
    std::int64_t clipped_ = 0;
};

// One chunk in flight, interleaved in and out.
struct Chunk {
    std::vector<std::int32_t> in;
    std::vector<std::int32_t> out;
    std::int32_t frames = 0; // -1: the workers stop
    std::int32_t out_frames = 0;
    // Released once per worker each way: a worker takes each chunk once,
    // in turn, and cannot lap round to take a slower worker's hand-over
    // because run_chunk_pipeline keeps one chunk of the ring back.
    std::counting_semaphore<64> ready{0};
    std::counting_semaphore<64> done{0};
};

// Up to 8 neighbouring channels and their converter.
struct Group {
    int first = 0;
    int count = 0;
    asrc_q31_state state{};
    std::vector<std::int32_t> memory;
    std::vector<std::int32_t> rows; // the stretched filter's own rows, when downsampling
    std::vector<std::int32_t> in; // the group's frames, when it is not the whole file
    std::vector<std::int32_t> out;
};

class Converters {
public:
    Converters(int channels, std::int32_t chunk_frames, std::uint64_t ratio, int workers)
        : channels_(channels)
    {
        const auto max_out = static_cast<std::size_t>(asrc_q31_max_output(chunk_frames, ratio));
        const int groups = std::min(channels, std::max(workers, (channels + ASRC_Q31_MAX_CHANNELS - 1) /
                                                                    ASRC_Q31_MAX_CHANNELS));
        workers_ = std::min(workers, groups);
        groups_.resize(static_cast<std::size_t>(groups));
        for (int g = 0; g < groups; ++g) {
            Group& grp = groups_[static_cast<std::size_t>(g)];
            grp.first = g * channels / groups;
            grp.count = (g + 1) * channels / groups - grp.first;
            grp.memory.resize(
                static_cast<std::size_t>(asrc_q31_memory_words(grp.count, ratio)));
            // The ratio was checked by the caller; the memory is what it needs.
            asrc_q31_init(&grp.state, grp.memory.data(), static_cast<std::int32_t>(grp.memory.size()),
                          grp.count, ratio, ratio);
            // Downsampling on rows made for this ratio: 3x to 5x faster than
            // forming each tap's coefficient, for memory a file converter
            // can spare (224 KiB at 48 -> 44.1 kHz).
            grp.rows.resize(static_cast<std::size_t>(asrc_q31_table_words(ratio)));
            if (!grp.rows.empty())
                asrc_q31_attach_table(&grp.state, grp.rows.data(),
                                      static_cast<std::int32_t>(grp.rows.size()));
            if (groups > 1) {
                grp.in.resize(static_cast<std::size_t>(chunk_frames) * static_cast<std::size_t>(grp.count));
                grp.out.resize(max_out * static_cast<std::size_t>(grp.count));
            }
        }
        for (Chunk& c : chunks_) {
            c.in.resize(static_cast<std::size_t>(chunk_frames) * static_cast<std::size_t>(channels));
            c.out.resize(max_out * static_cast<std::size_t>(channels));
        }
    }

    std::array<Chunk, kChunks>& chunks() { return chunks_; }
    int workers() const { return workers_; }
    // The states' delay (all alike): with rows it can be a frame or so more
    // than asrc_q31_delay(ratio).
    std::int32_t delay() const { return groups_.front().state.delay; }
    std::int64_t clipped() const
    {
        std::int64_t n = 0;
        for (const Group& g : groups_)
            n += g.state.clipped;
        return n;
    }

    void run(int w)
    {
        for (std::size_t i = 0;; i = (i + 1) % kChunks) {
            Chunk& c = chunks_[i];
            c.ready.acquire();
            if (c.frames < 0)
                return;
            for (std::size_t g = static_cast<std::size_t>(w); g < groups_.size();
                 g += static_cast<std::size_t>(workers_))
                convert(groups_[g], c, g == 0);
            c.done.release();
        }
    }

    void submit(Chunk& c) { c.ready.release(workers_); }
    void collect(Chunk& c)
    {
        for (int w = 0; w < workers_; ++w)
            c.done.acquire();
    }

private:
    // Every group has the same ratio and has seen as many inputs, so they
    // give as many outputs: the first one says how many.
    void convert(Group& g, Chunk& c, bool first)
    {
        std::int32_t nin = c.frames;
        std::int32_t nout = 0;
        if (groups_.size() == 1) {
            asrc_q31_process_block(&g.state, c.out.data(), c.in.data(), &nin, &nout);
        } else {
            const auto n = static_cast<std::size_t>(c.frames);
            const auto k = static_cast<std::size_t>(g.count);
            const auto stride = static_cast<std::size_t>(channels_);
            const auto first_ch = static_cast<std::size_t>(g.first);
            for (std::size_t i = 0; i < n; ++i)
                std::copy_n(c.in.data() + i * stride + first_ch, k, g.in.data() + i * k);
            asrc_q31_process_block(&g.state, g.out.data(), g.in.data(), &nin, &nout);
            for (std::size_t i = 0; i < static_cast<std::size_t>(nout); ++i)
                std::copy_n(g.out.data() + i * k, k, c.out.data() + i * stride + first_ch);
        }
        if (first)
            c.out_frames = nout;
    }

    int channels_;
    int workers_ = 1;
    std::vector<Group> groups_;
    std::array<Chunk, kChunks> chunks_;
};

void fail_write(ConversionResult& r, SNDFILE* out)
{
    r.status = ConversionResult::Status::write_error;
    r.detail = sf_strerror(out);
}

void finish(ConversionResult& r, const SampleSource& source, const SF_INFO& info)
{
    if (r.status == ConversionResult::Status::done && source.failed()) {
        r.status = ConversionResult::Status::read_error;
        r.detail = source.read_error();
    }
    judge_end(r, info, source.ended_in_error());
}

// The same rate into a float file: the samples as they are, in double.
ConversionResult copy_doubles(SNDFILE* in, const SF_INFO& info, SNDFILE* out, const Q31Settings& s,
                              const Progress& progress)
{
    ConversionResult r;
    SampleSource source(in, info, s.gain);
    const std::int32_t frames = std::max<std::int32_t>(1, kChunkSamples / info.channels);
    std::vector<double> buffer(static_cast<std::size_t>(frames) * static_cast<std::size_t>(info.channels));
    while (const std::int32_t n = source.read_double(buffer.data(), frames)) {
        if (sf_writef_double(out, buffer.data(), n) != n) {
            fail_write(r, out);
            return r;
        }
        r.frames_in += n;
        r.frames_out += n;
        if (progress)
            progress(r.frames_in);
    }
    finish(r, source, info);
    return r;
}

} // namespace

Rounding rounding_for(int in_format, const Q31Settings& s)
{
    const int bits = integer_bits(s.depth);
    if (bits == 0 || bits == 32) {
        const bool untouched = s.ratio == 0 && s.gain == 1.0;
        return untouched && bits == 32 && !reads_as_floating_point(in_format) ? Rounding::exact
                                                                              : Rounding::none;
    }
    const int in_bits = integer_bits(depth_of_format(in_format));
    if (s.ratio == 0 && s.gain == 1.0 && !reads_as_floating_point(in_format) && in_bits != 0 &&
        in_bits <= bits)
        return Rounding::exact;
    return s.dither ? Rounding::dither : Rounding::rounded;
}

std::int64_t max_frames_q31(const Q31Settings& s, const SF_INFO& info)
{
    if (info.frames < 0 || info.frames == SF_COUNT_MAX || !frame_count_is_exact(info.format))
        return -1;
    const auto n = static_cast<unsigned __int128>(info.frames);
    if (s.ratio == 0)
        return info.frames;
    if (s.in_rate > 0 && s.out_rate > 0)
        return static_cast<std::int64_t>(
            (n * static_cast<unsigned __int128>(s.out_rate) + static_cast<unsigned __int128>(s.in_rate) - 1) /
            static_cast<unsigned __int128>(s.in_rate));
    return static_cast<std::int64_t>(((n << 40) + s.ratio - 1) / s.ratio);
}

ConversionResult convert_q31(SNDFILE* in, const SF_INFO& info, SNDFILE* out, const Q31Settings& s,
                             const Progress& progress)
{
    ConversionResult result;
    if (const std::string line = short_data_chunk(in); !line.empty()) {
        result.status = ConversionResult::Status::truncated;
        result.detail = "the data chunk is cut short (libsndfile: \"" + line + "\")";
        return result;
    }
    if (s.ratio == 0 && integer_bits(s.depth) == 0)
        return copy_doubles(in, info, out, s, progress);

    const int channels = info.channels;
    // More than the longest delay, which flushes the converter in one chunk.
    const std::int32_t chunk_frames =
        std::max<std::int32_t>(ASRC_Q31_DELAY_MAX + 1, kChunkSamples / channels);
    const Rounding rounding = rounding_for(info.format, s);
    const int bits = integer_bits(s.depth);
    Quantizer quantizer(rounding == Rounding::dither || rounding == Rounding::rounded ? bits : 32,
                        rounding == Rounding::dither);
    SampleSource source(in, info, s.gain);
    std::int64_t saturated = 0;

    // The output ends with the input's time: ceil(frames_in / ratio) frames.
    // Known once the input has been read.
    std::int64_t last_frame = INT64_MAX;
    auto write = [&](std::int32_t* frames, std::int32_t count) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, last_frame - result.frames_out));
        saturated += quantizer.apply(frames, static_cast<std::int64_t>(n) * channels);
        if (sf_writef_int(out, frames, n) != n) {
            fail_write(result, out);
            return false;
        }
        result.frames_out += n;
        return true;
    };

    if (s.ratio == 0) {
        // Nothing to convert: the samples, rounded to the output's depth.
        std::vector<std::int32_t> buffer(static_cast<std::size_t>(chunk_frames) * static_cast<std::size_t>(channels));
        while (const std::int32_t n = source.read_q31(buffer.data(), chunk_frames)) {
            result.frames_in += n;
            if (!write(buffer.data(), n))
                return result;
            if (progress)
                progress(result.frames_in);
        }
        result.clipped = source.clipped() + saturated;
        finish(result, source, info);
        return result;
    }

    Converters converters(channels, chunk_frames, s.ratio, std::max(1, s.workers));
    run_chunk_pipeline(
        converters,
        [&](Chunk& c) {
            const std::int32_t n = source.read_q31(c.in.data(), chunk_frames);
            if (n <= 0)
                return false;
            c.frames = n;
            result.frames_in += n;
            return true;
        },
        [&](Chunk& c) {
            if (source.failed())
                return false;
            // The converter's delay in silence, and one frame more, flushes
            // the last outputs (any whose time lies before frames_in + 1:
            // the rates' exact length may ask for one that the rounded
            // ratio puts just past the input).
            const std::int32_t flush = converters.delay() + 1;
            std::fill_n(c.in.begin(),
                        static_cast<std::size_t>(flush) * static_cast<std::size_t>(channels), 0);
            c.frames = flush;
            const auto n = static_cast<unsigned __int128>(result.frames_in);
            last_frame = static_cast<std::int64_t>(
                s.in_rate > 0 && s.out_rate > 0
                    ? (n * static_cast<unsigned __int128>(s.out_rate) +
                       static_cast<unsigned __int128>(s.in_rate) - 1) /
                          static_cast<unsigned __int128>(s.in_rate)
                    : ((n << 40) + s.ratio - 1) / s.ratio);
            return true;
        },
        [&](Chunk& c) { return write(c.out.data(), c.out_frames); },
        [&] {
            if (progress)
                progress(result.frames_in);
        });
    result.clipped = source.clipped() + converters.clipped() + saturated;
    finish(result, source, info);
    return result;
}

} // namespace asrc_audio
