// Number syntax, number formatting, text helpers and epoch-time arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "common/file.hpp"
#include "common/inline_text.hpp"
#include "common/numbers.hpp"
#include "common/text.hpp"
#include "common/unicode.hpp"
#include "rinex/epoch_time.hpp"

using namespace tessora;

TEST(NumberSyntax, FloatsAcceptDecimalSyntaxAndWords) {
    EXPECT_EQ(parse_float("45.000"), 45.0);
    EXPECT_EQ(parse_float("+1.5"), 1.5);
    EXPECT_EQ(parse_float("-0.25"), -0.25);
    EXPECT_EQ(parse_float("1."), 1.0);
    EXPECT_EQ(parse_float(".5"), 0.5);
    EXPECT_EQ(parse_float("1e3"), 1000.0);
    EXPECT_EQ(parse_float("2.5E-2"), 0.025);
    EXPECT_TRUE(std::isinf(*parse_float("INF")));
    EXPECT_TRUE(std::isinf(*parse_float("-Infinity")));
    EXPECT_LT(*parse_float("-inf"), 0);
    EXPECT_TRUE(std::isnan(*parse_float("NaN")));
    EXPECT_TRUE(std::isnan(*parse_float("nAn")));
    // Huge exponents are still numbers.
    EXPECT_TRUE(std::isinf(*parse_float("1e400")));
    EXPECT_EQ(*parse_float("1e-400"), 0.0);
}

