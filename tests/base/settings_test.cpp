#include "base/settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "support/test_support.h"

namespace brindle {
namespace {

using test::TempDir;

ConfigFileContent ReadText(const TempDir& dir, const std::string& text) {
    return ReadConfigFile(dir.WriteFile("config.txt", text).string());
}

TEST(ConfigFile, ReadsFiveLinesWithEitherLineEnd) {
    TempDir dir;
    auto lf = ReadText(dir, "http://h/p\nann\n/share/\nDSL,Cable\nsecret\n");
    auto crlf = ReadText(dir, "http://h/p\r\nann\r\n/share/\r\nDSL,Cable\r\nsecret\r\n");
    ASSERT_TRUE(lf.complete);
    EXPECT_EQ(lf.values, crlf.values);
    EXPECT_EQ(lf.values.serverUrl, "http://h/p");
    EXPECT_EQ(lf.values.userName, "ann");
    EXPECT_EQ(lf.values.sharedDirectory, "/share/");
    EXPECT_EQ(lf.values.connection, "DSL,Cable");
    EXPECT_EQ(lf.values.password, "secret");
}

TEST(ConfigFile, KeepsSpacesAndIgnoresExtraLines) {
    TempDir dir;
    auto content = ReadText(dir, " u \nann \n/s\nT1\npw\nsixth line\n");
    ASSERT_TRUE(content.complete);
    EXPECT_EQ(content.values.serverUrl, " u ");
    EXPECT_EQ(content.values.userName, "ann ");
    EXPECT_EQ(content.values.password, "pw");
}

TEST(ConfigFile, MissingOrEmptyLineMakesTheFileIncompleteAndClearsEverything) {
    TempDir dir;
    for (const char* text : {"u\nn\n/s\nT1\n", "u\n\n/s\nT1\npw\n", "u\n\r\n/s\nT1\npw\n", ""}) {
        auto content = ReadText(dir, text);
        EXPECT_TRUE(content.opened);
        EXPECT_FALSE(content.complete) << text;
        EXPECT_EQ(content.values, AppSettings{}) << text;
    }
    // A last line without its line feed still yields its value.
    EXPECT_TRUE(ReadText(dir, "u\nn\n/s\nT1\npw").complete);
    EXPECT_FALSE(ReadConfigFile((dir.path() / "absent.txt").string()).opened);
}

TEST(ConfigFile, LongValuesAreReadIn1023ByteParts) {
    TempDir dir;
    std::string v1022(1022, 'x');
    auto fits = ReadText(dir, "u\n" + v1022 + "\n/s\nT1\npw\n");
    ASSERT_TRUE(fits.complete);
    EXPECT_EQ(fits.values.userName, v1022);

    // 1023 bytes fill the read; the line feed alone is then read as the next line.
    std::string v1023(1023, 'x');
    EXPECT_FALSE(ReadText(dir, "u\n" + v1023 + "\n/s\nT1\npw\n").complete);

    // A longer line spills its rest into the next value.
    auto spilled = ReadText(dir, "u\n" + v1023 + "tail\n/s\nT1\npw\n");
    ASSERT_TRUE(spilled.complete);
    EXPECT_EQ(spilled.values.userName, v1023);
    EXPECT_EQ(spilled.values.sharedDirectory, "tail");
    EXPECT_EQ(spilled.values.connection, "/s");
}

// A FIFO or a directory in place of the file reads as no file, at once: a
// FIFO nobody writes to must not hold start-up.
TEST(ConfigFile, AnythingButARegularFileIsNoFile) {
    TempDir dir;
    const std::string fifo = (dir.path() / "config.txt").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return ReadConfigFile(fifo); });
    int writer = -1;
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Lets a reader blocked in the open go, so the test ends either way.
        writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "reading a FIFO blocked";
    }
    auto content = read.get();
    if (writer >= 0) {
        ::close(writer);
    }
    EXPECT_FALSE(content.opened);
    EXPECT_FALSE(content.complete);
    EXPECT_FALSE(ReadConfigFile(dir.path().string()).opened);
}

TEST(ConfigFile, WritesFiveLinesThatLoadBack) {
    TempDir dir;
    AppSettings s{"/share/", "http://h:1/p", "ann lee", "28.8K Modem", "pw"};
    auto path = (dir.path() / "config.txt").string();
    ASSERT_TRUE(WriteConfigFile(path, s));
    EXPECT_EQ(test::ReadWholeFile(path), "http://h:1/p\nann lee\n/share/\n28.8K Modem\npw\n");
    EXPECT_EQ(ReadConfigFile(path).values, s);

    // A rewrite replaces the file whole and keeps its permissions: it holds a password.
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    s.password = "changed";
    ASSERT_TRUE(WriteConfigFile(path, s));
    EXPECT_EQ(ReadConfigFile(path).values, s);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(test::DirectoryEntries(dir.path()), std::vector<std::string>{"config.txt"});
    EXPECT_FALSE(WriteConfigFile((dir.path() / "no" / "config.txt").string(), s));
}

TEST(SettingsHolder, ReadersSeeWholeSnapshots) {
    SettingsHolder holder;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto s = holder.Get();
            if (s->userName != s->password) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::string v = std::to_string(i);
        holder.Publish(AppSettings{v, v, v, v, v});
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(holder.Get()->userName, "1999");
}

}  // namespace
}  // namespace brindle
