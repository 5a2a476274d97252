// Names that try to leave the shared directory, on both sides of a transfer:
// the upload side refuses them without opening any file (watched with
// inotify), and a download named after them never writes outside the shared
// directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "faults/fault_support.h"
#include "peer/download.h"
#include "peer/peer_listener.h"
#include "peer/transfer_commands.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class NoDisplay : public IMessageDisplay {
  public:
    void AppendLine(const std::string&) override {}
};

// Counts files opened in the watched directories.
class OpenWatch {
  public:
    OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool Watch(const fs::path& directory) {
        return fd_ >= 0 && ::inotify_add_watch(fd_, directory.c_str(), IN_OPEN | IN_ACCESS) >= 0;
    }
    // The names opened or read since the last call.
    std::vector<std::string> Take() {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0) {
                return names;
            }
            for (char* at = buffer; at < buffer + got;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                names.emplace_back(event->len ? event->name : "<the directory itself>");
                at += sizeof(inotify_event) + event->len;
            }
        }
    }

  private:
    int fd_;
};

// A shared directory inside a sandbox that also holds a file outside it.
struct Sandbox {
    TempDir root;
    fs::path share = root.path() / "share";
    const std::string secret = "not for strangers\n";
    const std::string song = "song bytes";

    Sandbox() {
        root.WriteFile("secret.txt", secret);
        root.WriteFile("share/song.mp3", song);
        root.WriteFile("share/sub/deep.txt", "deep");
        root.WriteFile("share/unlisted.txt", "shared directory, but not in the list");
    }
};

std::string Request(const std::string& name) {
    return "GET\n" + name + "\nann\nT1\n";
}

std::string Fetch(int port, const std::string& request) {
    Socket socket = ConnectLoopback(port);
    if (!socket || !SendAll(socket.fd(), request)) {
        return "<no connection>";
    }
    bool closed = false;
    std::string got = ReadUntilClosed(socket.fd(), 10s, &closed);
    return closed ? got : got + "<no close>";
}

