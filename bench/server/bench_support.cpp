#include "bench_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"

namespace brindle::server::bench {
namespace {

const char* const kWords[] = {
    "river",   "blue",    "night",  "train",  "summer",  "dance",   "stone",  "light",
    "heart",   "city",    "rain",   "fire",   "gold",    "road",    "dream",  "ocean",
    "shadow",  "morning", "echo",   "storm",  "velvet",  "silver",  "winter", "garden",
    "mirror",  "thunder", "paper",  "window", "desert",  "island",  "candle", "harbor",
    "lantern", "meadow",  "orchid", "canyon", "glacier", "prairie", "falcon", "comet",
    "willow",  "ember",   "tide",   "aurora", "cobalt",  "juniper", "saffron"};
const char* const kTypes[] = {".mp3", ".mp3", ".mp3", ".ogg", ".flac", ".avi", ".txt", ".jpg"};

std::string Encode(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (c == ' ') {
            out += '+';
        } else if (c == '\\' || c == ',' || c == '%' || c == '&' || c == '=' || c == '+') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

ScratchDir::ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brindlenet-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string NameGenerator::Next(int index) {
    constexpr int kWordCount = sizeof kWords / sizeof kWords[0];
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "music\\Artist %04u\\Album %02u\\%02d - ",
                  static_cast<unsigned>(random_() % 5000), static_cast<unsigned>(random_() % 20),
                  index % 20 + 1);
    std::string name = prefix;
    name += kWords[random_() % kWordCount];
    name += ' ';
    name += kWords[random_() % kWordCount];
    name += kTypes[random_() % (sizeof kTypes / sizeof kTypes[0])];
    return name;
}

bool PublishLibrary(DirectoryStore& store, int users, int filesPerUser, std::uint32_t seed,
                    int threads) {
    NameGenerator generator(seed);
    std::mutex generatorLock;
    int nextUser = 0;
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (;;) {
            int user = 0;
            std::vector<std::string> texts;
            texts.reserve(static_cast<std::size_t>(filesPerUser));
            {
                // Users take their names in order, whichever thread registers them.
                std::lock_guard lock(generatorLock);
                if (nextUser == users || failed.load()) {
                    return;
                }
                user = nextUser++;
                for (int i = 0; i < filesPerUser; ++i) {
                    texts.push_back(generator.Next(i));
                }
            }
            std::vector<PublishedFile> files;
            files.reserve(texts.size());
            for (std::size_t i = 0; i < texts.size(); ++i) {
                files.push_back({texts[i], static_cast<std::int64_t>(i)});
            }
            std::string name = "user" + std::to_string(user);
            std::string ip =
                "10.0." + std::to_string(user / 250) + "." + std::to_string(user % 250 + 1);
            if (store.Register({name, "hash", "DSL,Cable", ip, files}) != StoreStatus::Ok) {
                failed = true;
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
    for (auto& worker : workers) {
        worker.join();
    }
    return !failed.load();
}

std::string RegistrationBody(const std::string& user, const std::string& password,
                             const std::vector<std::string>& names) {
    std::string body = "event=onRegisterUser&userName=" + Encode(user) +
                       "&connection=DSL%2CCable&password=" + Encode(password) +
                       "&count=" + std::to_string(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        body += "&file" + std::to_string(i) + "=" + Encode(names[i]) + "&size" + std::to_string(i) +
                "=" + std::to_string(1000000 + i);
    }
    return body;
}

std::string ClientRequest(const std::string& body, int port) {
    return "POST /examples/servlet/brindlenet HTTP/1.1\r\nAccept: text/plain\r\n"
           "Referer: about:blank\r\nAccept-Language: en-us\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "Accept-Encoding: gzip, deflate\r\nUser-Agent: Brindlenet V1.0\r\n"
           "Host: 127.0.0.1:" +
           std::to_string(port) + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

Exchanged Exchange(int port, const std::string& request, const std::string& source) {
    Exchanged result;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return result;
    }
    if (!source.empty()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto start = Clock::now();
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return result;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return result;
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char chunk[16384];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        reply.append(chunk, static_cast<std::size_t>(n));
    }
    result.firstByteToReplyMs = MillisecondsSince(start);
    ::close(fd);
    std::size_t end = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.1 200", 0) != 0 || end == std::string::npos) {
        return result;
    }
    result.body = reply.substr(end + 4);
    result.ok = !result.body.empty() && result.body.back() == '\n';
    return result;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    std::size_t index =
        static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

bool PrintHttpSearchTimes(DirectoryStore& store) {
    if (!PasswordHasher::Initialize()) {
        return false;
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(store, hasher);
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    std::string request = ClientRequest(
        "event=onSearch&qs=velvet+mirror&max=100&ext=*.mp3&userName=bench-asker", server.port());
    std::vector<double> overHttp;
    for (int i = 0; i < 51; ++i) {
        Exchanged reply = Exchange(server.port(), request);
        if (!reply.ok) {
            std::printf("HTTP search failed\n");
            return false;
        }
        overHttp.push_back(reply.firstByteToReplyMs);
    }
    std::printf(
        "\nHTTP search \"velvet mirror\" *.mp3 over loopback: median %.2f ms, p99 %.2f ms\n",
        Median(overHttp), Percentile(overHttp, 0.99));
    return true;
}

}  // namespace brindle::server::bench
