// Measures what 1,000 requests waiting in a sharer's upload line cost, against
// the same sharer with an empty line measured in the same run:
//   1. a message round trip (connect, send, shown) to the listener, medians;
//   2. the listener's CPU while the line waits, per second;
//   3. one position change told to all 1,000 (the first leaves the line);
//   4. the resident memory per waiting request (both ends are in this process).
// One slot, held by a reader that takes nothing, keeps the line waiting.
// Usage: upload_queue_bench [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "base/ui_ports.h"
#include "net/socket.h"
#include "peer/peer_listener.h"
#include "peer/transfer_limits.h"
#include "share/shared_files.h"

namespace fs = std::filesystem;
using namespace brindle;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kWaiting = 1000;

class SilentBox : public IMessageBox {
  public:
    void ShowMessage(const std::string& text, MessageIcon) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    Answer AskYesNoCancel(const std::string&) override { return Answer::Yes; }
};

class CountingDisplay : public IMessageDisplay {
  public:
    void AppendLine(const std::string&) override { shown.fetch_add(1); }
    std::atomic<long> shown{0};
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Socket Connect(const char* source, int port, int receiveBuffer = 0) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket && receiveBuffer > 0) {
        ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket || ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(socket.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        return Socket();
    }
    return socket;
}

std::string Queue(const std::string& name) {
    return "QUEUE\n" + name + "\nbench\nT1\n0\n";
}

bool WaitUntil(const auto& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// The seconds of one message, from connect to shown.
double MessageRoundTrip(int port, CountingDisplay& display) {
    long before = display.shown.load();
    auto start = Clock::now();
    Socket socket = Connect("127.0.0.3", port);
    if (!socket || !SendAll(socket.fd(), std::string("MESSAGE\n<bench> hello\n")) ||
        !WaitUntil([&] { return display.shown.load() > before; })) {
        std::fprintf(stderr, "a message was not shown\n");
        std::exit(1);
    }
    return Seconds(Clock::now() - start);
}

double MedianRoundTrip(int port, CountingDisplay& display, int rounds) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        times.push_back(MessageRoundTrip(port, display));
    }
    return Median(times);
}

void Report(const char* what, double value, const char* unit) {
    std::printf("  %-58s %10.2f %s\n", what, value, unit);
}

// Resident bytes of the process: the heap of every thread's arena, not the
// kernel's socket buffers.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 201;
    fs::path dir = fs::temp_directory_path() / ("upload_queue_bench." + std::to_string(::getpid()));
    fs::create_directories(dir);
    {
        std::ofstream(dir / "big.bin", std::ios::binary) << std::string(32 << 20, 'x');
        std::ofstream(dir / "small.txt", std::ios::binary) << "small";
    }
    SharedFilesHolder files;
    files.Publish({dir.string() + "/", {{"big.bin", 32 << 20}, {"small.txt", 5}}});
    PeerOptions options;
    options.port = 0;
    options.listenAddress = "127.0.0.1";
    options.limits = std::make_shared<TransferLimits>();
    options.limits->Apply(Preferences{.uploadSlots = 1});
    SilentBox box;
    CountingDisplay display;
    PeerListener listener(display, box, files, options);
    if (!listener.Start()) {
        return 1;
    }
    const int port = listener.port();
    Socket holder = Connect("127.0.0.9", port, 4096);
    if (!holder || !SendAll(holder.fd(), Queue("big.bin")) ||
        !WaitUntil([&] { return listener.runningUploads() == 1; })) {
        std::fprintf(stderr, "the slot could not be held\n");
        return 1;
    }

    std::printf("1. message round trip, %d rounds, medians\n", rounds);
    double empty = MedianRoundTrip(port, display, rounds);
    std::size_t heapBefore = ResidentBytes();
    std::vector<Socket> waiting;
    for (std::size_t i = 0; i < kWaiting; ++i) {
        // Spread over 50 addresses, so the order has users to go round.
        std::string source = "127.0.1." + std::to_string(1 + i % 50);
        Socket socket = Connect(source.c_str(), port);
        if (!socket || !SendAll(socket.fd(), Queue("small.txt"))) {
            std::fprintf(stderr, "request %zu could not be sent\n", i);
            return 1;
        }
        waiting.push_back(std::move(socket));
    }
    if (!WaitUntil([&] { return listener.waitingUploads() == kWaiting; })) {
        std::fprintf(stderr, "the line holds %zu, not %zu\n", listener.waitingUploads(), kWaiting);
        return 1;
    }
    std::size_t heapAfter = ResidentBytes();
    double full = MedianRoundTrip(port, display, rounds);
    Report("empty line", empty * 1e6, "us");
    Report("1,000 waiting", full * 1e6, "us");
    Report("ratio", full / empty, "x");

    std::printf("2. listener CPU while the line waits\n");
    double cpu = CpuSeconds();
    auto wall = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    Report("CPU share of one core, 1,000 waiting",
           100.0 * (CpuSeconds() - cpu) / Seconds(Clock::now() - wall), "%");

    std::printf("3. one position change told to all 1,000\n");
    // Read what came so far, then let the first in line go.
    char drain[4096];
    for (const Socket& socket : waiting) {
        while (::recv(socket.fd(), drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
    }
    auto start = Clock::now();
    cpu = CpuSeconds();
    waiting.front().reset();
    std::size_t told = 0;
    for (std::size_t i = 1; i < waiting.size(); ++i) {
        std::string line;
        if (ReceiveLine(waiting[i].fd(), line, Clock::now() + std::chrono::seconds(10)) &&
            line.starts_with("POSITION ")) {
            ++told;
        }
    }
    double changeSeconds = Seconds(Clock::now() - start);
    Report("until the last of 999 heard its new position", changeSeconds * 1e3, "ms");
    Report("per waiting request", changeSeconds * 1e6 / 999.0, "us");
    Report("message round trips of the same time (ratio)", changeSeconds / empty, "x");
    if (told != waiting.size() - 1) {
        std::printf("  only %zu were told\n", told);
    }

    std::printf("4. resident memory per waiting request, both ends\n");
    Report("bytes", static_cast<double>(heapAfter - std::min(heapAfter, heapBefore)) / kWaiting,
           "B");

    waiting.clear();
    holder.reset();
    listener.Stop();
    fs::remove_all(dir);
    return 0;
}
