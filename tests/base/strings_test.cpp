#include "base/strings.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>

namespace brindle {
namespace {

struct AtolCase {
    const char* text;
    long long value;
    bool hasDigits;
    bool overflowed;
};

class AtolReading : public ::testing::TestWithParam<AtolCase> {};

TEST_P(AtolReading, ReadsTheLeadingNumberWithSignAndSaturation) {
    const AtolCase& c = GetParam();
    const LeadingNumber number = ReadLeadingNumber(c.text);
    EXPECT_EQ(number.value, c.value) << c.text;
    EXPECT_EQ(number.hasDigits, c.hasDigits) << c.text;
    EXPECT_EQ(number.overflowed, c.overflowed) << c.text;
    EXPECT_EQ(ParseLongLikeAtol(c.text), c.value) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtolReading,
    ::testing::Values(AtolCase{"100", 100, true, false}, AtolCase{"  42x", 42, true, false},
                      AtolCase{"10abc", 10, true, false}, AtolCase{"\t\n+7", 7, true, false},
                      AtolCase{"  \t-5", -5, true, false}, AtolCase{"3\r\n", 3, true, false},
                      AtolCase{"", 0, false, false}, AtolCase{"abc", 0, false, false},
                      AtolCase{"- 5", 0, false, false}, AtolCase{"-", 0, false, false},
                      AtolCase{"9223372036854775807", LLONG_MAX, true, false},
                      AtolCase{"99999999999999999999999", LLONG_MAX, true, true},
                      AtolCase{"9223372036854775808", LLONG_MAX, true, true},
                      AtolCase{"-9223372036854775808", LLONG_MIN, true, false},
                      AtolCase{"-99999999999999999999999", LLONG_MIN, true, true}));

struct DecimalCase {
    const char* text;
    std::optional<long long> value;
};

class DecimalReading : public ::testing::TestWithParam<DecimalCase> {};

// Plain digits within the range are a number; every other spelling is refused.
TEST_P(DecimalReading, TakesOnlyPlainDigitsWithinTheRange) {
    const DecimalCase& c = GetParam();
    EXPECT_EQ(ParseDecimal<long long>(c.text, -5, 1000), c.value) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalReading,
    ::testing::Values(DecimalCase{"0", 0}, DecimalCase{"1000", 1000}, DecimalCase{"007", 7},
                      DecimalCase{"-5", -5}, DecimalCase{"-6", std::nullopt},
                      DecimalCase{"1001", std::nullopt}, DecimalCase{"", std::nullopt},
                      DecimalCase{"-", std::nullopt}, DecimalCase{"+5", std::nullopt},
                      DecimalCase{" 5", std::nullopt}, DecimalCase{"5 ", std::nullopt},
                      DecimalCase{"1e3", std::nullopt}, DecimalCase{"--1", std::nullopt},
                      DecimalCase{"99999999999999999999", std::nullopt}));

TEST(Strings, DecimalOfAnUnsignedTypeRefusesASignAndReadsItsWholeRange) {
    EXPECT_EQ(ParseDecimal<unsigned>("-0"), std::nullopt);
    EXPECT_EQ(ParseDecimal<unsigned>("4294967295"), 4294967295u);
    EXPECT_EQ(ParseDecimal<unsigned>("4294967296"), std::nullopt);
    EXPECT_EQ(ParseDecimal<long long>("-9223372036854775808"), LLONG_MIN);
}

TEST(Strings, CompareIgnoringAsciiCaseAndTrim) {
    EXPECT_TRUE(EqualsIgnoringCase("Song.MP3", "song.mp3"));
    EXPECT_FALSE(EqualsIgnoringCase("song.mp3", "song.mp"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));  // only ASCII letters fold
    EXPECT_EQ(DirectoryPrefix("/srv/share"), "/srv/share/");
    EXPECT_EQ(DirectoryPrefix("/srv/share/"), "/srv/share/");
    EXPECT_EQ(DirectoryPrefix(""), "");
    EXPECT_EQ(TrimTrailing("10.0.0.1\r\n\t", "\r\n\t"), "10.0.0.1");
    EXPECT_EQ(TrimTrailing("\n\n", "\n"), "");
}

}  // namespace
}  // namespace brindle
