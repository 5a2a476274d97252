#include "faults/fault_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

#include "support/test_support.h"

extern char** environ;

namespace brindle::test {

namespace {

void SendBytes(int fd, const std::string& bytes) {
    static_cast<void>(SendAll(fd, bytes));
}

// Reads exactly `count` bytes (fewer when the client closes or goes quiet).
void ReadBytes(int fd, std::size_t count) {
    char chunk[256];
    while (count > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            return;
        }
        ssize_t got = ::recv(fd, chunk, std::min(count, sizeof chunk), 0);
        if (got <= 0) {
            return;
        }
        count -= static_cast<std::size_t>(got);
    }
}

}  // namespace

const char* FaultPointName(FaultPoint point) {
    switch (point) {
        case FaultPoint::OnAccept:
            return "OnAccept";
        case FaultPoint::MidRequest:
            return "MidRequest";
        case FaultPoint::AfterRequest:
            return "AfterRequest";
        case FaultPoint::MidStatus:
            return "MidStatus";
        case FaultPoint::MidHeaders:
            return "MidHeaders";
        case FaultPoint::AfterHeaders:
            return "AfterHeaders";
        case FaultPoint::MidBody:
            return "MidBody";
    }
    return "?";
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::Close:
            return "Close";
        case Fault::Stall:
            return "Stall";
        case Fault::Garbage:
            return "Garbage";
        case Fault::Trickle:
            return "Trickle";
    }
    return "?";
}

std::string GarbageBytes(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, 'x');
    for (std::size_t i = 1; i < length; ++i) {
        char c = static_cast<char>(random() & 0xFF);
        bytes[i] = c == '\r' ? '\n' : c;
    }
    return bytes;
}

FaultyDirectoryServer::FaultyDirectoryServer(FaultPoint point, Fault fault, std::string partialBody)
    : point_(point),
      fault_(fault),
      partialBody_(std::move(partialBody)),
      server_([this](int fd) { Serve(fd); }) {}

void FaultyDirectoryServer::Serve(int fd) {
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    const std::string reply = headers + partialBody_;
    std::size_t cut = 0;
    switch (point_) {
        case FaultPoint::OnAccept:
            break;
        case FaultPoint::MidRequest:
            ReadBytes(fd, 20);
            break;
        default:
            ReadHttpRequest(fd);
            break;
    }
    switch (point_) {
        case FaultPoint::MidStatus:
            cut = 10;
            break;
        case FaultPoint::MidHeaders:
            cut = headers.size() - 2;  // the blank line is missing
            break;
        case FaultPoint::AfterHeaders:
            cut = headers.size();
            break;
        case FaultPoint::MidBody:
            cut = reply.size();
            break;
        default:
            break;
    }
    SendBytes(fd, reply.substr(0, cut));
    switch (fault_) {
        case Fault::Close:
            return;
        case Fault::Stall:
            ReadUntilClosed(fd, std::chrono::seconds(10));
            return;
        case Fault::Garbage:
            SendBytes(fd, GarbageBytes(3000, static_cast<unsigned>(point_) + 7));
            ::shutdown(fd, SHUT_WR);
            return;
        case Fault::Trickle: {
            // Each byte comes well inside any idle limit, so only a limit on
            // the whole request ends it; stops when the client goes.
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
            char chunk[4096];
            while (std::chrono::steady_clock::now() < end &&
                   ::send(fd, "x", 1, MSG_NOSIGNAL) == 1) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 30) > 0 && ::recv(fd, chunk, sizeof chunk, 0) <= 0) {
                    return;
                }
            }
            return;
        }
    }
}

DirectoryProcess::DirectoryProcess(std::string binary, std::filesystem::path database,
                                   std::filesystem::path logPath)
    : binary_(std::move(binary)), database_(std::move(database)), logPath_(std::move(logPath)) {}

DirectoryProcess::~DirectoryProcess() {
    if (pid_ > 0) {
        Kill(SIGKILL);
    }
}

bool DirectoryProcess::Start() {
    std::error_code ignored;
    const auto logStart = std::filesystem::exists(logPath_) ? std::filesystem::file_size(logPath_)
                                                            : std::uintmax_t{0};
    std::vector<std::string> args = {binary_, "--bind", "127.0.0.1",       "--port",
                                     "0",     "--db",   database_.string()};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    int spawned = posix_spawn(&pid_, binary_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return false;
    }
    // "... listening on 127.0.0.1 port N, database ..."
    const std::string marker = "listening on 127.0.0.1 port ";
    return WaitFor(
        [&] {
            std::string log = ReadWholeFile(logPath_);
            std::size_t at = log.find(marker, static_cast<std::size_t>(logStart));
            if (at == std::string::npos) {
                return false;
            }
            port_ = std::atoi(log.c_str() + at + marker.size());
            return port_ > 0;
        },
        std::chrono::seconds(20));
}

int DirectoryProcess::Kill(int signal) {
    if (pid_ <= 0) {
        return 0;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string DirectoryProcess::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/examples/servlet/brindlenet";
}

std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

std::size_t ThreadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

}  // namespace brindle::test
