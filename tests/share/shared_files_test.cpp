#include "share/shared_files.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "support/test_support.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;
using test::FakeProgressFactory;
using test::TempDir;

std::vector<std::string> Names(const SharedFileList& files) {
    std::vector<std::string> names;
    for (const auto& file : files) {
        names.push_back(file.name);
    }
    return names;
}

// The order a depth-first walk meets the regular files of a plain tree, taking
// each directory's entries as the file system lists them.
void ExpectedOrder(const fs::path& dir, const std::string& prefix, std::vector<std::string>& out) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            ExpectedOrder(entry.path(), prefix + name + "\\", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

RescanResult Rescan(const std::string& setting) {
    FakeProgressFactory progress;
    return RescanSharedFiles(setting, progress);
}

std::string Canonical(const fs::path& path) {
    return fs::canonical(path).string() + "/";
}

TEST(SharedFilesScan, ListsNestedFilesDepthFirstInDirectoryOrder) {
    TempDir dir;
    dir.WriteFile("share/a.txt", "aaa");
    dir.WriteFile("share/sub/x.bin", "x");
    dir.WriteFile("share/sub/deeper/y.bin", "yy");
    dir.WriteFile("share/sub/w.bin", "");
    dir.WriteFile("share/z.txt", "zzzz");
    dir.WriteFile("share/.hidden", "h");
    fs::create_directories(dir.path() / "share/empty/emptier");

    std::vector<std::string> expected;
    ExpectedOrder(dir.path() / "share", "", expected);
    ASSERT_EQ(expected.size(), 6u);

    RescanResult result = Rescan(dir.str() + "/share");
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.sharedDirectory, dir.str() + "/share/");
    EXPECT_EQ(Names(result.files), expected);
    EXPECT_EQ(LookupSharedFileSize(result.files, "sub\\deeper\\y.bin"), 2);
    EXPECT_EQ(LookupSharedFileSize(result.files, "z.txt"), 4);
    EXPECT_EQ(LookupSharedFileSize(result.files, "sub\\w.bin"), 0);
}

TEST(SharedFilesScan, EmptyTreesAndMissingDirectories) {
    TempDir dir;
    fs::create_directories(dir.path() / "empty");
    fs::create_directories(dir.path() / "hollow/a/b");
    fs::create_directories(dir.path() / "hollow/c");

    for (const char* tree : {"empty", "hollow"}) {
        RescanResult result = Rescan((dir.path() / tree).string());
        EXPECT_TRUE(result.ok) << tree;
        EXPECT_TRUE(result.files.empty()) << tree;
    }

    RescanResult missing = Rescan(dir.str() + "/nothing-here");
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.files.empty());
    EXPECT_EQ(missing.sharedDirectory, dir.str() + "/nothing-here/");

    FakeProgressFactory progress;
    RescanResult empty = RescanSharedFiles("", progress);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.sharedDirectory, "");
    EXPECT_EQ(progress.log(), (std::vector<std::string>{"open", "close"}));
}

TEST(SharedFilesScan, LinksAndSpecialFiles) {
    TempDir dir;
    fs::path share = dir.path() / "share";
    dir.WriteFile("share/real.mp3", "12345");
    dir.WriteFile("share/sub/inner.txt", "ab");
    dir.WriteFile("outside/far.txt", "far");
    fs::create_directory_symlink("..", share / "sub/loop");  // a loop back to the root
    fs::create_directory_symlink(".", share / "self");       // a loop onto itself
    fs::create_directory_symlink(dir.path() / "outside", share / "elsewhere");
    fs::create_symlink(share / "real.mp3", share / "link.mp3");  // link to a file: listed
    fs::create_symlink(share / "gone", share / "dangling");
    ASSERT_EQ(::mkfifo((share / "pipe").c_str(), 0600), 0);

    int unixSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socketPath = (share / "sock").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(unixSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // Names that cannot be sent: "\" inside one level, a line break, longer than a line.
    std::string level(250, 'd');
    dir.WriteFile("share/" + level + "/" + level + "/" + level + "/" + level + "/" + level + "/x",
                  "e");
    dir.WriteFile("share/back\\slash.txt", "b");
    dir.WriteFile("share/odd\\dir/hidden.txt", "c");
    dir.WriteFile("share/line\nbreak.txt", "d");
    dir.WriteFile("share/.brindlenet-12-3.part", "half a download");

    RescanResult result = Rescan(share.string());
    ::close(unixSocket);
    ASSERT_TRUE(result.ok);
    std::vector<std::string> names = Names(result.files);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"link.mp3", "real.mp3", "sub\\inner.txt"}));
    EXPECT_EQ(LookupSharedFileSize(result.files, "link.mp3"), 5);
}

