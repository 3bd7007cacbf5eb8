// The program's units on their own: the shared helpers of cli/ (the rate
// offset, the conditioning, the stretched rows), the reader (cut into every
// piece size) and the writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "conditioning.h"
#include "param_name.h"
#include "reader_harness.h"
#include "reference_reader.h"
#include "rate_offset.h"
#include "sample_reader.h"
#include "sample_writer.h"
#include "stretched_rows.h"

namespace {

using asrc_driver::SampleReader;
using Result = SampleReader::Result;

// ---------------------------------------------------------------- rate offset

struct OffsetCase {
    const char* text;
    std::optional<std::int16_t> step;
};

class RateOffset : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(RateOffset, GivesStepOrRefuses)
{
    EXPECT_EQ(asrc_cli::parse_rate_offset(GetParam().text), GetParam().step)
        << "\"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, RateOffset,
    ::testing::Values(OffsetCase{"0", 0}, OffsetCase{"0.01", 163}, OffsetCase{"-0.01", -163},
                      OffsetCase{"0.5", 8192}, OffsetCase{"-0.1", -1638},
                      OffsetCase{"1e-3", 16}, OffsetCase{"+0.25", 4096},
                      OffsetCase{"1.0", 16384}, OffsetCase{"1.99993896484375", 32767},
                      OffsetCase{"1.9999999", 32767}, OffsetCase{"-2.0", -32768},
                      OffsetCase{"-1.99999", -32767}, OffsetCase{"1e-400", 0},
                      // Refused: not a number as a whole, not finite, a step
                      // that would wrap (2.0 gave -32768, 4.0 gave 0), or below
                      // -2.0 where the step would still truncate to -32768.
                      OffsetCase{"", std::nullopt}, OffsetCase{"abc", std::nullopt},
                      OffsetCase{"0.01x", std::nullopt}, OffsetCase{"0,01", std::nullopt},
                      OffsetCase{"nan", std::nullopt}, OffsetCase{"inf", std::nullopt},
                      OffsetCase{"-inf", std::nullopt}, OffsetCase{"2.0", std::nullopt},
                      OffsetCase{"4.0", std::nullopt}, OffsetCase{"-2.0001", std::nullopt},
                      OffsetCase{"-2.00006", std::nullopt},
                      OffsetCase{"-2.0000000001", std::nullopt},
                      OffsetCase{"1e10", std::nullopt}, OffsetCase{"0.5 ", std::nullopt}),
    [](const auto& info) { return asrc_test::param_name(info.param.text); });

// --------------------------------------------------------------- conditioning

TEST(Conditioning, MatchesTheWorkedValues)
{
    const std::pair<std::int32_t, std::int16_t> cases[] = {
        {-1, 0},          {256, 0},          {25600, 99}, // 100 * 0.99 is exactly 99.0
        {8388607, 32439}, {-8388608, -32440}, {0, 0},      {255, 0},
        {-256, 0},        {-257, -1},         // -2 * 0.99 = -1.98 -> -1
        {INT32_MAX, -18352}, // (2^23 - 1) * 0.99 -> 8304720, whose low 16 bits wrap
    };
    for (const auto& [v, expected] : cases)
        EXPECT_EQ(asrc_cli::condition_sample(v), expected) << v;
}

// The product is rounded to double before truncation, for every 16-bit
// value: an extended-precision product would land below the whole numbers
// that 0.99 * k hits exactly in double.
TEST(Conditioning, RoundsTheProductToDouble)
{
    for (std::int32_t k = -32768; k < 32768; ++k) {
        volatile double product = static_cast<double>(k) * 0.99; // forced to memory
        const auto expected = static_cast<std::int16_t>(static_cast<std::int32_t>(product));
        ASSERT_EQ(asrc_cli::condition_sample(k * 256), expected) << k;
    }
}

// ------------------------------------------------------------- stretched rows

// None at the full band; filled for a downward ratio; kept (not filled
// again) while the stride stays; filled again when it changes.
TEST(StretchedRows, FilledOnlyWhenTheStrideNeedsThem)
{
    std::unique_ptr<asrc_poly_rows> rows;
    EXPECT_EQ(asrc_cli::stretched_rows(ASRC_POLY_RATIO_FULL_BAND, rows), nullptr);
    EXPECT_EQ(rows, nullptr) << "nothing allocated at the full band";

    const std::uint32_t down = asrc_poly_ratio(48000, 44100);
    const asrc_poly_rows* first = asrc_cli::stretched_rows(down, rows);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->stride, asrc_poly_stride(down));
    const auto fresh = std::make_unique<asrc_poly_rows>();
    asrc_poly_rows_init(fresh.get(), down);
    EXPECT_EQ(first->hi[7], fresh->hi[7]);

