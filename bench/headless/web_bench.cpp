// The web page's weight and what open event streams cost: the page's bytes,
// the time to serve it and GET status over loopback, and the CPU time and
// memory the server spends while 20 event streams stay open, measured against
// the same server with none.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/share_app.h"
#include "base/preferences.h"
#include "headless/console_ports.h"
#include "headless/web_api.h"
#include "headless/web_password.h"
#include "headless/web_server.h"
#include "net/socket.h"

namespace {

using namespace brindle;
using Clock = std::chrono::steady_clock;

constexpr int kStreams = 20;
constexpr int kRequests = 300;
constexpr auto kIdleSpan = std::chrono::seconds(3);

Socket Connect(int port) {
    return ConnectToAddress("127.0.0.1", port, std::chrono::seconds(5));
}

bool SendWhole(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadAll(int fd) {
    std::string data;
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return data;
        }
        data.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string Request(const std::string& method, const std::string& path, const std::string& cookie,
                    const std::string& body = "", bool close = true) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!cookie.empty()) {
        text += "Cookie: " + cookie + "\r\n";
    }
    if (!body.empty()) {
        text += "Content-Type: application/json\r\n";
    }
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (close) {
        text += "Connection: close\r\n";
    }
    return text + "\r\n" + body;
}

std::string Fetch(int port, const std::string& request) {
    Socket socket = Connect(port);
    if (!socket.valid() || !SendWhole(socket.fd(), request)) {
        return {};
    }
    return ReadAll(socket.fd());
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Mean milliseconds of `rounds` requests of `path`.
double MeanMilliseconds(int port, const std::string& path, const std::string& cookie, int rounds) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (Fetch(port, Request("GET", path, cookie)).rfind("HTTP/1.1 200", 0) != 0) {
            std::fprintf(stderr, "GET %s failed\n", path.c_str());
            return -1;
        }
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

// CPU seconds the process spends, per second, while nothing is asked of it.
double IdleCpuPerSecond() {
    const double before = CpuSeconds();
    std::this_thread::sleep_for(kIdleSpan);
    return (CpuSeconds() - before) / std::chrono::duration<double>(kIdleSpan).count();
}

}  // namespace

int main() {
    std::ostringstream out;
    std::ostringstream err;
    Console console(out, err);
    ConsoleMessageBox box(console);
    char folder[] = "/tmp/brindlenet-web-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    CShareApp app(UiPorts{&box, nullptr, nullptr}, std::string(folder) + "/config.txt",
                  std::string(folder) + "/preferences.conf");
    WebMessageLog messages;
    WebApiOptions options;
    options.boundAddress = "127.0.0.1";
    options.passwordHash = HashWebPassword("bench password", PasswordCost::Minimal);
    WebApi api(app, messages, options);
    WebServer server(WebServerOptions{"127.0.0.1", 0, "", "", 64, 64 * 1024},
                     [&api](const WebRequest& request) { return api.Handle(request); });
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const int port = server.port();
    const std::string login =
        Fetch(port, Request("POST", "/api/v1/login", "", R"({"password":"bench password"})"));
    const std::size_t at = login.find("brindlenet_session=");
    if (at == std::string::npos) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    const std::string cookie = login.substr(at, login.find(';', at) - at);

    std::printf("page: %zu bytes, one request, nothing fetched from elsewhere\n",
                api.page().size());
    const double pageMs = MeanMilliseconds(port, "/", "", kRequests);
    const double statusMs = MeanMilliseconds(port, "/api/v1/status", cookie, kRequests);
    std::printf("GET /: %.3f ms, GET /api/v1/status: %.3f ms (mean of %d, no streams open)\n",
                pageMs, statusMs, kRequests);

    const long rssBefore = ResidentKiB();
    const double idleCpu = IdleCpuPerSecond();

    std::vector<Socket> streams;
    for (int i = 0; i < kStreams; ++i) {
        Socket stream = Connect(port);
        if (!stream.valid() ||
            !SendWhole(stream.fd(), Request("GET", "/api/v1/events", cookie, "", false))) {
            std::fprintf(stderr, "stream %d failed\n", i);
            return 1;
        }
        streams.push_back(std::move(stream));
    }
    // Every stream has its first event before the measurement starts.
    for (Socket& stream : streams) {
        pollfd p{stream.fd(), POLLIN, 0};
        char chunk[4096];
        if (::poll(&p, 1, 5000) <= 0 || ::recv(stream.fd(), chunk, sizeof chunk, 0) <= 0) {
            std::fprintf(stderr, "a stream sent nothing\n");
            return 1;
        }
    }
    const double streamsCpu = IdleCpuPerSecond();
    const long rssStreams = ResidentKiB();
    const double statusStreamsMs = MeanMilliseconds(port, "/api/v1/status", cookie, kRequests);
    // A message reaches every stream.
    const auto sent = Clock::now();
    messages.AppendLine("<bench> to every stream\n");
    double slowestMs = 0;
    for (Socket& stream : streams) {
        std::string seen;
        char chunk[4096];
        while (seen.find("to every stream") == std::string::npos) {
            pollfd p{stream.fd(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) {
                std::fprintf(stderr, "a stream missed the message\n");
                return 1;
            }
            const ssize_t got = ::recv(stream.fd(), chunk, sizeof chunk, 0);
            if (got <= 0) {
                return 1;
            }
            seen.append(chunk, static_cast<std::size_t>(got));
        }
        slowestMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    }
    std::printf(
        "%d open event streams: %.2f%% of a core (none open: %.2f%%), %+ld KiB resident,\n"
        "  GET /api/v1/status %.3f ms (%.2fx the time without streams),\n"
        "  a message reached all of them within %.1f ms\n",
        kStreams, streamsCpu * 100, idleCpu * 100, rssStreams - rssBefore, statusStreamsMs,
        statusMs > 0 ? statusStreamsMs / statusMs : 0.0, slowestMs);
    streams.clear();
    server.Stop();
    std::remove((std::string(folder) + "/preferences.conf").c_str());
    ::rmdir(folder);
    return 0;
}
