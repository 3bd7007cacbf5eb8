// End to end: the real program, run in a folder of its own, on files made
// here.  ASRC_EXE names the program (set by the build); the environment
// variables ASRC_EXE and ASRC_RUNNER override it, so that the same cases can
// drive another build of it (ASRC_RUNNER=wine for the Windows program, whose
// output lines must then end in CR LF: ASRC_EXPECT_CRLF=1).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "conditioning.h"
#include "param_name.h"
#include "reference_converter.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

std::string env_or(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? v : fallback;
}

bool expect_crlf()
{
    return env_or("ASRC_EXPECT_CRLF", "0") == "1";
}

bool under_runner()
{
    return !env_or("ASRC_RUNNER", "").empty();
}

std::string read_file(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const fs::path& p, const std::string& text)
{
    std::ofstream f(p, std::ios::binary);
    f << text;
}

struct Outcome {
    int status = -1;
    std::string console; // standard output and error
};

// A fresh folder per test, removed afterwards.
class Folder {
public:
    Folder() : scratch_("asrc_e2e_"), dir_(scratch_.path()) {}
    const fs::path& dir() const { return dir_; }
    fs::path input() const { return dir_ / "TEST24.TXT"; }
    fs::path output() const { return dir_ / "TEST24_ASRC.TXT"; }

    // Runs the program under test with the given arguments (already quoted
    // for the shell); another program, and how to run it, if named.
    Outcome run(const std::string& args, const std::string& exe = env_or("ASRC_EXE", ASRC_EXE),
                const std::string& runner = env_or("ASRC_RUNNER", "")) const
    {
        const fs::path console = dir_ / "console.txt";
        const std::string cmd = "cd '" + dir_.string() + "' && " + runner + " '" + exe + "' " +
                                args + " > '" + console.string() + "' 2>&1 < /dev/null";
        const int raw = std::system(cmd.c_str());
        Outcome r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.console = read_file(console);
        fs::remove(console);
        if (expect_crlf()) { // the console is a text-mode stream too
            for (std::size_t at; (at = r.console.find("\r\n")) != std::string::npos;)
                r.console.erase(at, 1);
        }
        return r;
    }

    // The output file's lines, with line ends checked and taken off.
    std::vector<std::int16_t> output_samples() const
    {
        std::string text = read_file(output());
        std::vector<std::int16_t> samples;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t nl = text.find('\n', at);
            EXPECT_NE(nl, std::string::npos) << "last line has no line end";
            if (nl == std::string::npos)
                break;
            std::string line = text.substr(at, nl - at);
            if (expect_crlf()) {
                EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line without CR LF";
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
            }
            samples.push_back(static_cast<std::int16_t>(std::stoi(line)));
            at = nl + 1;
        }
        return samples;
    }

private:
    asrc_test::ScratchDir scratch_;
    const fs::path& dir_;
};

std::string numbers_text(const std::vector<std::int32_t>& numbers)
{
    std::string text;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        text += std::to_string(numbers[i]);
        // A mix of separators: line ends, CR LF, tabs, several per line.
        text += (i % 7 == 3) ? "\t" : (i % 5 == 1) ? "  " : (i % 11 == 0) ? "\r\n" : "\n";
    }
    return text;
}

// What the program must write: the conditioned numbers of every complete
// block of 16, through the reference rule.
std::vector<std::int16_t> expected_output(const std::vector<std::int32_t>& numbers,
                                          std::int16_t step)
{
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i < numbers.size() / 16 * 16; ++i)
        samples.push_back(asrc_cli::condition_sample(numbers[i]));
    asrc_test::ReferenceConverter ref;
    return ref.run(samples, step);
}

std::vector<std::int32_t> random_numbers(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::int32_t> d(-8388608, 8388607);
    std::vector<std::int32_t> v(n);
    for (auto& x : v)
        x = d(rng);
    return v;
}

// ---------------------------------------------------------------- normal runs

struct OffsetRun {
    const char* offset;
    std::int16_t step;
};

class NormalRun : public ::testing::TestWithParam<OffsetRun> {};

