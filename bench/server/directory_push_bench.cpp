// The waiting line's cost: threads and memory of a directory server holding
// 10,000 peers waiting for pushes, and searches and pushes while they wait.
// The waiting clients run in a child process so the server's figures are its
// own.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"

using namespace brindle::server;
using namespace brindle::server::bench;

namespace {

constexpr int kWaiting = 10000;

long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    std::string prefix = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The child: opens the waiting requests, reports on `ready`, then holds them
// until `done` closes.
[[noreturn]] void HoldWaiting(int port, int ready, int done) {
    RaiseDescriptorLimit();
    std::vector<int> fds;
    for (int i = 0; i < kWaiting; ++i) {
        int fd = Connect(port);
        if (fd < 0) {
            break;
        }
        std::string body = "event=onWaitForPush&userName=idle" + std::to_string(i) + "&password=pw";
        std::string request = ClientRequest(body, port);
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
        fds.push_back(fd);
    }
    int opened = static_cast<int>(fds.size());
    (void)!::write(ready, &opened, sizeof opened);
    char byte;
    (void)!::read(done, &byte, 1);
    _exit(0);
}

}  // namespace

int main() {
    RaiseDescriptorLimit();
    if (!PasswordHasher::Initialize()) {
        return 1;
    }
    ScratchDir scratch;
    std::string error;
    auto store = SqliteStore::Open((scratch.path() / "push.db").string(), error);
    if (!store) {
        std::fprintf(stderr, "cannot open the store: %s\n", error.c_str());
        return 1;
    }
    PasswordHasher hasher(PasswordHasher::Minimum());
    std::string hash = hasher.Hash("pw");
    auto start = Clock::now();
    for (int i = 0; i < kWaiting; ++i) {
        std::string name = "idle" + std::to_string(i);
        if (store->Register({name, hash, "DSL", "10.0.0.1", {}}) != StoreStatus::Ok) {
            return 1;
        }
    }
    if (store->Register({"asker", hash, "DSL", "127.0.0.1", {}}) != StoreStatus::Ok) {
        return 1;
    }
    std::printf("registered %d users in %.0f ms\n", kWaiting + 1, MillisecondsSince(start));
    EventDispatcher dispatcher(*store, hasher);
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    options.maxConnections = kWaiting + 100;
    options.maxConnectionsPerAddress = kWaiting + 100;
    options.idleTimeoutSeconds = 120;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    if (!server.Start(error)) {
        std::fprintf(stderr, "cannot start: %s\n", error.c_str());
        return 1;
    }
    auto searchTimes = [&] {
        std::vector<double> times;
        for (int i = 0; i < 51; ++i) {
            auto t = Clock::now();
            Exchanged got =
                Exchange(server.port(),
                         ClientRequest("event=onSearch&qs=x&max=10&userName=a", server.port()));
            if (got.ok) {
                times.push_back(MillisecondsSince(t));
            }
        }
        return Median(times);
    };
    double quietSearch = searchTimes();
    long rssBefore = StatusField("VmRSS");
    long threadsBefore = StatusField("Threads");

    int ready[2], done[2];
    if (::pipe(ready) != 0 || ::pipe(done) != 0) {
        return 1;
    }
    pid_t child = fork();
    if (child == 0) {
        ::close(done[1]);
        HoldWaiting(server.port(), ready[1], done[0]);
    }
    ::close(done[0]);
    int opened = 0;
    (void)!::read(ready[0], &opened, sizeof opened);
    start = Clock::now();
    while (server.connectionCounts().waitingForPush < static_cast<std::size_t>(opened) &&
           MillisecondsSince(start) < 120000) {
        ::poll(nullptr, 0, 50);
    }
    std::size_t waiting = server.connectionCounts().waitingForPush;
    long rssWaiting = StatusField("VmRSS");
    long threadsWaiting = StatusField("Threads");
    double busySearch = searchTimes();
    std::vector<double> pushes;
    for (int i = 0; i < 51; ++i) {
        auto t = Clock::now();
        Exchanged got = Exchange(
            server.port(),
            ClientRequest("event=onRequestPush&userName=asker&password=pw&target=idle" +
                              std::to_string(i) + "&file=a&token=00112233445566778899aabbccddeeff",
                          server.port()));
        if (got.ok && got.body == "OK\n") {
            pushes.push_back(MillisecondsSince(t));
        }
        if (i == 29) {
            break;  // the requester's rate limit
        }
    }
    std::printf("waiting peers: %zu of %d opened\n", waiting, opened);
    std::printf("threads: %ld before, %ld while they wait\n", threadsBefore, threadsWaiting);
    std::printf("resident memory: %ld KiB before, %ld KiB while they wait, %.1f KiB a peer\n",
                rssBefore, rssWaiting,
                waiting > 0 ? static_cast<double>(rssWaiting - rssBefore) / waiting : 0.0);
    std::printf("search median: %.2f ms quiet, %.2f ms with them waiting (x%.2f)\n", quietSearch,
                busySearch, quietSearch > 0 ? busySearch / quietSearch : 0.0);
    std::printf("push request median: %.2f ms (%zu delivered)\n", Median(pushes), pushes.size());
    std::fflush(stdout);
    ::close(done[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    server.Stop();
    return waiting == static_cast<std::size_t>(kWaiting) ? 0 : 1;
}
