// asrc-audio: the wrap counter against the reference rule, and the real
// program on sound files made here with libsndfile, against the real asrc
// and the reference rule.  ASRC_AUDIO_EXE and ASRC_EXE name the programs.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "asrc.h"
#include "asrc_poly.h"
#include "asrc_q31.h"
#include "conditioning.h"
#include "output_limits.h"
#include "q31_stream.h"
#include "reference_converter.h"
#include "param_name.h"
#include "scratch_dir.h"
#include "sine_fit.h"
#include "truncation.h"
#include "wrap_count.h"

namespace fs = std::filesystem;

namespace {

// ---- the wrap counter on its own ----------------------------------------

struct CounterCase {
    std::int16_t step;
    int amplitude; // of the random 16-bit input
    bool wraps;    // whether the reference wraps at all: not where every output is an
                   // input or the mean of two, nor where all is dropped
};

class WrapCounter : public ::testing::TestWithParam<CounterCase> {};

// Random chunk sizes through the converter's block entry, each chunk
// planned and counted from the state before it, as the program does: the
// plan must agree with the converter, the count with the reference rule.
TEST_P(WrapCounter, AgreesWithTheConverterAndTheReferenceCount)
{
    const CounterCase c = GetParam();
    std::mt19937 rng(static_cast<unsigned>(c.step) * 7919u + static_cast<unsigned>(c.amplitude));
    std::uniform_int_distribution<int> value(-c.amplitude, c.amplitude);
    std::uniform_int_distribution<int> size(0, 300);
    std::vector<std::int16_t> all;
    asrc_state state{};
    asrc_test::ReferenceConverter ref;
    std::vector<std::int16_t> expected_out;
    std::int64_t counted = 0;
    asrc_audio::EventPlan plan;
    for (int chunk = 0; chunk < 200; ++chunk) {
        std::vector<std::int16_t> in(static_cast<std::size_t>(size(rng)));
        for (auto& s : in)
            s = static_cast<std::int16_t>(value(rng));
        const auto n = static_cast<std::int32_t>(in.size());
        std::vector<std::int16_t> out(2 * in.size() + 2);
        const asrc_state before = state;
        plan.plan(state.phase, c.step, n);
        std::int32_t nin = n, nout = 0;
        asrc_state_process_block(&state, out.data(), in.data(), &nin, &nout, c.step);
        ASSERT_EQ(plan.outputs(), nout) << "chunk " << chunk;
        ASSERT_EQ(plan.phase_after(), state.phase) << "chunk " << chunk;
        counted += asrc_audio::count_wrapped(plan, before, in.data(), out.data(), n);
        for (std::int16_t s : in)
            ref.push(s, c.step, expected_out);
    }
    EXPECT_EQ(ref.wrapped > 0, c.wraps) << ref.wrapped;
    EXPECT_EQ(counted, ref.wrapped);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WrapCounter,
    ::testing::Values(CounterCase{0, 32767, false}, CounterCase{163, 32767, true},
                      CounterCase{-163, 32767, true}, CounterCase{3000, 32767, true},
                      CounterCase{-2341, 32767, true}, CounterCase{8192, 32440, true},
                      CounterCase{-8192, 32440, false}, CounterCase{16384, 32767, true},
                      CounterCase{16385, 32767, false}, CounterCase{-16384, 32767, false},
                      CounterCase{-16385, 32767, false}, CounterCase{32767, 32767, false},
                      CounterCase{-32768, 32767, false}, CounterCase{1, 32767, true},
                      CounterCase{-1, 32767, true}, CounterCase{163, 8000, false}),
    [](const auto& info) {
        return "step_" + asrc_test::param_name(info.param.step) + "_amplitude_" +
               std::to_string(info.param.amplitude);
    });

// ---- the output's container: its limit, decided before writing ------------

struct LimitCase {
    const char* name;
    asrc_audio::ConverterChoice choice;
    std::int64_t frames_in;
    int format; // asked for
    int channels;
    int written;       // the format to write, 0: refused
    std::int64_t most; // max_frames_out
};

class ContainerLimit : public ::testing::TestWithParam<LimitCase> {};

// The largest output is the converter's exact bound, and a WAV whose data
// would pass its 32-bit sizes (less room for its header) becomes RF64, an
// AIFF is refused, a FLAC or an output of unknown length stays as asked.
TEST_P(ContainerLimit, PicksRf64OrRefusesPastFourGiB)
{
    const LimitCase c = GetParam();
    const std::int64_t most = asrc_audio::max_frames_out(c.choice, c.frames_in);
    EXPECT_EQ(most, c.most);
    const asrc_audio::ContainerFit fit = asrc_audio::fit_container(c.format, c.channels, most);
    EXPECT_EQ(fit.refusal.empty() ? fit.format : 0, c.written) << fit.refusal;
    EXPECT_EQ(asrc_audio::fits(fit.format, c.channels, most), c.written != 0);
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kRf64_16 = SF_FORMAT_RF64 | SF_FORMAT_PCM_16;
constexpr int kAiff16 = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
// The most 16-bit mono frames a WAV holds: (2^32 - 1 - 4096) / 2.
constexpr std::int64_t kMaxWavFrames = 2147481599;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, ContainerLimit, ::testing::ValuesIn(std::vector<LimitCase>{
    // The file: 2,178,217,822 frames at offset 0.01 (step 163).
    {"rule_huge_wav", {false, 163, 0}, 2178217822, kWav16, 1, kRf64_16, 2178217822},
    {"rule_huge_aiff", {false, 163, 0}, 2178217822, kAiff16, 1, 0, 2178217822},
    {"rule_huge_flac", {false, 163, 0}, 2178217822, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1,
     SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2178217822},
    {"rule_wav_at_the_limit", {false, 0, 0}, kMaxWavFrames, kWav16, 1, kWav16, kMaxWavFrames},
    {"rule_wav_one_past", {false, 0, 0}, kMaxWavFrames + 1, kWav16, 1, kRf64_16,
     kMaxWavFrames + 1},
    {"rule_24_bit_stereo", {false, 0, 0}, 715827200, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2,
     SF_FORMAT_RF64 | SF_FORMAT_PCM_24, 715827200},
    // Inserts: 101 inputs apart at step -163, the first on the first input.
    {"rule_inserts_within", {false, -163, 0}, 2126219406, kWav16, 1, kWav16, 2147271084},
    {"rule_inserts_past", {false, -163, 0}, 2126500000, kWav16, 1, kRf64_16, 2147554456},
    {"rule_every_input_doubled", {false, -32768, 0}, 1073740799, kWav16, 1, kWav16,
     kMaxWavFrames - 1},
    // The polyphase converter: exactly ceil(frames * 2^30 / ratio).
    {"poly_twice", {true, 0, ASRC_POLY_RATIO_ONE / 2}, 1073740799, kWav16, 1, kWav16,
     kMaxWavFrames - 1},
    {"poly_twice_past", {true, 0, ASRC_POLY_RATIO_ONE / 2}, 1073740800, kAiff16, 1, 0, 2147481600},
    {"poly_44k1_to_48k", {true, 0, 986500301}, 3000000000, kWav16, 1, kRf64_16, 3265306122},
    // Of no stated length: decided from what was written.
    {"unknown_length", {false, 163, 0}, SF_COUNT_MAX, kAiff16, 2, kAiff16, -1},
}), [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The 24-bit route's bound is its exact length: from the rates with --to,
// from the ratio with an offset, the input's with nothing to convert, and
// unknown (-1) where the input's count is unknown or an estimate (MP3).
TEST(ContainerLimit, TheQ31RouteBoundIsItsLength)
{
    struct Row {
        std::uint64_t ratio;
        std::int64_t in_rate, out_rate, frames;
        int format;
        std::int64_t most;
    };
    const int wav = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    const int mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    for (const Row& r : std::vector<Row>{
             {asrc_q31_ratio(44100, 48000), 44100, 48000, 3000000000, wav, 3265306123},
             {asrc_q31_ratio(44100, 48000), 44100, 48000, 441000, wav, 480000},
             {ASRC_Q31_RATIO_ONE * 2, 0, 0, 1000001, wav, 500001},
             {0, 0, 0, 1234, wav, 1234},
             {asrc_q31_ratio(44100, 48000), 44100, 48000, 441000, mp3, -1},
             {asrc_q31_ratio(44100, 48000), 44100, 48000, SF_COUNT_MAX, wav, -1},
         }) {
        asrc_audio::Q31Settings s;
        s.ratio = r.ratio;
        s.in_rate = r.in_rate;
        s.out_rate = r.out_rate;
        SF_INFO info{};
        info.frames = r.frames;
        info.format = r.format;
        EXPECT_EQ(asrc_audio::max_frames_q31(s, info), r.most) << r.frames;
    }
}

// The bound holds the rule's own output count from any phase.
TEST(ContainerLimit, TheRulesBoundIsItsWorstCase)
{
    for (const std::int16_t step : {std::int16_t{-163}, std::int16_t{-8191}, std::int16_t{-32768},
                                    std::int16_t{5}, std::int16_t{0}}) {
        for (const std::int16_t phase : {std::int16_t{0}, std::int16_t{16383}, std::int16_t{8000}}) {
            asrc_state s{};
            s.phase = phase;
            std::vector<std::int16_t> in(5000, 100);
            std::vector<std::int16_t> out(2 * in.size());
            std::int32_t nin = 5000, nout = 0;
            asrc_state_process_block(&s, out.data(), in.data(), &nin, &nout, step);
            const asrc_audio::ConverterChoice rule{false, step, 0};
            EXPECT_LE(nout, asrc_audio::max_frames_out(rule, 5000)) << step << " " << phase;
            EXPECT_EQ(asrc_audio::max_frames_out(rule, 5000), asrc_max_output(5000, step));
        }
    }
}

// The FLAC CRCs against the catalogue's check values of "123456789"
// (CRC-8 0x07: 0xF4; CRC-16 0x8005 unreflected, from 0: 0xFEE8), and a
// message followed by its CRC-16 gives 0.
TEST(FlacCrc, MatchesTheCheckValues)
{
    const std::string text = "123456789";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    EXPECT_EQ(asrc_audio::flac_crc8(bytes, text.size()), 0xF4);
    EXPECT_EQ(asrc_audio::flac_crc16(bytes, text.size()), 0xFEE8);
    const std::string framed = text + "\xFE\xE8";
    EXPECT_EQ(asrc_audio::flac_crc16(reinterpret_cast<const unsigned char*>(framed.data()),
                                     framed.size()),
              0);
}

// ---- the program -------------------------------------------------------

std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    q += '\'';
    return q;
}

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Outcome {
    int status = -1;
    std::string out; // standard output
    std::string err; // standard error
};

struct Sound {
    SF_INFO info{};
    std::vector<short> samples; // interleaved
};

class Folder {
public:
    Folder() : scratch_("asrc_audio_"), dir_(scratch_.path()) {}
    fs::path operator/(const std::string& name) const { return dir_ / name; }

    // `limits`: shell commands run before the program, such as ulimit.
    Outcome run(const std::string& exe, const std::vector<std::string>& args,
                const std::string& limits = "") const
    {
        std::string cmd = "cd " + quoted(dir_.string()) + " && " + limits + quoted(exe);
        for (const auto& a : args) {
            cmd += ' ';
            cmd += quoted(a);
        }
        cmd += " > .stdout 2> .stderr < /dev/null";
        const int raw = std::system(cmd.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(dir_ / ".stdout");
        r.err = slurp(dir_ / ".stderr");
        fs::remove(dir_ / ".stdout");
        fs::remove(dir_ / ".stderr");
        return r;
    }
    Outcome audio(const std::vector<std::string>& args, const std::string& limits = "") const
    {
        return run(ASRC_AUDIO_EXE, args, limits);
    }
    // With the rule converter, which reproduces asrc.
    Outcome rule(std::vector<std::string> args, const std::string& limits = "") const
    {
        args.insert(args.begin(), {"--converter", "rule"});
        return audio(args, limits);
    }
    // A shell command in the folder (the tools that make the test files):
    // true when it succeeded.
    bool shell(const std::string& command) const
    {
        return std::system(("cd " + quoted(dir_.string()) + " && (" + command + ")").c_str()) == 0;
    }

    // The names in the folder and its subfolders: a failed run must leave
    // no temporary file.
    std::set<std::string> names() const
    {
        std::set<std::string> s;
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            s.insert(fs::relative(e.path(), dir_).string());
        return s;
    }

private:
    asrc_test::ScratchDir scratch_;
    const fs::path& dir_;
};

// Writes interleaved samples at 32-bit scale (sf_writef_int) or, for a
// float format, as given (sf_writef_double).
void write_sound(const fs::path& p, int format, int channels, const std::vector<int>& samples,
                 int rate = 48000)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    ASSERT_EQ(sf_writef_int(f, samples.data(), frames), frames);
    ASSERT_EQ(sf_close(f), 0);
}

void write_float_sound(const fs::path& p, int format, const std::vector<double>& samples)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    // libsndfile would otherwise clip while writing; the program must do it.
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    const auto n = static_cast<sf_count_t>(samples.size());
    ASSERT_EQ(sf_writef_double(f, samples.data(), n), n);
    ASSERT_EQ(sf_close(f), 0);
}

Sound read_sound(const fs::path& p)
{
    Sound s;
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &s.info);
    EXPECT_NE(f, nullptr) << p << ": " << sf_strerror(nullptr);
    if (f == nullptr)
        return s;
    s.samples.resize(static_cast<std::size_t>(s.info.frames * s.info.channels));
    EXPECT_EQ(sf_readf_short(f, s.samples.data(), s.info.frames), s.info.frames);
    sf_close(f);
    return s;
}