TEST_P(NormalRun, WritesTheConvertedStreamOfEveryCompleteBlock)
{
    Folder f;
    const auto numbers = random_numbers(16 * 40 + 11, 7);
    write_file(f.input(), numbers_text(numbers));
    write_file(f.output(), "stale contents\n");
    const Outcome r = f.run(GetParam().offset);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(f.output_samples(), expected_output(numbers, GetParam().step));
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, NormalRun,
    ::testing::Values(OffsetRun{"0", 0}, OffsetRun{"0.01", 163}, OffsetRun{"-0.01", -163},
                      OffsetRun{"0.5", 8192}, OffsetRun{"-0.1", -1638},
                      // Three or more inserts per block: past the 18 entries
                      // a block of 16 used to have room for.
                      OffsetRun{"-0.15", -2457}, OffsetRun{"-1.5", -24576},
                      OffsetRun{"-2.0", -32768},
                      // A step of one sample drops every second input; above
                      // it everything is dropped.
                      OffsetRun{"1.0", 16384}, OffsetRun{"1.5", 24576}),
    [](const auto& info) { return asrc_test::param_name(info.param.offset); });

// Several megabytes: numbers cut by every buffer boundary of the reader and
// lines cut by the writer's.
TEST(NormalRunLarge, ConvertsAcrossManyBuffers)
{
    Folder f;
    const auto numbers = random_numbers(16 * 40000 + 9, 21);
    write_file(f.input(), numbers_text(numbers));
    const Outcome r = f.run("-0.1");
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(f.output_samples() == expected_output(numbers, -1638));
}

TEST(Conditioning, WorkedValuesReachTheOutput)
{
    Folder f;
    const std::vector<std::int32_t> numbers = {25600, -1,  256, 8388607, -8388608, 512, 768, 1024,
                                               -512,  -768, 1,  2,       3,        4,   5,   6};
    write_file(f.input(), numbers_text(numbers));
    const Outcome r = f.run("0");
    ASSERT_EQ(r.status, 0) << r.console;
    // Step 0 delays by one sample: 0 first, then the conditioned inputs
    // (truncated toward zero: -512 gives -1.98, so -1).
    const std::vector<std::int16_t> expected = {0,   99,   0,    0, 32439, -32440, 1, 2,
                                                3,   -1,   -2,   0, 0,     0,      0, 0};
    EXPECT_EQ(f.output_samples(), expected);
}

TEST(EndRule, OnlyCompleteBlocksAreConverted)
{
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 0}, {15, 0}, {16, 16}, {40, 32}};
    for (const auto& [numbers, outputs] : cases) {
        Folder f;
        std::vector<std::int32_t> v(numbers, 25600);
        write_file(f.input(), numbers_text(v));
        const Outcome r = f.run("0");
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_EQ(f.output_samples().size(), outputs) << numbers << " numbers";
        EXPECT_TRUE(fs::exists(f.output()));
    }
}

// ------------------------------------------------------------------ bad input

struct BadArgs {
    const char* name;
    const char* args;
};

class CommandLine : public ::testing::TestWithParam<BadArgs> {};