// Printable form of a name for failure messages.
std::string Shown(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

const std::vector<std::string> kEscapingNames = {
    "../secret.txt",
    "..\\secret.txt",
    "/etc/passwd",
    "sub/../../secret.txt",
    "sub\\..\\..\\secret.txt",
    "sub/deep.txt/../../../secret.txt",
    "..",
    ".",
    "sub",
    "",
    std::string("song.mp3\0../secret.txt", 23),
    std::string("song.mp3\0", 9),
    "song.mp3\x01",
    "\x1b[2Jsong.mp3",
    "%2e%2e/secret.txt",
    "~/secret.txt",
    "SONG.MP3",
    "song.mp3/",
    "unlisted.txt",
    // Listed below as well: refused for their parts, not for being unlisted.
    "\\song.mp3",
    "sub\\\\deep.txt",
    "sub\\.\\deep.txt",
    "sub\\..",
    "a..b.txt\\..\\..\\secret.txt",
};

// Full stops inside a part are ordinary characters.
const std::vector<std::string> kDottedNames = {"a..b.txt", "Vol..2.mp3", "...",
                                               "sub\\..x..\\y..txt"};

// A listener on loopback serving `share` with `list` published.
struct ServingPeer {
    ServingPeer(const fs::path& share, SharedFileList list) {
        files.Publish({share.string() + "/", std::move(list)});
        PeerOptions options;
        options.port = 0;
        options.listenAddress = "127.0.0.1";
        options.requestTimeout = 2s;
        listener = std::make_unique<PeerListener>(display, messages, files, options);
    }
    SharedFilesHolder files;
    NoDisplay display;
    FakeMessageBox messages;
    std::unique_ptr<PeerListener> listener;
};

TEST(UploadSide, RefusesEveryEscapingOrUnlistedNameWithoutOpeningAFile) {
    Sandbox box;
    // The list as a scan makes it, plus names no scan produces but a damaged
    // or hand-made list might hold: the upload side must refuse them itself.
    ServingPeer peer(box.share,
                     {{"song.mp3", static_cast<long long>(box.song.size())},
                      {"sub\\deep.txt", 4},
                      {"../secret.txt", static_cast<long long>(box.secret.size())},
                      {"..\\secret.txt", static_cast<long long>(box.secret.size())},
                      {"sub\\..\\..\\secret.txt", static_cast<long long>(box.secret.size())},
                      {"\\song.mp3", static_cast<long long>(box.song.size())},
                      {"sub\\\\deep.txt", 4},
                      {"sub\\.\\deep.txt", 4},
                      {"sub\\..", 4},
                      {"a..b.txt\\..\\..\\secret.txt", static_cast<long long>(box.secret.size())}});
    PeerListener& listener = *peer.listener;
    ASSERT_TRUE(listener.Start());

    OpenWatch watch;
    ASSERT_TRUE(watch.Watch(box.root.path()));
    ASSERT_TRUE(watch.Watch(box.share));
    ASSERT_TRUE(watch.Watch(box.share / "sub"));

    for (const std::string& name : kEscapingNames) {
        SCOPED_TRACE("name " + Shown(name));
        EXPECT_EQ(Fetch(listener.port(), Request(name)), "");
    }
    ASSERT_TRUE(WaitFor([&] { return listener.pendingConnections() == 0; }));
    EXPECT_EQ(watch.Take(), std::vector<std::string>{});
    EXPECT_EQ(listener.uploadRecords().RowCount(), 0u);

    // The watch does see the opens of a request that is served.
    EXPECT_EQ(Fetch(listener.port(), Request("song.mp3")), box.song);
    ASSERT_TRUE(WaitFor([&] {
        auto record = listener.uploadRecords().Record(0);
        return record && record->IsFinished();
    }));
    auto opened = watch.Take();
    EXPECT_NE(std::find(opened.begin(), opened.end(), "song.mp3"), opened.end());
}

TEST(UploadSide, ServesListedNamesWithFullStopsInsideAPart) {
    Sandbox box;
    SharedFileList list;
    for (const std::string& name : kDottedNames) {
        std::string path = name;
        std::replace(path.begin(), path.end(), '\\', '/');
        box.root.WriteFile("share/" + path, "bytes of " + name);
        list.push_back({name, static_cast<long long>(("bytes of " + name).size())});
    }
    ServingPeer peer(box.share, list);
    ASSERT_TRUE(peer.listener->Start());
    for (const std::string& name : kDottedNames) {
        EXPECT_EQ(Fetch(peer.listener->port(), Request(name)), "bytes of " + name) << name;
    }
}

// A peer that answers every request with the same bytes, whatever it asks.
TEST(DownloadSide, NoRemoteNameWritesOutsideTheSharedDirectory) {
    Sandbox box;
    const std::string payload = "sixteen bytes!!\n";
    ScriptedServer peer([&](int fd) {
        char byte;
        for (int lines = 0; lines < 4 && ::recv(fd, &byte, 1, 0) == 1;) {
            lines += byte == '\n' ? 1 : 0;
        }
        static_cast<void>(SendAll(fd, payload));
    });
    const std::vector<std::string> remoteNames = {
        "../x",
        "..\\x",
        "/etc/passwd",
        "sub/../../x",
        "sub\\..\\..\\x",
        "..",
        ".",
        "",
        "a\\..",
        "a/",
        std::string("x\0/../../y", 10),
        "\x01\x7f control.txt",
        "C:\\Windows\\win.ini",
        "\\\\server\\share\\..\\..\\z",
    };
    auto before = [&] {
        std::set<std::string> all;
        for (const auto& entry : fs::recursive_directory_iterator(box.root.path())) {
            all.insert(fs::relative(entry.path(), box.root.path()).string());
        }
        return all;
    };
    const std::set<std::string> outside = before();

    TransferTable downloads;
    ThreadGroup threads;
    FakeMessageBox messages;
    PeerOptions options;
    options.port = peer.port();
    options.stallTimeout = 2s;
    for (const std::string& remote : remoteNames) {
        SCOPED_TRACE("remote name " + Shown(remote));
        SearchResultsTable results;
        results.Append({remote, "mallory", "T1", std::to_string(payload.size()), "127.0.0.1"});
        DownloadStarter starter{downloads, threads, messages, box.share.string() + "/", options};
        StartDownloadResult started = StartDownloadRecord(starter, results, 0);
        if (started == StartDownloadResult::Started) {
            auto record = downloads.Record(downloads.RowCount() - 1);
            ASSERT_TRUE(WaitFor([&] { return record->IsFinished(); }));
        }
        downloads.ClearFinished();
    }
    threads.JoinAll();

    // Everything new is a plain file directly inside the shared directory.
    std::set<std::string> added;
    for (const std::string& path : before()) {
        if (outside.count(path) || path == std::string("share/") + kPartKeyName) {
            continue;
        }
        added.insert(path);
        SCOPED_TRACE("new entry " + Shown(path));
        fs::path full = box.root.path() / path;
        EXPECT_EQ(full.parent_path(), box.share);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(full)));
        EXPECT_EQ(ReadWholeFile(full), payload);
    }
    EXPECT_EQ(ReadWholeFile(box.root.path() / "secret.txt"), box.secret);
    // The names that end in a usable last part did download, inside.
    for (const char* name : {"share/x", "share/passwd", "share/win.ini", "share/z"}) {
        EXPECT_TRUE(added.count(name)) << name;
    }
}

}  // namespace
}  // namespace brindle::test