TEST(NumberSyntax, FloatsRejectOtherText) {
    for (const char* bad : {"", "+", "-", ".", "e5", "1e", "1.2.3", "1D3", "0x10", "--1", "+-1", "nan(1)", "infin",
                            " 1", "1 ", "1,5", "abc"})
        EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(NumberSyntax, FastPathAgreesWithCorrectRounding) {
    // Values the F14.3 fast path handles must equal the correctly rounded decimal value.
    const char* samples[] = {"23619095.450", "0.001", "123456789012.345", "99999999999.999", "-0.3", "0.1",
                             "1234567.891"};
    for (const char* s : samples) EXPECT_EQ(*parse_float(s), std::strtod(s, nullptr)) << s;
    // More than 15 digits takes the general path and is still exact.
    EXPECT_EQ(*parse_float("1234567890123456789"), 1234567890123456789.0);
    EXPECT_EQ(*parse_float("0.30000000000000004"), 0.30000000000000004);
}

TEST(NumberSyntax, IntegersCheckSignAndWidth) {
    EXPECT_EQ(parse_uint<std::uint8_t>("255"), 255);
    EXPECT_FALSE(parse_uint<std::uint8_t>("256"));
    EXPECT_EQ(parse_uint<std::uint8_t>("+7"), 7);
    EXPECT_FALSE(parse_uint<std::uint8_t>("-0"));
    EXPECT_FALSE(parse_uint<std::uint32_t>("+"));
    EXPECT_FALSE(parse_uint<std::uint32_t>("1a"));
    EXPECT_EQ(parse_uint<std::uint32_t>("4294967295"), 4294967295u);
    EXPECT_FALSE(parse_uint<std::uint32_t>("4294967296"));
    EXPECT_EQ(parse_int<std::int32_t>("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_FALSE(parse_int<std::int32_t>("2147483648"));
    EXPECT_EQ(parse_int<std::int32_t>("-7"), -7);
    EXPECT_EQ(parse_int<std::int32_t>("+24"), 24);
    EXPECT_FALSE(parse_int<std::int32_t>("-"));
}

TEST(NumberFormat, FixedDecimalsRoundTiesToEven) {
    EXPECT_EQ(format_fixed(3.04, 2), "3.04");
    EXPECT_EQ(format_fixed(0.0, 2), "0.00");
    EXPECT_EQ(format_fixed(0.125, 2), "0.12");   // exact binary tie -> even
    EXPECT_EQ(format_fixed(0.375, 2), "0.38");   // exact binary tie -> even
    EXPECT_EQ(format_fixed(2.5, 0), "2");
    EXPECT_EQ(format_fixed(3.5, 0), "4");
    EXPECT_EQ(format_fixed(0.35, 1), "0.3");     // 0.35 is below the tie in binary
    EXPECT_EQ(format_fixed(-0.04, 1), "-0.0");
    EXPECT_EQ(format_fixed(std::nan(""), 1), "NaN");
    EXPECT_EQ(format_fixed(-INFINITY, 3), "-inf");
    EXPECT_EQ(format_fixed(INFINITY, 3), "inf");
}

TEST(NumberFormat, ShortestPlain) {
    EXPECT_EQ(format_shortest_plain(12.5), "12.5");
    EXPECT_EQ(format_shortest_plain(10.0), "10");
    EXPECT_EQ(format_shortest_plain(1e21), "1000000000000000000000");
    EXPECT_EQ(format_shortest_plain(1e-7), "0.0000001");
    EXPECT_EQ(format_shortest_plain(0.1), "0.1");
}

TEST(NumberFormat, JsonNotation) {
    auto j = [](double v) {
        std::string s;
        append_json_number(s, v);
        return s;
    };
    EXPECT_EQ(j(30.0), "30.0");
    EXPECT_EQ(j(1500.0), "1500.0");
    EXPECT_EQ(j(1e15), "1000000000000000.0");
    EXPECT_EQ(j(1e16), "1e+16");
    EXPECT_EQ(j(1e-5), "0.00001");
    EXPECT_EQ(j(1e-6), "1e-6");
    EXPECT_EQ(j(1.5e-7), "1.5e-7");
    EXPECT_EQ(j(0.25), "0.25");
    EXPECT_EQ(j(123.456), "123.456");
    EXPECT_EQ(j(1.2345678901234568e20), "1.2345678901234568e+20");
    EXPECT_EQ(j(0.0), "0.0");
    EXPECT_EQ(j(-0.0), "-0.0");
    EXPECT_EQ(j(NAN), "null");
    EXPECT_EQ(j(-INFINITY), "null");
}

TEST(Text, LossyUtf8ReplacesMaximalSubparts) {
    auto fix = [](std::string_view s) {
        std::string out;
        append_utf8_lossy(out, s);
        return out;
    };
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(fix("a\xFF" "b"), "a" + r + "b");
    EXPECT_EQ(fix("\xE2\x82"), r);                 // truncated 3-byte sequence: one replacement
    EXPECT_EQ(fix("\xE2\x82" "A"), r + "A");
    EXPECT_EQ(fix("\xED\xA0\x80"), r + r + r);     // surrogates are invalid byte by byte
    EXPECT_EQ(fix("\xC3\xA9"), "\xC3\xA9");        // valid stays
    EXPECT_EQ(fix("\xF0\x9F\x98"), r);
    EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xC0\x80"));
}

TEST(Text, LinesAndTrimming) {
    auto lines = split_lines("a\r\nb\n\nc");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "c");
    EXPECT_EQ(split_lines("a\n").size(), 1u);
    EXPECT_EQ(split_lines("").size(), 0u);
    EXPECT_EQ(trim("\t x \xC2\xA0"), "x");                // NBSP is white space
    EXPECT_EQ(trim("\xE3\x80\x80y\xE2\x80\xAF"), "y");    // ideographic space, narrow NBSP
    EXPECT_EQ(trim("\xC3\xA9"), "\xC3\xA9");
    auto tok = split_whitespace("  C1C\tL1C\xE2\x80\x83S1C ");
    ASSERT_EQ(tok.size(), 3u);
    EXPECT_EQ(tok[2], "S1C");
}

TEST(Text, ColumnCutsNeverSplitCharacters) {
    const std::string line = "ab\xC3\xA9" "cd";  // é occupies bytes 2-3
    EXPECT_EQ(column(line, 0, 3), "ab");          // end moved back
    EXPECT_EQ(column(line, 3, 6), "cd");          // start moved forward
    EXPECT_EQ(column(line, 2, 4), "\xC3\xA9");
    EXPECT_EQ(column(line, 10, 20), "");
    EXPECT_EQ(column(line, 4, 100), "cd");
}

TEST(Text, UnicodeProperties) {
    EXPECT_TRUE(starts_with_letter("S1C"));
    EXPECT_TRUE(starts_with_letter("\xC3\xA9x"));   // é
    EXPECT_FALSE(starts_with_letter("1C"));
    EXPECT_FALSE(starts_with_letter("\xEF\xBF\xBD"));  // U+FFFD is not alphabetic
    EXPECT_EQ(to_upper_unicode("gps biir-2 stra\xC3\x9F" "e"), "GPS BIIR-2 STRASSE");
}

TEST(FileName, LastNormalComponent) {
    EXPECT_EQ(file_name_of("data/site0010.24o"), "site0010.24o");
    EXPECT_EQ(file_name_of("data/"), "data");
    EXPECT_EQ(file_name_of("a//b/./"), "b");
    EXPECT_EQ(file_name_of("/"), "unknown.obs");
    EXPECT_EQ(file_name_of("x/.."), "unknown.obs");
    EXPECT_EQ(file_name_of("."), "unknown.obs");
    EXPECT_EQ(file_name_of(""), "unknown.obs");
    EXPECT_EQ(file_name_of("./f.obs"), "f.obs");
}

TEST(FileRead, ErrorsCarryTheOsText) {
    std::string out, err;
    EXPECT_FALSE(read_whole_file("/nonexistent/dir/file", out, err));
    EXPECT_EQ(err, "No such file or directory (os error 2)");
    EXPECT_FALSE(read_whole_file(std::string_view("a\0b", 3), out, err));
    EXPECT_EQ(err, "file name contained an unexpected NUL byte");
    EXPECT_FALSE(read_whole_file("/", out, err));
    EXPECT_EQ(err, "Is a directory (os error 21)");
}

TEST(EpochTimeText, FixedWidthForm) {
    EXPECT_EQ(epoch_text({2024, 3, 5, 7, 4, 9.5}), "2024-03-05T07:04:09.500Z");
    EXPECT_EQ(epoch_text({2023, 12, 31, 23, 59, 59.9996}), "2023-12-31T23:59:60.000Z");
    EXPECT_EQ(epoch_text({5, 1, 1, 0, 0, 0.0}), "0005-01-01T00:00:00.000Z");
    auto back = parse_epoch_text("2024-03-05T07:04:09.500Z");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->hour, 7u);
    EXPECT_EQ(back->second, 9.5);
    EXPECT_FALSE(parse_epoch_text("garbage"));
}

TEST(EpochTimeArithmetic, JulianDateAndDifferences) {
    EXPECT_EQ(julian_date({1980, 1, 6, 0, 0, 0.0}), 2444245.0);
    // J2000.0 is JD 2451545.0 at 12:00; this scale is the astronomical date plus 0.5.
    EXPECT_EQ(julian_date({2000, 1, 1, 12, 0, 0.0}), 2451545.5);
    // Julian dates near 2.46e6 carry about 40 microseconds of resolution.
    EXPECT_NEAR(seconds_between({2024, 3, 1, 0, 0, 0.0}, {2024, 2, 28, 23, 59, 30.0}), 86430.0, 1e-4);
    EXPECT_NEAR(seconds_between({2024, 1, 2, 1, 0, 0.0}, {2024, 1, 1, 23, 0, 0.0}), 7200.0, 1e-4);
    EXPECT_LT(seconds_between({2024, 1, 1, 0, 0, 0.0}, {2024, 1, 1, 0, 0, 30.0}), 0.0);
}

TEST(InlineTextValue, ShortAndLongTextsCopyMoveAndCompare) {
    const std::string stamp = "2024-03-05T07:09:03.500Z";
    const std::string edge(InlineText::kInlineCapacity, 'x');
    const std::string longer = edge + "y";
    for (const std::string& s : {std::string(), stamp, edge, longer, std::string("a\0b", 3)}) {
        InlineText t(s);
        EXPECT_EQ(t.view(), s);
        EXPECT_EQ(t.size(), s.size());
        InlineText copy(t);
        InlineText moved(std::move(t));
        EXPECT_EQ(copy, s);
        EXPECT_EQ(moved, s);
        EXPECT_TRUE(t.empty());  // a moved-from text is empty and still usable
        t = longer;
        EXPECT_EQ(t, longer);
        copy = copy;  // self-assignment keeps the text
        EXPECT_EQ(copy, s);
        InlineText other("zz");
        other.swap(moved);
        EXPECT_EQ(other, s);
        EXPECT_EQ(moved, "zz");
        moved = std::move(other);
        EXPECT_EQ(moved, s);
        std::ostringstream os;
        os << moved;
        EXPECT_EQ(os.str(), s);
    }
    EXPECT_FALSE(InlineText(stamp) == InlineText(edge));
    EXPECT_TRUE(std::string(stamp) == InlineText(stamp));
}
