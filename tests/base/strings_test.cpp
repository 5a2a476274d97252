#include "base/strings.h"

#include <gtest/gtest.h>

#include <climits>

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