// The reference: numbers at 24-bit scale, conditioned, through the rule.
std::vector<std::int16_t> reference(const std::vector<std::int32_t>& numbers24, std::int16_t step,
                                    std::int64_t* wrapped = nullptr)
{
    asrc_test::ReferenceConverter ref;
    std::vector<std::int16_t> out;
    for (std::int32_t v : numbers24)
        ref.push(asrc_cli::condition_sample(v), step, out);
    if (wrapped != nullptr)
        *wrapped += ref.wrapped;
    return out;
}

std::vector<std::int32_t> random24(std::size_t n, unsigned seed, std::int32_t amplitude = 8388607)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::int32_t> v(-amplitude - 1, amplitude);
    std::vector<std::int32_t> out(n);
    for (auto& x : out)
        x = v(rng);
    return out;
}

std::vector<int> to32(const std::vector<std::int32_t>& numbers24)
{
    std::vector<int> out;
    for (std::int32_t v : numbers24)
        out.push_back(static_cast<int>(static_cast<std::uint32_t>(v) << 8));
    return out;
}

// A WAV file as written to a stream: its data size 0xFFFFFFFF, unknown.
void mark_wav_streamed(const fs::path& p)
{
    std::string bytes = slurp(p);
    const std::size_t data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    bytes.replace(data + 4, 4, "\xFF\xFF\xFF\xFF");
    std::ofstream(p, std::ios::binary) << bytes;
}

// A FLAC file as a streaming encoder leaves it: STREAMINFO (the first
// metadata block) gives 0 for the total of samples and for the MD5
// signature, both unknown.
void mark_flac_streamed(const fs::path& p)
{
    std::string bytes = slurp(p);
    ASSERT_EQ(bytes.substr(0, 4), "fLaC");
    ASSERT_EQ(bytes[4] & 0x7F, 0) << "STREAMINFO first";
    // After the block's 4-byte header: block sizes (4 bytes), frame sizes
    // (6), then 20 bits of rate, 3 of channels, 5 of bits per sample, and
    // the 36-bit total from the low half of byte 21 on; the MD5 follows.
    bytes[21] = static_cast<char>(bytes[21] & 0xF0);
    std::fill(bytes.begin() + 22, bytes.begin() + 42, '\0');
    std::ofstream(p, std::ios::binary) << bytes;
}

// Shell words that preload tests/io_faults.cpp into the program; the
// sanitizers' runtime would refuse to come second.
std::string preload_io_faults()
{
    return "LD_PRELOAD=" IO_FAULTS " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
           "verify_asan_link_order=0\" ";
}

std::vector<std::int16_t> as16(const std::vector<short>& s)
{
    return {s.begin(), s.end()};
}

// One channel of interleaved samples.
template <typename T>
std::vector<T> channel_of(const std::vector<T>& interleaved, int channels, int channel)
{
    std::vector<T> out;
    const auto step = static_cast<std::size_t>(channels);
    for (auto i = static_cast<std::size_t>(channel); i < interleaved.size(); i += step)
        out.push_back(interleaved[i]);
    return out;
}

// ---- equivalence with asrc ----------------------------------------------

class SameAsAsrc : public ::testing::TestWithParam<const char*> {};

// A 24-bit mono WAV of the numbers of a TEST24.TXT: asrc's lines, then the
// conversion of the last N mod 16 numbers that asrc leaves out.
TEST_P(SameAsAsrc, GivesAsrcsLinesThenTheTail)
{
    const std::string offset = GetParam();
    const std::int16_t step = static_cast<std::int16_t>(std::trunc(16384.0 * std::stod(offset)));
    Folder dir;
    // Several of the program's chunks (131,072 samples).
    const auto numbers = random24(16 * 25000 + 11, 42, 6000000);
    std::string text;
    for (std::int32_t v : numbers)
        text += std::to_string(v) + "\n";
    std::ofstream(dir / "TEST24.TXT") << text;
    ASSERT_EQ(dir.run(ASRC_EXE, {offset}).status, 0);
    std::vector<std::int16_t> lines;
    std::istringstream asrc_out(slurp(dir / "TEST24_ASRC.TXT"));
    for (int v; asrc_out >> v;)
        lines.push_back(static_cast<std::int16_t>(v));

    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, to32(numbers));
    // An earlier OUTPUT is replaced, and nothing of it is left behind.
    std::ofstream(dir / "out.wav") << "an earlier output";
    const Outcome r = dir.rule({offset, "in.wav", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir.names(),
              (std::set<std::string>{"TEST24.TXT", "TEST24_ASRC.TXT", "in.wav", "out.wav"}));
    const auto got = as16(read_sound(dir / "out.wav").samples);
    ASSERT_GT(got.size(), lines.size());
    EXPECT_EQ(std::vector<std::int16_t>(got.begin(), got.begin() + static_cast<long>(lines.size())),
              lines);
    EXPECT_EQ(got, reference(numbers, step));
}

INSTANTIATE_TEST_SUITE_P(Offsets, SameAsAsrc,
                         ::testing::Values("0.01", "-0.01", "0", "0.37", "-1.2"),
                         [](const auto& info) { return asrc_test::param_name(info.param); });

// ---- channels, containers, header rate ------------------------------------

struct ChannelCase {
    int channels;
    int format;      // of the input
    const char* out; // output name
    int container;   // expected in the output
    std::vector<std::string> options;
    int rate; // expected in the output's header
};