TEST_P(CommandLine, IsRefusedWithStatus2AndNoFileTouched)
{
    Folder f;
    write_file(f.input(), numbers_text(std::vector<std::int32_t>(32, 1000)));
    const Outcome r = f.run(GetParam().args);
    EXPECT_EQ(r.status, 2);
    if (std::string(GetParam().name) == "none")
        EXPECT_NE(r.console.find("Usage: asrc RATE_OFFSET"), std::string::npos) << r.console;
    else
        EXPECT_NE(r.console.find("Invalid rate offset"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("-2.0 up to (not including) 2.0"), std::string::npos) << r.console;
    EXPECT_FALSE(fs::exists(f.output())) << "the output file was created";

    // An existing output file is left as it was.
    write_file(f.output(), "keep me\n");
    EXPECT_EQ(f.run(GetParam().args).status, 2);
    EXPECT_EQ(read_file(f.output()), "keep me\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLine,
    ::testing::Values(BadArgs{"none", ""}, BadArgs{"letters", "abc"}, BadArgs{"empty", "''"},
                      BadArgs{"trailing", "0.01x"}, BadArgs{"comma", "0,01"},
                      BadArgs{"nan", "nan"}, BadArgs{"inf", "inf"}, BadArgs{"two", "2.0"},
                      BadArgs{"four", "4.0"}, BadArgs{"huge", "1e10"},
                      // Below -2.0, though its step truncates to -2.0's.
                      BadArgs{"below_minus_two", "-2.00006"}),
    [](const auto& info) { return std::string(info.param.name); });

struct InputFault {
    const char* name;
    std::string bad;     // put after two full blocks and a partial one
    std::string message; // expected on the console
};

class MalformedInput : public ::testing::TestWithParam<InputFault> {};

TEST_P(MalformedInput, KeepsTheBlocksBeforeAndNamesTheLine)
{
    Folder f;
    // 32 numbers on lines 1..32, then 5 more on line 33..37, then the fault
    // on line 38, then more numbers that must not be read.
    std::string text;
    for (int i = 0; i < 37; ++i)
        text += std::to_string((i + 1) * 256) + "\n";
    text += "  " + GetParam().bad + " 512\n";
    for (int i = 0; i < 40; ++i)
        text += "256\n";
    write_file(f.input(), text);
    const Outcome r = f.run("0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, GetParam().message + "\n");
    std::vector<std::int16_t> expected;
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < 32; ++i)
        numbers.push_back((i + 1) * 256);
    EXPECT_EQ(f.output_samples(), expected_output(numbers, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedInput,
    ::testing::Values(
        InputFault{"word", "abc", "Error in input file at line 38: \"abc\" is not a number"},
        InputFault{"lone_sign", "-", "Error in input file at line 38: \"-\" is not a number"},
        InputFault{"double_sign", "+-5",
                   "Error in input file at line 38: \"+-5\" is not a number"},
        InputFault{"glued_letters", "300abc",
                   "Error in input file at line 38: \"abc\" is not a number"},
        InputFault{"control_bytes", "\x01\x7f",
                   "Error in input file at line 38: \"\\x01\\x7F\" is not a number"},
        InputFault{"too_big", "2147483648",
                   "Error in input file at line 38: \"2147483648\" is outside the 32-bit "
                   "integer range"},
        InputFault{"too_small", "-2147483649",
                   "Error in input file at line 38: \"-2147483649\" is outside the 32-bit "
                   "integer range"},
        InputFault{"nul_byte", std::string("\0", 1),
                   "Error in input file at line 38: \"\\x00\" is not a number"},
        // Ctrl-Z with more after it is no end mark: nothing is cut short.
        InputFault{"ctrl_z_mid_file", "\x1A",
                   "Error in input file at line 38: \"\\x1A\" is not a number"},
        InputFault{"high_bytes", "\x80\xff\xfe",
                   "Error in input file at line 38: \"\\x80\\xFF\\xFE\" is not a number"},
        // A 10-megabyte item is named by its first 40 bytes.
        InputFault{"ten_megabyte_item", std::string(10 << 20, 'q'),
                   "Error in input file at line 38: \"" + std::string(40, 'q') +
                       "...\" is not a number"}),
    [](const auto& info) { return std::string(info.param.name); });

// Inputs that are odd but not wrong: nothing but white space, the 32-bit
// limits themselves, one line of 10 megabytes.
TEST(OddInput, IsConvertedAsUsual)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::int32_t> numbers; // as read
    };
    std::vector<std::int32_t> limits;
    for (int i = 0; i < 8; ++i) {
        limits.push_back(INT32_MAX);
        limits.push_back(INT32_MIN);
    }
    const auto many = random_numbers((10 << 20) / 8, 9); // about 10 MB as text
    std::string one_line;
    for (std::int32_t v : many)
        one_line += std::to_string(v) + ' ';
    const Case cases[] = {
        {"white_space_only", std::string(100000, ' ') + "\n\t\r\n", {}},
        {"limits", numbers_text(limits), limits},
        {"ten_megabyte_line", one_line, many},
        // An old editor's Ctrl-Z end mark, last or followed by white space.
        {"ctrl_z_end_mark", numbers_text(limits) + "\x1A", limits},
        {"ctrl_z_then_white_space", numbers_text(limits) + "\x1A\r\n \r\n", limits},
    };
    for (const Case& c : cases) {
        Folder f;
        write_file(f.input(), c.text);
        const Outcome r = f.run("0.01");
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.console;
        EXPECT_EQ(r.console, "") << c.name;
        EXPECT_TRUE(f.output_samples() == expected_output(c.numbers, 163)) << c.name;
    }
}

// About 100 MB of input: converted whole, in bounded memory.
TEST(OddInput, HundredMegabytesAreConverted)
{
    Folder f;
    const auto numbers = random_numbers(12'500'000, 13);
    write_file(f.input(), numbers_text(numbers));
    ASSERT_GT(fs::file_size(f.input()), 95'000'000u);
    const Outcome r = f.run("-0.01");
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(f.output_samples() == expected_output(numbers, -163));
}

TEST(Files, MissingInputIsReportedWithStatus1)
{
    Folder f;
    const Outcome r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "Error opening input file\n");
}

TEST(Files, UnopenableOutputIsReportedWithStatus1)
{
    Folder f;
    write_file(f.input(), numbers_text(std::vector<std::int32_t>(32, 1000)));
    fs::create_directory(f.output());
    Outcome r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "Error opening output file\n");

    fs::remove(f.input()); // both opens are attempted, in order
    r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "Error opening input file\nError opening output file\n");
}

