// Arbitrary bytes sent to the peer listener on a loopback connection, then the
// end of the stream: the request word, the file name and the two lines the
// upload side reads. Whatever comes back is nothing or one shared file whole,
// and only for a "GET\n" naming it (after "START\n" for a "QUEUE\n"); a
// message is shown only after "MESSAGE\n", as its line; no answer takes longer
// than the request time limit; nothing outside the shared directory is ever sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "fuzz_support.h"
#include "peer/peer_listener.h"
#include "share/shared_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Display : public brindle::IMessageDisplay {
  public:
    void AppendLine(const std::string& line) override {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(line);
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> hold(lock_);
        return std::exchange(lines_, {});
    }

  private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// One listener for the whole run, serving a small shared directory. A file
// beside (not inside) the shared directory must never be served.
struct Peer {
    fs::path root;
    std::map<std::string, std::string> shared;  // wire name -> contents
    std::string secret;
    brindle::SharedFilesHolder files;
    Display display;
    brindle::fuzz::RecordingMessageBox messages;
    std::unique_ptr<brindle::PeerListener> listener;

    Peer() {
        root = fs::temp_directory_path() / ("brindlenet-fuzz-peer-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "share" / "sub");
        secret = "secret contents\n";
        Write(root / "secret.txt", secret);
        shared["song.mp3"] = "ID3 song bytes \n\r\x1a";
        shared["sub\\deep.txt"] = std::string(3000, 'd');
        shared["empty.bin"] = "";
        shared["name with space.txt"] = "spaced";
        for (const auto& [name, contents] : shared) {
            std::string relative = name;
            std::replace(relative.begin(), relative.end(), '\\', '/');
            Write(root / "share" / relative, contents);
        }
        const std::string sharedDirectory = (root / "share").string() + "/";
        brindle::SharedFileList list;
        for (const auto& [name, contents] : shared) {
            list.push_back({name, static_cast<long long>(contents.size())});
        }
        // Names no scan produces: the upload side must refuse them by itself.
        list.push_back({"..\\secret.txt", static_cast<long long>(secret.size())});
        list.push_back({"../secret.txt", static_cast<long long>(secret.size())});
        list.push_back({"sub\\..\\..\\secret.txt", static_cast<long long>(secret.size())});
        files.Publish({sharedDirectory, list});

        brindle::PeerOptions options;
        options.port = 0;
        options.listenAddress = "127.0.0.1";
        options.requestTimeout = 300ms;
        options.stallTimeout = 2s;
        listener = std::make_unique<brindle::PeerListener>(display, messages, files, options);
        if (!listener->Start()) {
            std::abort();
        }
    }
    ~Peer() {
        listener.reset();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void Write(const fs::path& path, const std::string& contents) {
        std::ofstream(path, std::ios::binary) << contents;
    }
};

// Connects from a loopback address of its own each time (127.1.0.0 on): the
// kernel picks the same port again for the same pair of addresses, and at
// thousands of connections a second that port's last connection would still
// linger in TIME-WAIT on the listener's side and stall the connect.
brindle::Socket Connect(int port) {
    static std::uint32_t next = 0;
    std::uint32_t source = 0x7F010000u + next++ % (254u << 16);
    brindle::Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libFuzzer's timer signal can interrupt the connect; it then goes on by itself.
    int connected = -1;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
        connected = ::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (connected != 0 && errno == EINTR) {
            pollfd p{socket.fd(), POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            while (::poll(&p, 1, 5000) < 0 && errno == EINTR) {
            }
            connected = ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                                error == 0 && (p.revents & POLLOUT) != 0
                            ? 0
                            : -1;
        }
    }
    if (connected != 0) {
        std::fprintf(stderr, "no connection from %08x: %s\n", source, std::strerror(errno));
        std::abort();
    }
    return socket;
}

// Everything the peer sends until it closes; aborts when it takes too long.
// `reset` tells a close with unread request bytes (a reset, which may drop
// reply bytes still in flight) from an orderly one.
std::string ReadToClose(int fd, bool& reset, const brindle::PeerListener& listener) {
    reset = false;
    std::string data;
    char chunk[65536];
    auto deadline = std::chrono::steady_clock::now() + 8s;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        int ready = left.count() <= 0 ? 0 : ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;  // libFuzzer's timer signal
        }
        if (ready <= 0) {
            // The listener held a finished request open far past its time limit.
            std::fprintf(stderr, "no close after 8 s: %zu bytes back, %zu connections pending\n",
                         data.size(), listener.pendingConnections());
            std::abort();
        }
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            reset = got < 0;
            return data;
        }
        data.append(chunk, static_cast<std::size_t>(got));
    }
}