    rows->hi[7] = static_cast<std::int16_t>(fresh->hi[7] + 1); // marks a refill
    const std::uint32_t near = down + 1;                        // the same stride
    ASSERT_EQ(asrc_poly_stride(near), first->stride);
    EXPECT_EQ(asrc_cli::stretched_rows(near, rows), first);
    EXPECT_EQ(rows->hi[7], fresh->hi[7] + 1) << "filled again for the same stride";

    const std::uint32_t further = asrc_poly_ratio(80000, 44100);
    ASSERT_NE(asrc_poly_stride(further), first->stride);
    EXPECT_EQ(asrc_cli::stretched_rows(further, rows), first) << "one allocation";
    EXPECT_EQ(rows->stride, asrc_poly_stride(further));
}

// --------------------------------------------------------------------- reader

using asrc_test::PieceSource;
using asrc_test::read_all;

struct ReadCase {
    const char* name;
    std::string text;
    std::vector<std::int32_t> numbers;
    Result stop;
    std::int64_t line = 0;   // of the fault
    std::string fault_text;  // of the fault
};

class Reader : public ::testing::TestWithParam<ReadCase> {};

TEST_P(Reader, ReadsAsPercentDDoesInEveryPieceSize)
{
    const ReadCase& c = GetParam();
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                              std::size_t{1} << 20}) {
        PieceSource source(c.text, piece);
        SampleReader reader(source);
        const asrc_test::ReadAll got = read_all(reader, piece == 3);
        EXPECT_EQ(got.numbers, c.numbers) << "piece " << piece;
        EXPECT_EQ(got.stop, c.stop) << "piece " << piece;
        if (c.stop == Result::malformed || c.stop == Result::out_of_range) {
            EXPECT_EQ(reader.fault_line(), c.line) << "piece " << piece;
            EXPECT_EQ(std::string(reader.fault_text()), c.fault_text) << "piece " << piece;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Reader,
    ::testing::Values(
        ReadCase{"empty", "", {}, Result::end, 0, ""},
        ReadCase{"only_space", " \t\r\n\v\f\n", {}, Result::end, 0, ""},
        ReadCase{"lines", "1\n-2\n+3\n", {1, -2, 3}, Result::end, 0, ""},
        ReadCase{"crlf", "10\r\n-20\r\n", {10, -20}, Result::end, 0, ""},
        ReadCase{"no_final_line_end", "7 8", {7, 8}, Result::end, 0, ""},
        ReadCase{"tabs_and_runs", "\t1\t\t2   3\n\n\n4", {1, 2, 3, 4}, Result::end, 0, ""},
        ReadCase{"sign_glued", "12-5+6", {12, -5, 6}, Result::end, 0, ""},
        ReadCase{"leading_zeros", "-0000000000000000000042 007", {-42, 7}, Result::end, 0, ""},
        ReadCase{"limits", "2147483647 -2147483648", {2147483647, INT32_MIN}, Result::end, 0, ""},
        ReadCase{"past_max", "1\n2147483648", {1}, Result::out_of_range, 2, "2147483648"},
        ReadCase{"past_min", "-2147483649", {}, Result::out_of_range, 1, "-2147483649"},
        ReadCase{"huge", "\n\n99999999999999999999999", {}, Result::out_of_range, 3,
                 "99999999999999999999999"},
        ReadCase{"letters_after_number", "300abc", {300}, Result::malformed, 1, "abc"},
        ReadCase{"word", "1 2\n  x9 3", {1, 2}, Result::malformed, 2, "x9"},
        ReadCase{"lone_minus", "256 - 512", {256}, Result::malformed, 1, "-"},
        ReadCase{"lone_sign_at_end", "5\n+", {5}, Result::malformed, 2, "+"},
        ReadCase{"double_sign", "+-5", {}, Result::malformed, 1, "+-5"},
        ReadCase{"decimal_point", "1.5", {1}, Result::malformed, 1, ".5"},
        ReadCase{"nul_byte", std::string("4\n\0\n", 4), {4}, Result::malformed, 2,
                 std::string(1, '\0')},
        ReadCase{"binary", "\x80\xff", {}, Result::malformed, 1, "\x80\xff"},
        // Ctrl-Z: the end when only white space follows, else a fault.
        ReadCase{"ctrl_z_last", "1 2\x1A", {1, 2}, Result::end, 0, ""},
        ReadCase{"ctrl_z_then_space", "1\r\n2\x1A\r\n \n", {1, 2}, Result::end, 0, ""},
        ReadCase{"ctrl_z_then_number", "1\n\x1A\n2", {1}, Result::malformed, 2, "\x1A"},
        ReadCase{"ctrl_z_glued", "1 \x1A\x1A", {1}, Result::malformed, 1, "\x1A\x1A"},
        ReadCase{"ctrl_z_after_sign", "-\x1A", {}, Result::malformed, 1, "-\x1A"},
        // White space longer than the reader's buffer, spaces and line ends.
        ReadCase{"long_white_space",
                 "1" + std::string(200000, ' ') + "\n-2" + std::string(100000, '\n') + "x",
                 {1, -2}, Result::malformed, 100002, "x"},
        ReadCase{"long_item_cut", std::string(100, 'z'), {}, Result::malformed, 1,
                 std::string(SampleReader::kMaxFaultText, 'z')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderBuffer, NumbersAcrossManyRefillsKeepTheirLines)
{
    // More than one buffer's worth, so the real refill runs too.
    std::string text;
    const int count = 40000;
    for (int i = 0; i < count; ++i)
        text += std::to_string(i * 37 - 500000) + (i % 3 == 0 ? "\r\n" : "\n");
    text += "oops";
    // Odd pieces, and pieces that fill the whole buffer at once.
    for (std::size_t piece : {std::size_t{7777}, std::size_t{1} << 20}) {
        PieceSource source(text, piece);
        SampleReader reader(source);
        std::int32_t v = 0;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(reader.next(&v), Result::number) << "piece " << piece;
            ASSERT_EQ(v, i * 37 - 500000);
        }
        EXPECT_EQ(reader.next(&v), Result::malformed);
        EXPECT_EQ(reader.fault_line(), count + 1);
    }
}

TEST(ReaderBuffer, ASourceErrorIsAReadErrorNotTheEnd)
{
    // A number cut short by the error is not taken: its digits may go on in
    // the bytes that were lost.
    const std::pair<const char*, std::vector<std::int32_t>> cases[] = {
        {"1 2 ", {1, 2}}, {"1 2", {1}}, {"1 -", {1}}};
    for (const auto& [text, numbers] : cases) {
        PieceSource source(text, 2, /*fail_at_end=*/true);
        SampleReader reader(source);
        const asrc_test::ReadAll got = read_all(reader);
        EXPECT_EQ(got.stop, Result::read_error) << text;
        EXPECT_EQ(got.numbers, numbers) << text;
    }
}

// Random texts built from the characters that matter (digits, signs, white
// space, letters, NUL, bytes above 127) against the byte-by-byte reference,
// in random piece sizes: the word-at-a-time path must agree everywhere.
TEST(ReaderRandom, AgreesWithTheReferenceOnRandomTexts)
{
    std::mt19937 rng(5);
    const std::string alphabet = std::string("0123456789000001111999-+ \n\n\r\t\v\fa.") +
                                 std::string(1, '\0') + "\x80\xff";
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const std::size_t len = pick(round < 19900 ? 40 : 200000);
        // Mostly plausible numbers, with the odd stray character.
        while (text.size() < len) {
            if (pick(4) != 0) {
                if (pick(2) == 0)
                    text += pick(2) == 0 ? '-' : '+';
                text += std::to_string(pick(2) == 0 ? pick(100) : static_cast<std::size_t>(rng()) * 3);
                text += pick(3) == 0 ? " " : "\n";
            } else {
                text += alphabet[pick(alphabet.size())];
            }
        }
        const asrc_test::ReferenceRead expected = asrc_test::reference_read(text);
        PieceSource source(text, 1 + pick(round % 2 == 0 ? 9 : 70000));
        SampleReader reader(source);
        const asrc_test::ReadAll got = read_all(reader, round % 3 == 0);
        ASSERT_EQ(got.numbers, expected.numbers) << "round " << round;
        ASSERT_EQ(asrc_test::stop_name(got.stop), expected.stop) << "round " << round;
        if (got.stop != Result::end) {
            ASSERT_EQ(reader.fault_line(), expected.line) << "round " << round;
            ASSERT_EQ(std::string(reader.fault_text()), expected.text);
            ASSERT_EQ(reader.fault_text_cut(), expected.cut);
        }
    }
}

// --------------------------------------------------------------------- writer

std::string written_by(const std::vector<std::int16_t>& samples, std::size_t piece)
{
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    asrc_driver::SampleWriter writer(f);
    for (std::size_t at = 0; at < samples.size(); at += piece)
        EXPECT_TRUE(writer.write(samples.data() + at, std::min(piece, samples.size() - at)));
    EXPECT_TRUE(writer.flush());
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(f);
    return text;
}

TEST(Writer, FormatsLikePrintfAcrossBufferRefills)
{
    std::vector<std::int16_t> samples;
    for (std::int32_t v = -32768; v <= 32767; v += 3)
        samples.push_back(static_cast<std::int16_t>(v));
    samples.push_back(32767);
    std::string expected;
    char line[16];
    for (std::int16_t s : samples) {
        std::snprintf(line, sizeof line, "%d\n", s);
        expected += line;
    }
    EXPECT_EQ(written_by(samples, 18), expected);
    EXPECT_EQ(written_by(samples, samples.size()), expected);
}

} // namespace
