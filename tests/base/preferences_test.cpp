#include "base/preferences.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_support.h"

namespace brindle {
namespace {

using test::ReadWholeFile;
using test::TempDir;

PreferencesFileContent ReadText(const TempDir& dir, const std::string& text) {
    return ReadPreferencesFile(dir.WriteFile("preferences.conf", text).string());
}

TEST(PreferencesFile, MissingFileGivesDefaults) {
    TempDir dir;
    PreferencesFileContent content = ReadPreferencesFile(dir.str() + "/none.conf");
    EXPECT_FALSE(content.exists);
    EXPECT_EQ(content.values, Preferences{});
    EXPECT_EQ(content.values.uploadSlots, 8u);
}

TEST(PreferencesFile, ReadsKeysWithSpacesAndComments) {
    TempDir dir;
    auto content = ReadText(dir,
                            "# mine\n  upload_slots=3\r\nupload_limit_kib = 2048 \n"
                            "\ndownload_limit_kib\t=\t10\nnotifications = off\n"
                            "port_mapping = no\n");
    EXPECT_TRUE(content.problems.empty());
    EXPECT_EQ(content.values.uploadSlots, 3u);
    EXPECT_EQ(content.values.uploadLimitKiB, 2048);
    EXPECT_EQ(content.values.downloadLimitKiB, 10);
    EXPECT_FALSE(content.values.notifications);
    EXPECT_FALSE(content.values.portMapping);
}

struct BadLine {
    const char* line;
    const char* problem;
};

class PreferencesBadLine : public testing::TestWithParam<BadLine> {};

TEST_P(PreferencesBadLine, KeepsTheDefaultAndNamesTheLine) {
    TempDir dir;
    auto content = ReadText(dir, std::string("# first\n") + GetParam().line + "\n");
    EXPECT_EQ(content.values, Preferences{});
    ASSERT_EQ(content.problems.size(), 1u);
    EXPECT_EQ(content.problems[0], std::string("line 2: ") + GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PreferencesBadLine,
    testing::Values(BadLine{"upload_slots = 0", "upload_slots must be 1 to 64"},
                    BadLine{"upload_slots = 65", "upload_slots must be 1 to 64"},
                    BadLine{"upload_slots = 4x", "upload_slots must be 1 to 64"},
                    BadLine{"upload_limit_kib = -1",
                            "upload_limit_kib must be 0 (no limit) to 4194304"},
                    BadLine{"download_limit_kib = 99999999999999999999",
                            "download_limit_kib must be 0 (no limit) to 4194304"},
                    BadLine{"notifications = maybe", "notifications must be true or false"},
                    BadLine{"port_mapping = 2", "port_mapping must be true or false"},
                    BadLine{"colour = blue", "unknown key colour"}));

TEST(PreferencesFile, WriteKeepsCommentsAndUnknownLinesAndRoundTrips) {
    TempDir dir;
    const auto path = dir.WriteFile("sub/preferences.conf",
                                    "# keep me\nupload_limit_kib = 5\ncolour = blue\n"
                                    "upload_limit_kib = 7\n");
    Preferences values;
    values.uploadSlots = 12;
    values.uploadLimitKiB = 300;
    values.notifications = false;
    ASSERT_TRUE(WritePreferencesFile(path.string(), values));
    EXPECT_EQ(ReadWholeFile(path),
              "# keep me\nupload_limit_kib = 300\ncolour = blue\nupload_slots = 12\n"
              "download_limit_kib = 0\nnotifications = false\nport_mapping = true\n");
    EXPECT_EQ(ReadPreferencesFile(path.string()).values, values);
    // Port mapping is on unless the file turns it off, and a change is written in place.
    EXPECT_TRUE(Preferences{}.portMapping);
    values.portMapping = false;
    ASSERT_TRUE(WritePreferencesFile(path.string(), values));
    EXPECT_EQ(ReadWholeFile(path),
              "# keep me\nupload_limit_kib = 300\ncolour = blue\nupload_slots = 12\n"
              "download_limit_kib = 0\nnotifications = false\nport_mapping = false\n");
    EXPECT_EQ(ReadPreferencesFile(path.string()).values, values);
}

TEST(PreferencesFile, WriteCreatesTheFolderAndAPrivateFile) {
    TempDir dir;
    const std::string path = dir.str() + "/a/b/preferences.conf";
    Preferences values;
    values.downloadLimitKiB = 2048;
    ASSERT_TRUE(WritePreferencesFile(path, values));
    EXPECT_EQ(ReadPreferencesFile(path).values, values);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(PreferencesFile, PathFollowsXdgConfigHome) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = oldXdg != nullptr ? oldXdg : "";
    const char* home = std::getenv("HOME");
    ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
    EXPECT_EQ(DefaultPreferencesPath(), "/x/conf/brindlenet/preferences.conf");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(DefaultPreferencesPath(),
              std::string(home ? home : "") + "/.config/brindlenet/preferences.conf");
    if (oldXdg != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace brindle
