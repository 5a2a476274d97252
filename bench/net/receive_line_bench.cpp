// Reads a 10,000-result search reply over loopback, once with ReceiveLine and
// once with a reader that takes one byte per recv, alternately, and prints how
// much faster ReceiveLine is.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace {

using brindle::kLineBufferSize;
using brindle::kLineLimit;
using Clock = std::chrono::steady_clock;

constexpr int kResults = 10000;
constexpr int kRounds = 4;

// The count line, then file name, user, connection, length and address of
// each result, every line about 50 bytes.
std::string SearchReply() {
    std::string reply = std::to_string(kResults) + "\n";
    char line[128];
    for (int i = 0; i < kResults; ++i) {
        std::snprintf(line, sizeof line, "music\\albums\\artist %05d\\track number %05d.mp3\n", i,
                      i);
        reply += line;
        std::snprintf(line, sizeof line, "user-%05d-with-a-reasonably-long-nickname-here\n", i);
        reply += line;
        reply += "DSL,Cable connection of a typical home user....\n";
        std::snprintf(line, sizeof line, "%010d bytes in this file, padded out to fifty\n",
                      1000 + i);
        reply += line;
        std::snprintf(line, sizeof line, "192.168.%03d.%03d and some padding to fifty bytes\n",
                      i / 256 % 256, i % 256);
        reply += line;
    }
    return reply;
}

// One recv per byte into a growable accumulator, stopping at the line feed or
// the limit: the straightforward reader measured against.
bool ReceiveLineBytewise(int fd, char* buffer, int limit, int* count) {
    std::string accumulated;
    bool ok = true;
    for (;;) {
        char byte;
        ssize_t got = ::recv(fd, &byte, 1, 0);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            ok = !accumulated.empty();
            break;
        }
        accumulated += byte;
        if (byte == '\n' || static_cast<int>(accumulated.size()) >= limit) {
            break;
        }
    }
    std::memcpy(buffer, accumulated.data(), accumulated.size());
    *count = static_cast<int>(accumulated.size());
    return ok;
}

using LineReader = bool (*)(int, char*, int, int*);

bool ReceiveLineWithDefault(int fd, char* buffer, int limit, int* count) {
    return brindle::ReceiveLine(fd, buffer, limit, count);
}

// Reads the whole reply the way a search does; returns seconds, or -1 when the
// bytes did not add up.
double ReadReply(int port, LineReader reader, size_t expectedBytes) {
    brindle::Socket socket = brindle::OpenServerConnection("127.0.0.1", port);
    if (!socket) {
        return -1;
    }
    auto start = Clock::now();
    char buffer[kLineBufferSize];
    int count = 0;
    size_t total = 0;
    std::memset(buffer, 0, sizeof buffer);
    if (!reader(socket.fd(), buffer, kLineLimit, &count)) {
        return -1;
    }
    total += count;
    int results = std::atoi(buffer);
    for (int i = 0; i < results * 5; ++i) {
        std::memset(buffer, 0, sizeof buffer);
        if (!reader(socket.fd(), buffer, kLineLimit, &count)) {
            return -1;
        }
        total += count;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return total == expectedBytes ? seconds : -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

int main() {
    const std::string reply = SearchReply();

    brindle::Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!listener || ::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener.fd(), 8) != 0 ||
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("listen");
        return 1;
    }
    const int port = ntohs(address.sin_port);

    std::thread server([&] {
        for (int i = 0; i < 2 * kRounds; ++i) {
            brindle::Socket peer(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
            if (peer) {
                static_cast<void>(brindle::SendAll(peer.fd(), reply));
            }
        }
    });

    std::printf("reply: %d results, %zu lines, %zu bytes\n", kResults, size_t(kResults) * 5 + 1,
                reply.size());
    std::vector<double> peeking, bytewise;
    bool failed = false;
    for (int round = 0; round < kRounds; ++round) {
        double a = ReadReply(port, ReceiveLineWithDefault, reply.size());
        double b = ReadReply(port, ReceiveLineBytewise, reply.size());
        failed = failed || a < 0 || b < 0;
        peeking.push_back(a);
        bytewise.push_back(b);
        std::printf("round %d: ReceiveLine %8.2f ms   one recv per byte %8.2f ms\n", round + 1,
                    a * 1e3, b * 1e3);
    }
    server.join();
    if (failed) {
        std::printf("a read failed or returned the wrong number of bytes\n");
        return 1;
    }
    double fast = Median(peeking);
    double slow = Median(bytewise);
    std::printf("median: ReceiveLine %.2f ms, one recv per byte %.2f ms\n", fast * 1e3, slow * 1e3);
    std::printf("ratio: ReceiveLine is %.1fx faster (target: at least 15x)\n", slow / fast);
    return 0;
}