class Channels : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(Channels, EachChannelIsWhatItGivesAlone)
{
    const ChannelCase c = GetParam();
    Folder dir;
    const std::size_t frames = 5000;
    const auto numbers = random24(frames * static_cast<std::size_t>(c.channels), 7, 4000000);
    // What the format keeps of each number (a 16-bit file only its top 16 bits).
    const int bits = (c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 16 : 24;
    std::vector<std::int32_t> kept;
    for (std::int32_t v : numbers)
        kept.push_back(v >> (24 - bits) << (24 - bits));
    const std::vector<int> samples = to32(kept);
    write_sound(dir / "in", c.format, c.channels, samples);
    std::vector<std::string> args = c.options;
    for (const char* a : {"-0.01", "in", c.out})
        args.push_back(a);
    const Outcome r = dir.rule(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const Sound out = read_sound(dir / c.out);
    EXPECT_EQ(out.info.format, c.container | SF_FORMAT_PCM_16);
    EXPECT_EQ(out.info.samplerate, c.rate);
    ASSERT_EQ(out.info.channels, c.channels);
    for (int ch = 0; ch < c.channels; ++ch) {
        write_sound(dir / "mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1,
                    channel_of(samples, c.channels, ch));
        std::vector<std::string> mono_args = c.options;
        for (const char* a : {"-0.01", "mono.wav", "mono_out.wav"})
            mono_args.push_back(a);
        ASSERT_EQ(dir.rule(mono_args).status, 0);
        const auto alone = as16(read_sound(dir / "mono_out.wav").samples);
        EXPECT_EQ(as16(channel_of(out.samples, c.channels, ch)), alone) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Channels,
    ::testing::Values(
        ChannelCase{2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, "out.wav", SF_FORMAT_WAV, {}, 48000},
        ChannelCase{2,
                    SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                    "out.FLAC",
                    SF_FORMAT_FLAC,
                    {"--rate", "47525"},
                    47525},
        ChannelCase{5,
                    SF_FORMAT_AIFF | SF_FORMAT_PCM_24,
                    "out.aif",
                    SF_FORMAT_AIFF,
                    {"--rate=96000"},
                    96000},
        ChannelCase{
            3, SF_FORMAT_WAV | SF_FORMAT_PCM_16, "out.Aiff", SF_FORMAT_AIFF, {"-q"}, 48000},
        // Integer input with a gain takes its own path through the reader.
        ChannelCase{2,
                    SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                    "gain.wav",
                    SF_FORMAT_WAV,
                    {"--gain", "-3"},
                    48000}),
    [](const auto& info) {
        return std::to_string(info.param.channels) + "_channels_to_" +
               asrc_test::param_name(info.param.out);
    });

// ---- float input, gain, wrap count -----------------------------------------

struct FloatCase {
    const char* name;
    int format;
    double gain_db;
};

class FloatInput : public ::testing::TestWithParam<FloatCase> {};

// Clipped to full scale, scaled by 2^23, rounded to nearest with ties to even;
// a gain scales the clipped value before that one rounding.
TEST_P(FloatInput, IsClippedAndRoundedToTwentyFourBits)
{
    const FloatCase c = GetParam();
    const double lsb = 1.0 / 8388608.0;
    const std::vector<std::pair<double, std::int32_t>> table = {
        {0.5, 4194304},   {-0.5, -4194304},   {1.0, 8388607}, {-1.0, -8388608},
        {1.5, 8388607},   {-3.0, -8388608},   {2.5 * lsb, 2}, {3.5 * lsb, 4},
        {-2.5 * lsb, -2}, {1000 * lsb, 1000}, {0.0, 0},       {-12345 * lsb, -12345},
    };
    std::vector<double> in;
    std::vector<std::int32_t> expected24;
    const double g = std::pow(10.0, c.gain_db / 20.0);
    for (int rep = 0; rep < 40; ++rep) {
        for (const auto& [x, v] : table) {
            in.push_back(x);
            // The table's value, clipped and scaled, times the gain; at
            // full scale the value before the clip to 2^23-1 is 2^23.
            const double scaled = (v == 8388607 ? 8388608.0 : v) * g;
            expected24.push_back(c.gain_db == 0.0 ? v
                                                  : static_cast<std::int32_t>(std::clamp(
                                                        std::nearbyint(scaled), -8388608.0,
                                                        8388607.0)));
        }
    }
    Folder dir;
    write_float_sound(dir / "in.wav", SF_FORMAT_WAV | c.format, in);
    const Outcome r = dir.rule({"--gain", std::to_string(c.gain_db), "0.01", "in.wav", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(as16(read_sound(dir / "out.wav").samples), reference(expected24, 163));
}

INSTANTIATE_TEST_SUITE_P(Formats, FloatInput,
                         ::testing::Values(FloatCase{"float", SF_FORMAT_FLOAT, 0.0},
                                           FloatCase{"double", SF_FORMAT_DOUBLE, 0.0},
                                           // 1.5 and -3.0 must be clipped before the gain.
                                           FloatCase{"float_gain_minus6", SF_FORMAT_FLOAT, -6.0}),
                         [](const auto& info) { return std::string(info.param.name); });

class Gain : public ::testing::TestWithParam<double> {};

// In the 24-bit domain, rounded to nearest and clipped, before conditioning.
TEST_P(Gain, ScalesTheTwentyFourBitValues)
{
    const double db = GetParam();
    const auto numbers = random24(3000, 3);
    std::vector<std::int32_t> scaled;
    const double g = std::pow(10.0, db / 20.0);
    for (std::int32_t v : numbers)
        scaled.push_back(
            static_cast<std::int32_t>(std::clamp(std::nearbyint(v * g), -8388608.0, 8388607.0)));
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, to32(numbers));
    const Outcome r = dir.rule({"--gain", std::to_string(db), "0.02", "in.wav", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(as16(read_sound(dir / "out.wav").samples), reference(scaled, 327));
}

// -100 and 100 dB: the ends of the range, both accepted.
INSTANTIATE_TEST_SUITE_P(Decibels, Gain, ::testing::Values(-3.0, -20.0, 6.0, 0.5, -100.0, 100.0),
                         [](const auto& info) {
                             std::ostringstream db;
                             db << info.param;
                             return asrc_test::param_name(db.str()) + "_dB";
                         });

struct WrapCase {
    const char* offset;
    int channels;
    std::vector<std::string> options;
    double gain_db;
};

class Wraps : public ::testing::TestWithParam<WrapCase> {};

// Loud high-frequency content overshoots and wraps: the program's count is
// the reference rule's, the samples are the reference's all the same, and
// the advice appears exactly when something wrapped.
TEST_P(Wraps, AreCountedExactly)
{
    const WrapCase c = GetParam();
    const std::int16_t step = static_cast<std::int16_t>(std::trunc(16384.0 * std::stod(c.offset)));
    const std::size_t frames = 150000; // several of the program's chunks
    std::vector<std::int32_t> numbers(frames * static_cast<std::size_t>(c.channels));
    std::mt19937 rng(11);
    for (std::size_t i = 0; i < numbers.size(); ++i) // near-Nyquist bursts, full scale
        numbers[i] = ((i / static_cast<std::size_t>(c.channels)) % 2 == 0 ? 8388607 : -8388608) /
                     (1 + static_cast<std::int32_t>(rng() % 3));
    const double g = std::pow(10.0, c.gain_db / 20.0);
    std::int64_t expected_wraps = 0;
    std::vector<std::vector<std::int16_t>> expected(static_cast<std::size_t>(c.channels));
    for (int ch = 0; ch < c.channels; ++ch) {
        std::vector<std::int32_t> mono;
        for (std::int32_t v : channel_of(numbers, c.channels, ch))
            mono.push_back(static_cast<std::int32_t>(
                std::clamp(std::nearbyint(v * g), -8388608.0, 8388607.0)));
        expected[static_cast<std::size_t>(ch)] = reference(mono, step, &expected_wraps);
    }
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, c.channels, to32(numbers));
    std::vector<std::string> args = c.options;
    for (const char* a : {c.offset, "in.wav", "out.flac"})
        args.push_back(a);
    const Outcome r = dir.rule(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const Sound out = read_sound(dir / "out.flac");
    for (int ch = 0; ch < c.channels; ++ch) {
        EXPECT_EQ(as16(channel_of(out.samples, c.channels, ch)),
                  expected[static_cast<std::size_t>(ch)])
            << "channel " << ch;
    }
    const std::string count = std::to_string(expected_wraps);
    if (expected_wraps > 0) {
        EXPECT_NE(r.err.find("warning: " + count + " output samples wrapped around"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("--gain -3"), std::string::npos);
    } else {
        EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    }
    const bool quiet = !c.options.empty() && c.options[0] == "--quiet";
    EXPECT_EQ(r.err.find(", " + count + " samples wrapped\n") == std::string::npos, quiet) << r.err;
    if (!quiet) {
        EXPECT_NE(r.err.find(std::to_string(frames) + " frames in, " +
                             std::to_string(out.info.frames) + " frames out"),
                  std::string::npos)
            << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Loud, Wraps,
                         ::testing::Values(WrapCase{"0.01", 1, {}, 0.0},
                                           WrapCase{"-0.01", 2, {}, 0.0},
                                           WrapCase{"0.5", 2, {"--quiet"}, 0.0},
                                           WrapCase{"-0.3", 1, {}, 0.0},
                                           WrapCase{"0.01", 1, {"--gain", "-12"}, -12.0}),
                         [](const auto& info) {
                             std::string name = asrc_test::param_name(info.param.offset) + "_" +
                                                std::to_string(info.param.channels) + "_channels";
                             for (const std::string& option : info.param.options) {
                                 const bool long_option = option.rfind("--", 0) == 0;
                                 name += '_'; // "--gain" as "gain"
                                 name += asrc_test::param_name(
                                     std::string_view(option).substr(long_option ? 2 : 0));
                             }
                             return name;
                         });

// ---- failures ----------------------------------------------------------

enum class Setup {
    none,
    text_input,
    truncated_wav,
    truncated_flac,
    output_dir,
    disk_full,
    file_not_flushed,      // fsync of the output file fails
    directory_not_flushed, // fsync of its directory fails
    read_fails,            // reading the input fails part way (EIO)
    truncated_flac_of_unknown_length,
    flac_cut_into_last_frame, // t.flac (made by `make`) cut `cut` bytes into its last frame
    hostile_rate,             // in.wav's header says 2e9 Hz
    huge_input,               // huge.wav: 2,178,217,822 frames of 8-bit mono, sparse
};

// Where the last frame of a FLAC stream starts: the last frame sync code
// whose header's CRC-8 holds (the headers flac writes for 16-bit stereo at
// 48 kHz with a fixed block size: 6 or 7 bytes before the CRC).
std::size_t last_flac_frame(const std::string& bytes)
{
    for (std::size_t at = bytes.size() - 8; at > 4; --at) {
        if (static_cast<unsigned char>(bytes[at]) != 0xFF ||
            (static_cast<unsigned char>(bytes[at + 1]) & 0xFE) != 0xF8)
            continue;
        const std::size_t n = 5 + (static_cast<unsigned char>(bytes[at + 4]) >= 0x80 ? 1 : 0);
        unsigned crc = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            crc ^= static_cast<unsigned char>(bytes[i]);
            for (int k = 0; k < 8; ++k)
                crc = (crc & 0x80) != 0 ? (crc << 1 ^ 0x07) & 0xFF : crc << 1 & 0xFF;
        }
        if (crc == static_cast<unsigned char>(bytes[at + n]))
            return at;
    }
    return 0;
}

// A canonical 44-byte WAV header: 8-bit mono PCM at 48 kHz, `frames` long.
std::string wav_header_8bit(std::uint32_t frames)
{
    auto le = [](std::uint32_t v, int n) {
        std::string b;
        for (int i = 0; i < n; ++i)
            b += static_cast<char>(v >> (8 * i) & 0xFF);
        return b;
    };
    return "RIFF" + le(frames + 36, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
           le(48000, 4) + le(48000, 4) + le(1, 2) + le(8, 2) + "data" + le(frames, 4);
}

// Shell commands before the program that bring the fault about.
std::string fault_prefix(Setup setup)
{
    // A file-size limit of 50 KB stands in for a full disk: writes past it
    // fail with EFBIG.
    if (setup == Setup::disk_full)
        return "ulimit -f 50 && ";
    const std::string preload = preload_io_faults();
    if (setup == Setup::file_not_flushed)
        return "ASRC_TEST_FAIL_FSYNC=file " + preload;
    if (setup == Setup::directory_not_flushed)
        return "ASRC_TEST_FAIL_FSYNC=directory " + preload;
    if (setup == Setup::read_fails)
        return "ASRC_TEST_FAIL_READ=in.wav@30000 " + preload;
    return "";
}

struct FailureCase {
    const char* name;
    Setup setup;
    std::vector<std::string> args;
    int status;
    const char* message;
    const char* make = nullptr; // shell commands that make the input from in.wav
    int cut = 0;                // flac_cut_into_last_frame: bytes into it
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

constexpr const char* kFlacCut =
    "\"cut.flac\" is truncated: it states no length, and it does not end on a whole frame";
constexpr const char* kStreamedFlac =
    "sox in.wav -b 16 -e signed -L -t raw - | flac -s --force-raw-format --endian=little "
    "--sign=signed --channels=2 --bps=16 --sample-rate=48000 - -c > t.flac 2>/dev/null";

// Each fault gives its status and message, leaves no OUTPUT and no temporary
// file, keeps an existing OUTPUT as it was and never changes the input.
TEST_P(Failure, LeavesTheFilesAsTheyWere)
{
    const FailureCase c = GetParam();
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, to32(random24(20000, 5)));
    std::ofstream(dir / "old.wav") << "an earlier output";
    fs::create_directory(dir / "sub");
    fs::create_hard_link(dir / "in.wav", dir / "sub" / "link.wav");
    fs::create_symlink("../in.wav", dir / "sub" / "sym.wav");
    if (c.setup == Setup::text_input)
        std::ofstream(dir / "in.wav") << "this is not a sound file\n";
    if (c.setup == Setup::truncated_wav)
        fs::resize_file(dir / "in.wav", 50000);
    if (c.setup == Setup::truncated_flac || c.setup == Setup::truncated_flac_of_unknown_length) {
        write_sound(dir / "in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2,
                    to32(random24(20000, 5)));
        if (c.setup == Setup::truncated_flac_of_unknown_length)
            mark_flac_streamed(dir / "in.flac");
        fs::resize_file(dir / "in.flac", fs::file_size(dir / "in.flac") * 6 / 10);
    }
    if (c.setup == Setup::output_dir)
        fs::create_directory(dir / "out.wav");
    if (c.make != nullptr) {
        ASSERT_TRUE(dir.shell(c.make)) << c.make;
    }
    if (c.setup == Setup::flac_cut_into_last_frame) {
        const std::string flac = slurp(dir / "t.flac");
        const std::size_t last = last_flac_frame(flac);
        ASSERT_GT(last, flac.size() / 2);
        std::ofstream(dir / "cut.flac", std::ios::binary)
            << flac.substr(0, last + static_cast<std::size_t>(c.cut));
    }
    if (c.setup == Setup::hostile_rate) {
        std::string bytes = slurp(dir / "in.wav");
        bytes.replace(24, 4, std::string("\x00\x94\x35\x77", 4)); // 2,000,000,000
        std::ofstream(dir / "in.wav", std::ios::binary) << bytes;
    }
    if (c.setup == Setup::huge_input) {
        std::ofstream(dir / "huge.wav", std::ios::binary) << wav_header_8bit(2178217822u);
        fs::resize_file(dir / "huge.wav", 44 + 2178217822ULL); // sparse: no disk used
    }
    const std::string input_before = slurp(dir / "in.wav");
    const std::set<std::string> names_before = dir.names();

    const Outcome r = dir.audio(c.args, fault_prefix(c.setup));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.names(), names_before) << "a file appeared or vanished";
    EXPECT_EQ(slurp(dir / "old.wav"), "an earlier output");
    EXPECT_EQ(slurp(dir / "in.wav"), input_before);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Failure, ::testing::ValuesIn(std::vector<FailureCase>{
    {"no_arguments", Setup::none, {}, 2, "expected RATE_OFFSET INPUT OUTPUT"},
    {"bad_offset", Setup::none, {"abc", "in.wav", "old.wav"}, 2,
     "Invalid rate offset \"abc\": expected a decimal number from -2.0"},
    {"unprintable_argument", Setup::none, {"\x1B]0;x\x07", "in.wav", "old.wav"}, 2,
     "Invalid rate offset \"\\x1B]0;x\\x07\": expected"},
    {"offset_out_of_range", Setup::none, {"2.0", "in.wav", "old.wav"}, 2, "Invalid rate offset"},
    // Its step truncates to -2.0's, but it lies outside the range the
    // message gives.
    {"offset_below_minus_two", Setup::none, {"-2.00006", "in.wav", "old.wav"}, 2,
     "Invalid rate offset \"-2.00006\": expected a decimal number from -2.0"},
    {"unknown_extension", Setup::none, {"0.01", "in.wav", "out.mp3"}, 2, ".wav, .flac, .aif or .aiff"},
    // A name that is only an extension would be a hidden file of no name.
    {"extension_only", Setup::none, {"0.01", "in.wav", ".wav"}, 2,
     "cannot tell the output format from \".wav\""},
    {"extension_only_in_folder", Setup::none, {"0.01", "in.wav", "sub/.flac"}, 2,
     "cannot tell the output format from \"sub/.flac\""},
    {"unknown_option", Setup::none, {"--fast", "0.01", "in.wav", "old.wav"}, 2, "unknown option"},
    {"bad_gain", Setup::none, {"--gain", "loud", "0.01", "in.wav", "old.wav"}, 2, "invalid gain"},
    {"bad_rate", Setup::none, {"--rate", "0", "0.01", "in.wav", "old.wav"}, 2, "invalid rate"},
    {"missing_value", Setup::none, {"0.01", "in.wav", "old.wav", "--rate"}, 2, "needs a value"},
    {"bad_converter", Setup::none, {"--converter", "sinc", "0.01", "in.wav", "old.wav"}, 2,
     "invalid converter \"sinc\": expected poly or rule"},
    {"to_with_rule", Setup::none, {"--converter=rule", "--to", "48000", "in.wav", "old.wav"}, 2,
     "--to needs the polyphase converter"},
    {"to_and_offset", Setup::none, {"--to", "48000", "0.01", "in.wav", "old.wav"}, 2,
     "with --to, give INPUT OUTPUT and no RATE_OFFSET"},
    {"to_without_files", Setup::none, {"--to", "48000", "in.wav"}, 2, "expected --to HZ INPUT OUTPUT"},
    {"bad_to", Setup::none, {"--to", "44.1k", "in.wav", "old.wav"}, 2, "invalid output rate \"44.1k\""},
    {"to_beyond_25_times", Setup::none, {"--to", "1200001", "in.wav", "old.wav"}, 2,
     "cannot convert \"in.wav\" from 48000 Hz to 1200001 Hz: the output rate must lie from 1/25 to 25"},
    {"to_below_1_25th", Setup::none, {"--to", "1919", "in.wav", "old.wav"}, 2, "from 48000 Hz to 1919 Hz"},
    {"poly_offset_beyond_0_96", Setup::none, {"--converter", "poly", "0.97", "in.wav", "old.wav"}, 2,
     "rate offset \"0.97\" is outside what the polyphase converter takes"},
    {"poly_offset_default_converter", Setup::none, {"1.5", "in.wav", "old.wav"},
     2, "outside what the polyphase converter takes"},
    {"bad_bits", Setup::none, {"--bits", "20", "--to", "44100", "in.wav", "old.wav"}, 2,
     "invalid --bits \"20\": expected 16, 24, 32 or float"},
    {"float_into_flac", Setup::none, {"--bits", "float", "--to", "44100", "in.wav", "out.flac"}, 2,
     "cannot write float samples to \"out.flac\""},
    {"rule_with_bits", Setup::none, {"--converter", "rule", "--bits", "24", "0.01", "in.wav", "old.wav"},
     2, "the rule converter writes 16-bit samples"},
    {"rule_with_no_dither", Setup::none, {"--converter", "rule", "--no-dither", "0.01", "in.wav", "old.wav"},
     2, "--no-dither needs the polyphase converter"},
    {"batch_of_nothing", Setup::none, {"--to", "44100", "--out-dir", "sub"}, 2,
     "expected one or more INPUT files before --out-dir"},
    {"batch_into_missing_directory", Setup::none, {"--to", "44100", "in.wav", "--out-dir", "nodir"}, 1,
     "cannot write into \"nodir\": no such directory"},
    {"batch_names_that_collide", Setup::none, {"--to", "44100", "in.wav", "sub/../in.wav", "--out-dir", "sub"},
     2, "would both be written to \"sub/in.wav\""},
    {"too_many", Setup::none, {"0.01", "in.wav", "old.wav", "x.wav"}, 2, "too many"},
    {"same_path", Setup::none, {"0.01", "in.wav", "in.wav"}, 2, "are the same file"},
    {"same_via_hard_link", Setup::none, {"0.01", "in.wav", "sub/link.wav"}, 2, "are the same file"},
    {"same_via_symlink", Setup::none, {"0.01", "sub/../in.wav", "sub/sym.wav"}, 2, "are the same file"},
    {"missing_input", Setup::none, {"0.01", "none.wav", "old.wav"}, 1, "cannot read \"none.wav\""},
    {"unsupported_input", Setup::text_input, {"0.01", "in.wav", "old.wav"}, 1,
     "cannot read \"in.wav\": Format not recognised"},
    {"truncated_wav", Setup::truncated_wav, {"0.01", "in.wav", "old.wav"}, 1, "is truncated"},
    {"truncated_flac", Setup::truncated_flac, {"0.01", "in.flac", "old.wav"}, 1,
     "\"in.flac\" is truncated: the header promises 10000 frames"},
    // A FLAC stream as a streaming encoder writes it, of no stated length,
    // cut in the middle of a frame: its last frame does not decode.
    {"truncated_flac_of_unknown_length", Setup::truncated_flac_of_unknown_length,
     {"0.01", "in.flac", "old.wav"}, 1,
     "\"in.flac\" is truncated: it states no length, and it does not end on a whole frame"},
    // Cut short, as the field's tools write them (in.wav: 10,000 frames of
    // 24-bit stereo, 60,000 bytes): each header's promise against the file.
    {"au_cut", Setup::none, {"0.01", "cut.au", "old.wav"}, 1,
     "\"cut.au\" is truncated: its header promises 60000 bytes of data, the file holds ",
     "sox in.wav t.au && head -c 30000 t.au > cut.au"},
    {"w64_cut", Setup::none, {"0.01", "cut.w64", "old.wav"}, 1,
     "\"cut.w64\" is truncated: its data chunk promises 60000 bytes",
     "sox in.wav t.w64 && head -c 30000 t.w64 > cut.w64"},
    // RF64's data size of 0xFFFFFFFF sends the reader to ds64's.
    {"rf64_cut", Setup::none, {"0.01", "cut.rf64", "old.wav"}, 1,
     "\"cut.rf64\" is truncated: its ds64 chunk promises 60000 bytes",
     "sndfile-convert in.wav t.rf64 && head -c 30000 t.rf64 > cut.rf64"},
    {"voc_cut", Setup::none, {"0.01", "cut.voc", "old.wav"}, 1,
     "\"cut.voc\" is truncated: its block of sound promises ",
     "sox in.wav -b 16 t.voc && head -c 20000 t.voc > cut.voc"},
    {"nist_cut", Setup::none, {"0.01", "cut.sph", "old.wav"}, 1,
     "\"cut.sph\" is truncated: its header promises 40000 bytes",
     "sox in.wav -b 16 t.sph && head -c 20000 t.sph > cut.sph"},
    // No length in the header: a cut inside a frame (4 bytes) shows.
    {"ircam_cut_in_a_frame", Setup::none, {"0.01", "cut.ircam", "old.wav"}, 1,
     "\"cut.ircam\" is truncated: the data ends in the middle of a frame: 1 of its 4 bytes",
     "sox in.wav -b 16 t.ircam && head -c 21001 t.ircam > cut.ircam"},
    {"paf_cut_in_a_frame", Setup::none, {"0.01", "cut.paf", "old.wav"}, 1,
     "\"cut.paf\" is truncated: the data ends in the middle of a frame: 3 of its 4 bytes",
     "sox in.wav -b 16 t.paf && head -c 22051 t.paf > cut.paf"},
    // Ogg: libsndfile reads what the pages hold and gives no length (and
    // refuses to open an Opus stream of one page cut short): 4.4 s of it.
    {"ogg_vorbis_cut", Setup::none, {"0.01", "cut.ogg", "old.wav"}, 1,
     "\"cut.ogg\" is truncated: its last Ogg page is cut short",
     "sox in.wav t.wav repeat 20 && oggenc -Q t.wav -o t.ogg && head -c -1000 t.ogg > cut.ogg"},
    {"opus_cut", Setup::none, {"0.01", "cut.opus", "old.wav"}, 1,
     "\"cut.opus\" is truncated: its last Ogg page is cut short",
     "sox in.wav t.wav repeat 20 && opusenc --quiet t.wav t.opus && head -c -1000 t.opus > cut.opus"},
    // sox's 16-bit WAV has a 44-byte header: cut inside the data chunk's
    // header, libsndfile reads no frames and no fault.
    {"wav_cut_at_41", Setup::none, {"0.01", "cut.wav", "old.wav"}, 1,
     "\"cut.wav\" is truncated: the header ends before the data begins",
     "sox in.wav -b 16 t.wav && head -c 41 t.wav > cut.wav"},
    {"wav_cut_at_42", Setup::none, {"0.01", "cut.wav", "old.wav"}, 1,
     "\"cut.wav\" is truncated: the header ends before the data begins",
     "sox in.wav -b 16 t.wav && head -c 42 t.wav > cut.wav"},
    {"wav_cut_at_43", Setup::none, {"0.01", "cut.wav", "old.wav"}, 1,
     "\"cut.wav\" is truncated: the header ends before the data begins",
     "sox in.wav -b 16 t.wav && head -c 43 t.wav > cut.wav"},
    // What a recorder that died before finishing its header leaves: RIFF
    // and data sizes 0, the samples after them.
    {"wav_data_size_0", Setup::none, {"0.01", "cut.wav", "old.wav"}, 1,
     "\"cut.wav\" has an unfinished header: its data size reads 0 but 40000 bytes follow",
     "sox in.wav -b 16 t.wav && head -c 4 /dev/zero | dd of=t.wav bs=1 seek=4 conv=notrunc "
     "2>/dev/null && head -c 4 /dev/zero | dd of=t.wav bs=1 seek=40 conv=notrunc 2>/dev/null "
     "&& mv t.wav cut.wav"},
    // flac writing to a pipe cannot go back to fill in the length; cut 1
    // to 5 bytes into the last frame, inside its header, the decoder sees
    // an end and no error.
    {"flac_of_unknown_length_cut_1", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 1},
    {"flac_of_unknown_length_cut_2", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 2},
    {"flac_of_unknown_length_cut_3", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 3},
    {"flac_of_unknown_length_cut_4", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 4},
    {"flac_of_unknown_length_cut_5", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 5},
    {"flac_of_unknown_length_cut_100", Setup::flac_cut_into_last_frame,
     {"0.01", "cut.flac", "old.wav"}, 1, kFlacCut, kStreamedFlac, 100},
    // Twice a hostile header's rate does not fit an int: refused, not wrapped.
    // A header rate near the largest int: an offset keeps it in the header
    // (nothing to overflow), and --to refuses the ratio it gives.
    {"hostile_rate", Setup::hostile_rate, {"--to", "48000", "in.wav", "old.wav"}, 2,
     "cannot convert \"in.wav\" from 2000000000 Hz to 48000 Hz"},
    // 4.4 GB of 16-bit output: past an AIFF's 32-bit sizes, refused before
    // anything is written (a WAV would be written as RF64).
    {"aiff_past_4_gib", Setup::huge_input, {"--converter", "rule", "0.01", "huge.wav", "out.aiff"}, 1,
     "cannot write \"out.aiff\": up to 2178217822 frames of 1 channels pass the 4 GiB that an "
     "AIFF header can count"},
    // The same on the default route, 16-bit out: refused before anything is written.
    {"aiff_past_4_gib_poly", Setup::huge_input, {"0.01", "huge.wav", "out.aiff"}, 1,
     "cannot write \"out.aiff\": up to 2156435644 frames of 1 channels pass the 4 GiB"},
    // A read that fails is reported as the failure it is, not as a short file.
    {"read_error", Setup::read_fails, {"0.01", "in.wav", "old.wav"}, 1,
     "cannot read \"in.wav\": System error : Input/output error"},
    {"missing_directory", Setup::none, {"0.01", "in.wav", "nodir/out.wav"}, 1,
     "cannot write \"nodir/out.wav\": No such file or directory"},
    // A directory no one can create files in, root included (the tests may
    // run as root, whom permission bits do not stop).
    {"unwritable_directory", Setup::none, {"0.01", "in.wav", "/proc/asrc-audio-test.wav"}, 1,
     "cannot write \"/proc/asrc-audio-test.wav\": "},
    {"output_is_directory", Setup::output_dir, {"0.01", "in.wav", "out.wav"}, 1, "is a directory"},
    {"disk_full", Setup::disk_full, {"0.01", "in.wav", "old.wav"}, 1,
     "cannot write \"old.wav\": System error : File too large"},
    // The file and then its name must reach the disk before success is
    // reported, whether OUTPUT is new or replaces one.
    {"file_not_flushed", Setup::file_not_flushed, {"0.01", "in.wav", "old.wav"}, 1,
     "cannot write \"old.wav\": Input/output error"},
    {"file_not_flushed_new", Setup::file_not_flushed, {"0.01", "in.wav", "sub/new.wav"}, 1,
     "cannot write \"sub/new.wav\": Input/output error"},
    {"directory_not_flushed", Setup::directory_not_flushed, {"0.01", "in.wav", "old.wav"}, 1,
     "cannot write \"old.wav\": Input/output error"},
    {"directory_not_flushed_new", Setup::directory_not_flushed, {"0.01", "in.wav", "sub/new.wav"},
     1, "cannot write \"sub/new.wav\": Input/output error"},
}), [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- whole files, as the field's tools write them ---------------------------

struct WholeCase {
    const char* name;
    const char* make;   // shell commands that make `input` from in.wav
    const char* input;
    const char* frames; // the summary's count in, "" when the codec's own
};

class WholeFile : public ::testing::TestWithParam<WholeCase> {};

// The truncation checks take nothing whole for cut: each file converts to
// its end with status 0.
TEST_P(WholeFile, IsConvertedToItsEnd)
{
    const WholeCase c = GetParam();
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, to32(random24(20000, 5)));
    ASSERT_TRUE(dir.shell(c.make)) << c.make;
    const Outcome r = dir.audio({"0.01", c.input, "out.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(std::string(c.frames) + " frames in, "), std::string::npos) << r.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Tools, WholeFile, ::testing::ValuesIn(std::vector<WholeCase>{
    {"au", "sox in.wav t.au", "t.au", "asrc-audio: 10000"},
    {"w64", "sox in.wav t.w64", "t.w64", "asrc-audio: 10000"},
    {"rf64", "sndfile-convert in.wav t.rf64", "t.rf64", "asrc-audio: 10000"},
    {"voc", "sox in.wav -b 16 t.voc", "t.voc", "asrc-audio: 10000"},
    {"nist", "sox in.wav -b 16 t.sph", "t.sph", "asrc-audio: 10000"},
    {"ircam", "sox in.wav -b 16 t.ircam", "t.ircam", "asrc-audio: 10000"},
    {"paf", "sox in.wav -b 16 t.paf", "t.paf", "asrc-audio: 10000"},
    {"wav_16_bit", "sox in.wav -b 16 t.wav", "t.wav", "asrc-audio: 10000"},
    {"aiff", "sox in.wav t.aiff", "t.aiff", "asrc-audio: 10000"},
    {"ogg_vorbis", "oggenc -Q in.wav -o t.ogg", "t.ogg", ""},
    {"opus", "opusenc --quiet in.wav t.opus", "t.opus", ""},
    {"flac_of_unknown_length", kStreamedFlac, "t.flac", "asrc-audio: 10000"},
    // 149 frames: numbers past 127 take two bytes in a frame's header.
    {"flac_of_unknown_length_long",
     "sox in.wav -b 16 -e signed -L -t raw - repeat 60 | flac -s --force-raw-format "
     "--endian=little --sign=signed --channels=2 --bps=16 --sample-rate=48000 - -c > t.flac "
     "2>/dev/null", "t.flac", "asrc-audio: 610000"},
}), [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- what the program keeps of its surroundings -----------------------------

struct ModeCase {
    const char* name;
    int before;  // OUTPUT's mode before the run; -1: none, -2: a link to a 0600 file
    int after;   // OUTPUT's mode after it (umask 022)
};

class OutputMode : public ::testing::TestWithParam<ModeCase> {};

// A replaced OUTPUT keeps its permissions (a private or read-only file stays
// so); a new one, or one that replaces a symbolic link, gets a new file's.
TEST_P(OutputMode, IsTheReplacedFilesOrANewFilesOne)
{
    const ModeCase c = GetParam();
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, to32(random24(1000, 9)));
    if (c.before == -2) {
        std::ofstream(dir / "target") << "x";
        fs::permissions(dir / "target", fs::perms(0600));
        fs::create_symlink("target", dir / "out.wav");
    } else if (c.before >= 0) {
        std::ofstream(dir / "out.wav") << "an earlier output";
        fs::permissions(dir / "out.wav", fs::perms(c.before));
    }
    const Outcome r = dir.audio({"-q", "0.01", "in.wav", "out.wav"}, "umask 022 && ");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(static_cast<int>(fs::symlink_status(dir / "out.wav").permissions()), c.after);
    EXPECT_EQ(read_sound(dir / "out.wav").info.frames, 991);
    if (c.before == -2) {
        EXPECT_EQ(slurp(dir / "target"), "x");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputMode,
                         ::testing::Values(ModeCase{"new", -1, 0644},
                                           ModeCase{"private", 0600, 0600},
                                           ModeCase{"read_only", 0444, 0444},
                                           ModeCase{"group_executable", 0750, 0750},
                                           ModeCase{"symbolic_link", -2, 0644}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SignalCase {
    const char* name;
    const char* shell; // before the program: what the parent set
    const char* sig;   // raised while the output is finished
    int status;        // the shell's: 128 + the signal when it ended the program
};

class InheritedSignal : public ::testing::TestWithParam<SignalCase> {};

// A hang-up or interrupt that the parent set to be ignored (nohup, a
// background job) stays ignored: the program finishes its work.  One that is
// not ends it, and the temporary file goes with it.
TEST_P(InheritedSignal, IsIgnoredOnlyWhenTheParentIgnoredIt)
{
    const SignalCase c = GetParam();
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, to32(random24(1000, 9)));
    const Outcome r = dir.audio({"-q", "0.01", "in.wav", "out.wav"},
                                std::string(c.shell) + "ASRC_TEST_RAISE_AT_FSYNC=" + c.sig + " " +
                                    preload_io_faults());
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0) {
        EXPECT_EQ(read_sound(dir / "out.wav").info.frames, 991);
    } else {
        EXPECT_EQ(dir.names(), std::set<std::string>{"in.wav"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InheritedSignal,
    ::testing::Values(SignalCase{"hangup_ignored", "trap '' HUP && ", "HUP", 0},
                      SignalCase{"interrupt_ignored", "trap '' INT && ", "INT", 0},
                      SignalCase{"hangup", "", "HUP", 128 + SIGHUP},
                      SignalCase{"interrupt", "", "INT", 128 + SIGINT},
                      SignalCase{"terminate_with_hangup_ignored", "trap '' HUP && ", "TERM",
                                 128 + SIGTERM}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- files of unknown length, reads that fail once -----------------------

enum class Oddity { streamed_wav, streamed_flac, read_fails_once };

struct UnusualCase {
    const char* name;
    Oddity oddity;
};

class UnusualInput : public ::testing::TestWithParam<UnusualCase> {};

// Files whose header gives no length, and a read that fails once (libsndfile
// reads again where it failed): converted to their end with status 0, every
// frame there.
TEST_P(UnusualInput, IsConvertedToItsEnd)
{
    const UnusualCase c = GetParam();
    Folder dir;
    const auto numbers = random24(20000, 2, 3000000);
    const bool flac = c.oddity == Oddity::streamed_flac;
    const std::string in = flac ? "in.flac" : "in.wav";
    write_sound(dir / in, (flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_24, 1,
                to32(numbers));
    if (c.oddity == Oddity::streamed_wav)
        mark_wav_streamed(dir / in);
    if (c.oddity == Oddity::streamed_flac)
        mark_flac_streamed(dir / in);
    const std::string prefix =
        c.oddity == Oddity::read_fails_once
            ? "ASRC_TEST_FAIL_READ=in.wav@30000 ASRC_TEST_FAIL_READ_ONCE=1 " + preload_io_faults()
            : "";
    const Outcome r = dir.rule({"-0.01", in, "out.wav"}, prefix);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::int16_t> expected = reference(numbers, -163);
    EXPECT_NE(r.err.find("20000 frames in, " + std::to_string(expected.size()) + " frames out"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(as16(read_sound(dir / "out.wav").samples), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnusualInput,
                         ::testing::Values(UnusualCase{"streamed_wav", Oddity::streamed_wav},
                                           UnusualCase{"streamed_flac", Oddity::streamed_flac},
                                           UnusualCase{"read_fails_once",
                                                       Oddity::read_fails_once}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the polyphase converter: depth, rates, formats, batches ---------------

// A file's samples at 32-bit scale (sf_readf_int: exact for integers up to
// 32 bits), or as doubles.
struct Sound32 {
    SF_INFO info{};
    std::vector<int> samples;
};

Sound32 read_ints(const fs::path& p)
{
    Sound32 s;
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &s.info);
    EXPECT_NE(f, nullptr) << p << ": " << sf_strerror(nullptr);
    if (f == nullptr)
        return s;
    s.samples.resize(static_cast<std::size_t>(s.info.frames * s.info.channels));
    EXPECT_EQ(sf_readf_int(f, s.samples.data(), s.info.frames), s.info.frames);
    sf_close(f);
    return s;
}

std::vector<double> read_doubles(const fs::path& p)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << p << ": " << sf_strerror(nullptr);
    if (f == nullptr)
        return {};
    std::vector<double> x(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_double(f, x.data(), info.frames), info.frames);
    sf_close(f);
    return x;
}

// One channel through the library's 24-bit converter alone: its delay and
// one frame more flushed with silence, cut to `length` frames.
std::vector<int> q31_reference(const std::vector<int>& x, std::uint64_t ratio, std::size_t length)
{
    std::vector<std::int32_t> memory(static_cast<std::size_t>(asrc_q31_memory_words(1, ratio)));
    asrc_q31_state s;
    EXPECT_EQ(asrc_q31_init(&s, memory.data(), static_cast<std::int32_t>(memory.size()), 1, ratio,
                            ratio),
              0);
    // Downsampling on the state's own rows, as asrc-audio converts.
    std::vector<std::int32_t> rows(static_cast<std::size_t>(asrc_q31_table_words(ratio)));
    EXPECT_EQ(asrc_q31_attach_table(&s, rows.data(), static_cast<std::int32_t>(rows.size())), 0);
    std::vector<std::int32_t> in(x.begin(), x.end());
    in.insert(in.end(), static_cast<std::size_t>(s.delay + 1), 0);
    auto n = static_cast<std::int32_t>(in.size());
    std::vector<std::int32_t> out(static_cast<std::size_t>(asrc_q31_max_output(n, ratio)));
    std::int32_t nout = 0;
    asrc_q31_process_block(&s, out.data(), in.data(), &n, &nout);
    EXPECT_GE(static_cast<std::size_t>(nout), length);
    out.resize(std::min(length, static_cast<std::size_t>(nout)));
    return {out.begin(), out.end()};
}

// A tone at 32-bit scale, `db` dBFS, rounded to 24 bits.
std::vector<int> tone24(std::size_t n, double f, int rate, double db)
{
    std::vector<int> x(n);
    const double a = std::pow(10.0, db / 20.0) * 8388607.0;
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<int>(
                   std::lround(a * std::sin(2 * M_PI * f / rate * static_cast<double>(i) + 0.3)))
               << 8;
    return x;
}

struct Q31Case {
    const char* name;
    int in_rate;
    int channels;
    std::vector<std::string> options; // before INPUT OUTPUT
    int to;                           // the output rate, or 0 with an offset
    double offset;
    int header_rate;
};

void PrintTo(const Q31Case& c, std::ostream* os)
{
    *os << c.name;
}

class Q31File : public ::testing::TestWithParam<Q31Case> {};

// Every channel is what the library gives for it alone, bit for bit (32-bit
// output: no rounding), whatever groups the channels are converted in, of
// the length the rates give; the header carries --to's rate, or the
// input's with an offset.
TEST_P(Q31File, EachChannelIsTheLibrarysConversion)
{
    const Q31Case c = GetParam();
    Folder dir;
    const std::size_t frames = 30011;
    const auto k = static_cast<std::size_t>(c.channels);
    std::vector<std::vector<int>> ch;
    std::vector<int> interleaved(frames * k);
    for (std::size_t j = 0; j < k; ++j) {
        // Quiet enough that nothing clips.
        ch.push_back(to32(random24(frames, 40u + static_cast<unsigned>(j), 3000000)));
        for (std::size_t i = 0; i < frames; ++i)
            interleaved[i * k + j] = ch.back()[i];
    }
    // WAV: FLAC holds at most 8 channels.
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, c.channels, interleaved,
                c.in_rate);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--bits", "32", "in.wav", "out.wav"});
    const Outcome r = dir.audio(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::uint64_t ratio =
        c.to > 0 ? asrc_q31_ratio(static_cast<std::uint32_t>(c.in_rate),
                                  static_cast<std::uint32_t>(c.to))
                 : static_cast<std::uint64_t>(
                       std::llround(static_cast<double>(ASRC_Q31_RATIO_ONE) / (1.0 - c.offset)));
    const std::size_t length =
        c.to > 0 ? (frames * static_cast<std::size_t>(c.to) + static_cast<std::size_t>(c.in_rate) - 1) /
                       static_cast<std::size_t>(c.in_rate)
                 : static_cast<std::size_t>(
                       ((static_cast<unsigned __int128>(frames) << 40) + ratio - 1) / ratio);
    const Sound32 out = read_ints(dir / "out.wav");
    EXPECT_EQ(out.info.samplerate, c.header_rate);
    EXPECT_EQ(out.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_32);
    ASSERT_EQ(out.info.channels, c.channels);
    EXPECT_EQ(static_cast<std::size_t>(out.info.frames), length);
    for (std::size_t j = 0; j < k; ++j)
        EXPECT_EQ(channel_of(out.samples, c.channels, static_cast<int>(j)),
                  q31_reference(ch[j], ratio, length))
            << "channel " << j;
    EXPECT_NE(r.err.find(std::to_string(frames) + " frames in, " + std::to_string(length) +
                         " frames out"),
              std::string::npos)
        << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Q31File,
    ::testing::Values(
        Q31Case{"to_48000_stereo", 44100, 2, {"--to", "48000"}, 48000, 0, 48000},
        Q31Case{"to_44100_three_channels", 48000, 3, {"--to=44100"}, 44100, 0, 44100},
        // More channels than one state takes.
        Q31Case{"to_96000_ten_channels", 48000, 10, {"--to", "96000"}, 96000, 0, 96000},
        // Drift correction keeps the nominal rate in the header.
        Q31Case{"offset_0_01", 48000, 1, {"0.01"}, 0, 0.01, 48000},
        Q31Case{"offset_minus_0_5_rate", 48000, 2, {"--rate", "8000", "-0.5"}, 0, -0.5, 8000}),
    [](const auto& info) { return std::string(info.param.name); });

struct SameRateCase {
    const char* name;
    int format;
};

class SameRate : public ::testing::TestWithParam<SameRateCase> {};

// Nothing to convert: every sample comes back as it was, at the input's
// depth, floats beyond full scale and below 2^-31 included.
TEST_P(SameRate, GivesTheSamplesBack)
{
    const SameRateCase c = GetParam();
    Folder dir;
    std::vector<double> x;
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const bool floating = (c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT ||
                          (c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE;
    for (int i = 0; i < 5000; ++i)
        x.push_back(u(rng));
    if (floating)
        x.insert(x.end(), {1.5, -3.0, 1e-12, -1e-30});
    write_float_sound(dir / "in.wav", SF_FORMAT_WAV | c.format, x);
    const Outcome r = dir.audio({"--to", "44100", "in.wav", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    SF_INFO in_info{};
    SF_INFO out_info{};
    sf_close(sf_open((dir / "in.wav").c_str(), SFM_READ, &in_info));
    sf_close(sf_open((dir / "out.wav").c_str(), SFM_READ, &out_info));
    EXPECT_EQ(out_info.format, in_info.format);
    EXPECT_EQ(read_doubles(dir / "out.wav"), read_doubles(dir / "in.wav"));
    EXPECT_EQ(r.err.find("dither"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Formats, SameRate,
                         ::testing::Values(SameRateCase{"pcm16", SF_FORMAT_PCM_16},
                                           SameRateCase{"pcm24", SF_FORMAT_PCM_24},
                                           SameRateCase{"pcm32", SF_FORMAT_PCM_32},
                                           SameRateCase{"float", SF_FORMAT_FLOAT},
                                           SameRateCase{"double", SF_FORMAT_DOUBLE}),
                         [](const auto& info) { return std::string(info.param.name); });

// At a reduced depth the same rate gives the samples within the dither:
// TPDF of +-1 step, then rounding, is at most 1.5 steps off, and unbiased.
TEST(SameRate, AtAReducedDepthIsWithinTheDither)
{
    Folder dir;
    const std::vector<int> x = to32(random24(20000, 11));
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, x, 44100);
    const Outcome r = dir.audio({"--bits", "16", "--to", "44100", "in.wav", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("16-bit, TPDF dither"), std::string::npos) << r.err;
    const Sound32 out = read_ints(dir / "out.wav");
    ASSERT_EQ(out.samples.size(), x.size());
    double sum = 0;
    double worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double e = (static_cast<double>(out.samples[i]) - x[i]) / 65536.0;
        sum += e;
        worst = std::max(worst, std::fabs(e));
    }
    EXPECT_LE(worst, 1.5);
    EXPECT_GT(worst, 0.5); // the dither is there
    EXPECT_LT(std::fabs(sum / static_cast<double>(x.size())), 0.05);
}

struct LevelCase {
    int in_rate;
    int out_rate;
};

class Level : public ::testing::TestWithParam<LevelCase> {};

// No hidden gain: a -1 dBFS 997 Hz tone keeps its level within 0.001 dB,
// and is as clean as 24-bit samples allow.
TEST_P(Level, OfAToneIsKept)
{
    const LevelCase c = GetParam();
    Folder dir;
    const std::vector<int> x = tone24(static_cast<std::size_t>(c.in_rate) / 2, 997, c.in_rate, -1);
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, x, c.in_rate);
    ASSERT_EQ(dir.audio({"-q", "--bits", "32", "--to", std::to_string(c.out_rate), "in.wav",
                         "out.wav"})
                  .status,
              0);
    const std::vector<int> y = read_ints(dir / "out.wav").samples;
    const auto in_fit = asrc_measure::fit_sine(x, 0, x.size(), 2 * M_PI * 997 / c.in_rate);
    const std::size_t edge = y.size() / 10;
    const auto out_fit =
        asrc_measure::fit_sine(y, edge, y.size() - edge, 2 * M_PI * 997 / c.out_rate);
    EXPECT_NEAR(20 * std::log10(out_fit.amplitude() / in_fit.amplitude()), 0.0, 0.001);
    EXPECT_GE(out_fit.sinad_db(), 135.0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Level,
                         ::testing::Values(LevelCase{44100, 48000}, LevelCase{48000, 44100},
                                           LevelCase{44100, 96000}, LevelCase{192000, 44100}),
                         [](const auto& info) {
                             return std::to_string(info.param.in_rate) + "_to_" +
                                    std::to_string(info.param.out_rate);
                         });

// A -100 dBFS tone survives a round trip 44.1 -> 48 -> 44.1 kHz in 24-bit
// files, dithered twice: its level to 0.1 dB, its noise that of the dither
// (about 38 dB below it; truncated to 16 bits it would be gone).
TEST(Depth, AQuietToneSurvivesA24BitRoundTrip)
{
    Folder dir;
    const std::vector<int> x = tone24(44100, 997, 44100, -100);
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, x, 44100);
    ASSERT_EQ(dir.audio({"-q", "--to", "48000", "in.wav", "mid.wav"}).status, 0);
    ASSERT_EQ(dir.audio({"-q", "--to", "44100", "mid.wav", "out.wav"}).status, 0);
    const Sound32 out = read_ints(dir / "out.wav");
    EXPECT_EQ(out.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    const auto in_fit = asrc_measure::fit_sine(x, 0, x.size(), 2 * M_PI * 997 / 44100);
    const auto fit =
        asrc_measure::fit_sine(out.samples, 2000, out.samples.size() - 2000, 2 * M_PI * 997 / 44100);
    EXPECT_NEAR(20 * std::log10(fit.amplitude() / in_fit.amplitude()), 0.0, 0.1);
    EXPECT_GE(fit.sinad_db(), 34.0);
}

// Power of y at frequency f (cycles per sample), Hann-windowed.
double power_at(const std::vector<int>& y, double f)
{
    double re = 0;
    double im = 0;
    const double n = static_cast<double>(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double t = static_cast<double>(i);
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * t / n);
        re += w * y[i] * std::cos(2 * M_PI * f * t);
        im += w * y[i] * std::sin(2 * M_PI * f * t);
    }
    return re * re + im * im;
}

struct DitherCase {
    const char* name;
    std::vector<std::string> options;
    bool harmonics; // whether the 3rd and 5th harmonics stand out of the noise
};

class QuietTone : public ::testing::TestWithParam<DitherCase> {};

// A -80 dBFS 1 kHz tone (3.3 steps of 16 bits) converted 44.1 -> 48 kHz
// into 16 bits: dithered, its 3rd and 5th harmonics are lost in the noise
// (within 10 dB of the median of the noise's bins); rounded, they stand
// out of it.
TEST_P(QuietTone, In16BitsHasNoHarmonicAboveTheNoise)
{
    const DitherCase c = GetParam();
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1,
                tone24(44100, 1000, 44100, -80), 44100);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-q", "--bits", "16", "--to", "48000", "in.wav", "out.wav"});
    ASSERT_EQ(dir.audio(args).status, 0);
    std::vector<int> y = read_ints(dir / "out.wav").samples;
    y.resize(48000);
    std::vector<double> noise;
    for (double f = 1100; f < 20000; f += 1000.0 / 3) // between the harmonics
        noise.push_back(power_at(y, f / 48000));
    std::nth_element(noise.begin(), noise.begin() + static_cast<long>(noise.size() / 2), noise.end());
    const double median = noise[noise.size() / 2];
    for (const int h : {3, 5}) {
        const double db = 10 * std::log10(power_at(y, 1000.0 * h / 48000) / median);
        EXPECT_EQ(db > 10.0, c.harmonics) << "harmonic " << h << ": " << db << " dB";
    }
}

INSTANTIATE_TEST_SUITE_P(Rounding, QuietTone,
                         ::testing::Values(DitherCase{"tpdf_dither", {}, false},
                                           DitherCase{"no_dither", {"--no-dither"}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

class EveryRate : public ::testing::TestWithParam<int> {};

// From each studio rate to every other: the output holds exactly the
// input's duration, and a click lands at its time within a sample.
TEST_P(EveryRate, GivesTheLengthAndTheClickAtItsTime)
{
    const int in_rate = GetParam();
    Folder dir;
    const std::size_t frames = static_cast<std::size_t>(in_rate) / 5; // 0.2 s
    const std::size_t click = frames / 2 + 7;
    std::vector<int> x(frames, 0);
    x[click] = 1 << 30;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, x, in_rate);
    for (const int to : {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400,
                         192000}) {
        if (to == in_rate)
            continue;
        const Outcome r = dir.audio({"-q", "--bits", "32", "--to", std::to_string(to), "in.wav",
                                     "out.wav"});
        ASSERT_EQ(r.status, 0) << to << ": " << r.err;
        const Sound32 out = read_ints(dir / "out.wav");
        EXPECT_EQ(out.info.samplerate, to);
        EXPECT_EQ(out.info.frames, to / 5) << to;
        const auto peak = std::max_element(out.samples.begin(), out.samples.end());
        EXPECT_NEAR(static_cast<double>(peak - out.samples.begin()),
                    static_cast<double>(click) * to / in_rate, 1.0)
            << to;
    }
}

INSTANTIATE_TEST_SUITE_P(Studio, EveryRate,
                         ::testing::Values(8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200,
                                           96000, 176400, 192000));

// An MP3 without a length tag (lame -t), whose frame count libsndfile
// estimates from its bit rate: converted to its real end, status 0, and
// written at 24 bits.
TEST(Mp3, IsConvertedToItsRealEnd)
{
    if (std::system("lame --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "lame is not installed (Debian: lame)";
    Folder dir;
    write_sound(dir / "tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, tone24(3 * 44100, 440, 44100, -6),
                44100);
    ASSERT_EQ(std::system(("lame --quiet -t " + quoted((dir / "tone.wav").string()) + " " +
                           quoted((dir / "tone.mp3").string()))
                              .c_str()),
              0);
    SF_INFO info{};
    SNDFILE* f = sf_open((dir / "tone.mp3").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<double> block(4096);
    std::int64_t real = 0;
    for (sf_count_t n; (n = sf_readf_double(f, block.data(), 4096)) > 0;)
        real += n;
    sf_close(f);
    ASSERT_NE(info.frames, real) << "the count should be an estimate here";
    const Outcome r = dir.audio({"--to", "48000", "tone.mp3", "out.wav"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Sound32 out = read_ints(dir / "out.wav");
    EXPECT_EQ(out.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    const std::int64_t expected = (real * 48000 + 44099) / 44100;
    EXPECT_EQ(out.info.frames, expected);
    EXPECT_NE(r.err.find(std::to_string(real) + " frames in, " + std::to_string(expected) +
                         " frames out"),
              std::string::npos)
        << r.err;
}

// A batch with a file that cannot be read: the others are converted, each
// as a single run converts it, one summary line each; the bad one is named
// and the status says that one failed; no temporary file is left.
TEST(Batch, ConvertsTheOthersAndNamesTheFileThatFailed)
{
    Folder dir;
    write_sound(dir / "a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, to32(random24(40000, 1, 3000000)));
    write_sound(dir / "b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, to32(random24(30000, 2, 3000000)));
    write_sound(dir / "c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 3, to32(random24(30000, 3, 3000000)));
    std::ofstream(dir / "bad.wav") << "this is not a sound file\n";
    fs::create_directory(dir / "out");
    const Outcome r = dir.audio({"--to", "44100", "a.wav", "bad.wav", "b.flac", "c.aiff",
                                 "--out-dir", "out"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot read \"bad.wav\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 of 4 files converted; failed: \"bad.wav\"\n"), std::string::npos) << r.err;
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"a.wav", "b.flac", "c.aiff"}));
    for (const char* name : {"a.wav", "b.flac", "c.aiff"}) {
        std::ostringstream line;
        line << '"' << name << "\" -> \"out/" << name << "\": ";
        EXPECT_NE(r.err.find(line.str()), std::string::npos) << r.err;
        const std::string single = std::string("single_") + name;
        ASSERT_EQ(dir.audio({"-q", "--to", "44100", name, single}).status, 0);
        EXPECT_EQ(read_ints(dir / "out" / name).samples, read_ints(dir / single).samples) << name;
    }
}

// An offset finer than the rule's step is named, with what to use, and
// converted as asrc converts it (an offset of 0).
TEST(CommandLine, AnOffsetBelowTheRulesStepIsWarnedAbout)
{
    Folder dir;
    write_sound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1, to32(random24(3000, 4)));
    const Outcome r = dir.rule({"0.00001", "in.wav", "out.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: rate offset \"0.00001\" is below the rule converter's "
                         "resolution"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("leave out --converter rule"), std::string::npos) << r.err;
    ASSERT_EQ(dir.rule({"-q", "0", "in.wav", "zero.wav"}).status, 0);
    EXPECT_EQ(read_sound(dir / "out.wav").samples, read_sound(dir / "zero.wav").samples);
}

TEST(CommandLine, VersionGoesToStandardOutput)
{
    Folder dir;
    const Outcome r = dir.audio({"--version"});
    EXPECT_EQ(r.status, 0);
    // "asrc-audio MAJOR.MINOR.PATCH ", whichever the project's version is.
    std::size_t at = std::string("asrc-audio ").size();
    bool version = r.out.rfind("asrc-audio ", 0) == 0;
    for (int part = 0; version && part < 3; ++part) {
        const std::size_t digits = at;
        while (at < r.out.size() && std::isdigit(static_cast<unsigned char>(r.out[at])))
            ++at;
        version = at > digits && at < r.out.size() && r.out[at] == (part < 2 ? '.' : ' ');
        ++at;
    }
    EXPECT_TRUE(version) << r.out;
    EXPECT_NE(r.out.find("libsndfile"), std::string::npos) << r.out;
}

TEST(Help, GoesToStandardOutputWithStatus0)
{
    Folder dir;
    for (const char* flag : {"-h", "--help"}) {
        const Outcome r = dir.audio({flag, "0.01", "x.wav", "y.mp3"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: asrc-audio [OPTIONS] RATE_OFFSET INPUT OUTPUT\n", 0), 0u)
            << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// "--" ends the options; a file named like an option can then be read.
TEST(CommandLine, DoubleDashEndsTheOptions)
{
    Folder dir;
    write_sound(dir / "-in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1,
                to32(random24(100, 1, 100000)));
    const Outcome r = dir.rule({"-q", "--", "0.01", "-in.wav", "out.wav"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Step 163 drops its first input at the 101st.
    EXPECT_EQ(read_sound(dir / "out.wav").info.frames, 100);
}

} // namespace