// The first line of `text` from `at`, as a line reader with limit 1023 takes it.
std::string LineAt(const std::string& text, std::size_t at) {
    if (at >= text.size()) {
        return "";
    }
    std::size_t end = text.find('\n', at);
    std::size_t length = end == std::string::npos ? text.size() - at : end + 1 - at;
    return text.substr(at, std::min<std::size_t>(length, 1023));
}

void WaitForQuiet(brindle::PeerListener& listener) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        bool busy = listener.pendingConnections() != 0;
        for (const auto& record : listener.uploadRecords().Records()) {
            busy = busy || !record->IsFinished();
        }
        if (!busy) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::abort();  // a connection or an upload never ended
        }
        std::this_thread::sleep_for(1ms);
    }
    listener.uploadRecords().ClearFinished();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Peer peer;
    std::string request = brindle::fuzz::AsString(data, size);
    brindle::Socket socket = Connect(peer.listener->port());
    std::thread sender([&] {
        static_cast<void>(brindle::SendAll(socket.fd(), request));
        ::shutdown(socket.fd(), SHUT_WR);
    });
    bool reset = false;
    std::string reply = ReadToClose(socket.fd(), reset, *peer.listener);
    sender.join();
    socket.reset();
    WaitForQuiet(*peer.listener);

    std::string word = LineAt(request, 0);
    std::vector<std::string> shown = peer.display.Take();
    if (word == "MESSAGE\n") {
        std::string line = LineAt(request, word.size());
        bool whole = !line.empty() && (line.back() == '\n' || line.size() == 1023);
        if (shown != (whole ? std::vector<std::string>{line} : std::vector<std::string>{})) {
            std::abort();
        }
    } else if (!shown.empty()) {
        std::abort();
    }
    if (!peer.messages.texts.empty()) {
        std::abort();  // a peer's request never opens a message box
    }
    if (reply.empty()) {
        return 0;
    }
    // A reachability check is answered with one line and nothing else.
    if (word == "PING\n") {
        const std::string pong = "PONG\n";
        if (reset ? pong.compare(0, reply.size(), reply) != 0 : reply != pong) {
            std::abort();
        }
        return 0;
    }
    if (word != "GET\n" && word != "GETRANGE\n" && word != "QUEUE\n") {
        std::abort();
    }
    // A queued request with a slot free is told to start, then gets the bytes.
    if (word == "QUEUE\n") {
        const std::string start = "START\n";
        const bool cut = reset && reply.size() < start.size();
        if (cut ? start.compare(0, reply.size(), reply) != 0 : reply.rfind(start, 0) != 0) {
            std::abort();
        }
        reply.erase(0, start.size());
        if (reply.empty()) {
            return 0;
        }
    }
    std::string name = LineAt(request, word.size());
    // A ranged request's reply starts at the offset its fifth line names.
    std::size_t offset = 0;
    if (word == "GETRANGE\n" || word == "QUEUE\n") {
        std::size_t at = word.size() + name.size();
        for (int skipped = 0; skipped < 2; ++skipped) {
            at += LineAt(request, at).size();
        }
        offset = std::strtoull(LineAt(request, at).c_str(), nullptr, 10);
    }
    name.erase(name.find_last_not_of("\n\r\t ") + 1);
    auto served = peer.shared.find(name);
    if (served == peer.shared.end() || offset >= served->second.size() ||
        served->second.compare(offset, reply.size(), reply) != 0 ||
        (!reset && served->second.size() - offset != reply.size())) {
        std::abort();  // bytes that are not the named shared file from the asked offset
    }
    return 0;
}