// The longest relative name that is still published fills a 1023-byte line
// with its line feed. Levels are at most 255 bytes, so the names are nested.
TEST(SharedFilesScan, NamesUpTo1022BytesArePublished) {
    TempDir dir;
    const std::string levels = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                               std::string(200, 'c') + "/" + std::string(200, 'd') + "/";
    const std::string fits = levels + std::string(1022 - levels.size(), 'f');
    const std::string over = levels + std::string(1023 - levels.size(), 'o');
    dir.WriteFile("share/" + fits, "1");
    dir.WriteFile("share/" + over, "2");

    RescanResult result = Rescan(dir.str() + "/share");
    ASSERT_TRUE(result.ok);
    std::string published = fits;
    std::replace(published.begin(), published.end(), '/', '\\');
    ASSERT_EQ(published.size(), 1022u);
    EXPECT_EQ(result.files, (SharedFileList{{published, 1}}));
}

TEST(SharedFilesScan, RelativeSettingIsNormalised) {
    TempDir dir;
    dir.WriteFile("share/sub/a b.mp3", "data");
    fs::create_directories(dir.path() / "share/other");
    fs::path relative = fs::relative(dir.path() / "share", fs::current_path());
    std::string setting = (relative / "." / "other" / "..").string();

    FakeProgressFactory progress;
    RescanResult result = RescanSharedFiles(setting, progress);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.sharedDirectory, Canonical(dir.path() / "share"));
    EXPECT_EQ(result.files, (SharedFileList{{"sub\\a b.mp3", 4}}));
    EXPECT_EQ(progress.log(),
              (std::vector<std::string>{"open", "status:Found: sub\\a b.mp3", "close"}));
    EXPECT_EQ(NormalizeSharedDirectory("/srv/share"), "/srv/share/");
    EXPECT_EQ(NormalizeSharedDirectory("/srv/./music/../share/"), "/srv/share/");
}

TEST(SharedFilesScan, SizesBeyondFourGiBStayWhole) {
    TempDir dir;
    fs::path big = dir.WriteFile("share/big.iso", "");
    std::error_code error;
    fs::resize_file(big, 5LL << 30, error);  // sparse: costs no disk
    if (error) {
        GTEST_SKIP() << "no sparse files here: " << error.message();
    }
    RescanResult result = Rescan((dir.path() / "share").string());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.files, (SharedFileList{{"big.iso", 5368709120LL}}));
}

TEST(SharedFilesScan, UnreadableDirectories) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    TempDir dir;
    dir.WriteFile("share/ok.txt", "1");
    dir.WriteFile("share/locked/secret.txt", "2");
    fs::permissions(dir.path() / "share/locked", fs::perms::none);
    RescanResult result = Rescan((dir.path() / "share").string());
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(Names(result.files), (std::vector<std::string>{"ok.txt"}));

    fs::permissions(dir.path() / "share", fs::perms::none);
    RescanResult top = Rescan((dir.path() / "share").string());
    EXPECT_FALSE(top.ok);
    EXPECT_TRUE(top.files.empty());
}

TEST(ThrottledStatusTest, ShowsAtMostOncePerIntervalAndFlushesTheLast) {
    using namespace std::chrono_literals;
    FakeProgressFactory progress;
    auto window = progress.OpenProgress();
    auto start = std::chrono::steady_clock::time_point{} + 1h;
    auto now = start;
    ThrottledStatus status(window.get(), 100ms, [&] { return now; });

    status.Set("a");  // first text: at once
    now = start + 50ms;
    status.Set("b");
    now = start + 99ms;
    status.Set("c");
    now = start + 100ms;
    status.Set("d");  // interval over
    status.Flush();   // nothing held back
    now = start + 150ms;
    status.Set("e");
    status.Flush();
    EXPECT_EQ(progress.log(),
              (std::vector<std::string>{"open", "status:a", "status:d", "status:e"}));

    ThrottledStatus silent(nullptr, 100ms, [&] { return now; });
    silent.Set("x");
    silent.Flush();
}

TEST(SharedFilesHolderTest, LookupsSeeWholeListsWhileRescansPublish) {
    SharedFilesHolder holder;
    EXPECT_TRUE(holder.Get()->files.empty());
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            auto folder = holder.Get();
            const SharedFileList* list = &folder->files;
            // Every published list holds n files named "0".."n-1" of size n.
            for (std::size_t i = 0; i < list->size(); ++i) {
                if ((*list)[i].size != static_cast<long long>(list->size()) ||
                    LookupSharedFileSize(*list, std::to_string(i)) != (*list)[i].size) {
                    ++torn;
                }
            }
        }
    });
    for (int n = 1; n <= 300; ++n) {
        SharedFileList files;
        for (int i = 0; i < n; ++i) {
            files.push_back({std::to_string(i), n});
        }
        holder.Publish({"/share/", std::move(files)});
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(holder.Get()->files.size(), 300u);
}

}  // namespace
}  // namespace brindle
