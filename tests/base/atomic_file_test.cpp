#include "base/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/preferences.h"
#include "base/settings.h"
#include "support/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::ReadWholeFile;
using test::TempDir;

struct SavedFile {
    const char* name;
    std::function<bool(const std::string& path)> save;
    const char* savedLine;  // a line the saved text holds
};

void PrintTo(const SavedFile& value, std::ostream* out) {
    *out << value.name;
}

class SaveThroughLinkTest : public ::testing::TestWithParam<SavedFile> {};

// A file kept elsewhere and linked into place (a dotfiles folder, say) stays
// linked: the save goes to the link's target, whether the link is relative or
// absolute, and also when the target is not there yet.
TEST_P(SaveThroughLinkTest, KeepsTheLinkAndChangesItsTarget) {
    const SavedFile& file = GetParam();
    for (const char* kind : {"relative", "absolute", "dangling"}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        fs::path target = dir.path() / "kept" / "real";
        fs::create_directories(target.parent_path());
        if (kind != std::string("dangling")) {
            dir.WriteFile("kept/real", "old\n");
        }
        const fs::path link = dir.path() / "home" / file.name;
        fs::create_directories(link.parent_path());
        fs::create_symlink(kind == std::string("absolute") ? target : fs::path("../kept/real"),
                           link);

        ASSERT_TRUE(file.save(link.string()));
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
        EXPECT_NE(ReadWholeFile(target).find(file.savedLine), std::string::npos)
            << ReadWholeFile(target);
        EXPECT_EQ(test::DirectoryEntries(target.parent_path()), std::vector<std::string>{"real"});
        EXPECT_EQ(test::DirectoryEntries(link.parent_path()), std::vector<std::string>{file.name});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SaveThroughLinkTest,
    ::testing::Values(
        SavedFile{"config.txt",
                  [](const std::string& path) {
                      AppSettings settings{"/share/", "http://h/p", "ann", "T1", "pw"};
                      return WriteConfigFile(path, settings);
                  },
                  "ann\n"},
        SavedFile{"preferences.conf",
                  [](const std::string& path) {
                      Preferences values;
                      values.uploadSlots = 9;
                      return WritePreferencesFile(path, values);
                  },
                  "upload_slots = 9\n"}),
    [](const auto& info) {
        return std::string(info.param.name) == "config.txt" ? "ConfigTxt" : "PreferencesConf";
    });

}  // namespace
}  // namespace brindle