TEST(Files, InputThatCannotBeReadIsReportedWithStatus1)
{
    Folder f;
    fs::create_directory(f.input());
    const Outcome r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    // Windows refuses to open a folder; elsewhere the open works and the read fails.
    if (under_runner())
        EXPECT_EQ(r.console, "Error opening input file\n");
    else
        EXPECT_EQ(r.console, "Error reading input file\n");
}

TEST(Files, FullDiskIsReportedWithStatus1)
{
    if (under_runner() || !fs::exists("/dev/full"))
        GTEST_SKIP() << "needs /dev/full and a native program";
    Folder f;
    write_file(f.input(), numbers_text(random_numbers(16 * 100, 3)));
    fs::create_symlink("/dev/full", f.output());
    const Outcome r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "Error writing output file\n");
}

// A fault after the disk filled: both are reported, the status stays 1.
TEST(Files, FullDiskAndABadItemAreBothReported)
{
    if (under_runner() || !fs::exists("/dev/full"))
        GTEST_SKIP() << "needs /dev/full and a native program";
    Folder f;
    write_file(f.input(), numbers_text(random_numbers(16 * 100, 3)) + "oops\n");
    fs::create_symlink("/dev/full", f.output());
    const Outcome r = f.run("0.01");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.console.find("\"oops\" is not a number\n"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("Error writing output file\n"), std::string::npos) << r.console;
}

// ------------------------------------------------- another build of the same

// Runs the program of ASRC_NATIVE_EXE in the same folder and returns its
// output file.
std::string native_output(const Folder& f, const std::string& args)
{
    const Outcome r = f.run(args, env_or("ASRC_NATIVE_EXE", ""), "");
    EXPECT_EQ(r.status, 0) << r.console;
    return read_file(f.output());
}

std::string without_cr(std::string text)
{
    std::erase(text, '\r');
    return text;
}

// Every 16-bit value at 24-bit scale (the whole range the conditioning
// maps), numbers far outside 24 bits, and the shipped sample, at offsets
// that drop, insert and wrap: the two builds must agree byte for byte.
TEST(OtherBuild, GivesTheNativeProgramsOutput)
{
    if (env_or("ASRC_NATIVE_EXE", "").empty())
        GTEST_SKIP() << "set ASRC_NATIVE_EXE to compare with the native program";
    std::vector<std::int32_t> numbers;
    for (std::int32_t k = -32768; k < 32768; ++k)
        numbers.push_back(k * 256 + (k & 255));
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i)
        numbers.push_back(static_cast<std::int32_t>(rng()));
    const std::string inputs[] = {numbers_text(numbers),
                                  read_file(fs::path(ASRC_SOURCE_DIR) / "samples/TEST24.TXT")};
    for (const std::string& input : inputs) {
        for (const char* offset : {"0", "0.01", "-0.1", "0.75", "-1.5"}) {
            Folder f;
            write_file(f.input(), input);
            const Outcome r = f.run(offset);
            ASSERT_EQ(r.status, 0) << r.console;
            const std::string ours = read_file(f.output());
            if (expect_crlf()) {
                EXPECT_EQ(std::count(ours.begin(), ours.end(), '\r'),
                          std::count(ours.begin(), ours.end(), '\n'))
                    << "a line without CR LF";
            }
            const std::string theirs = native_output(f, offset);
            ASSERT_FALSE(theirs.empty());
            EXPECT_TRUE(without_cr(ours) == theirs) << "outputs differ at offset " << offset;
        }
    }
}

} // namespace
