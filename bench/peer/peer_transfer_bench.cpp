// Measures the peer transfers on loopback and prints ratios against plain
// copies measured in the same run:
//   1. a 512 MiB download against sendfile -> recv(1 MiB) + write, alternated;
//   2. eight concurrent downloads of one 64 MiB file against one download;
//   3. the CPU share of the progress bookkeeping in a download;
//   4. a copy moving one byte per system call, on a small file.
// The peers carry the application's transfer limits with no rate set, as a copy
// without limits in its preferences runs.
// Usage: peer_transfer_bench [ROUNDS]; PEER_BENCH_BLOCK=BYTES tries another block size.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "base/ui_ports.h"
#include "peer/download.h"
#include "peer/peer_listener.h"
#include "peer/progress.h"
#include "peer/transfer_limits.h"
#include "share/shared_files.h"

namespace fs = std::filesystem;
using namespace brindle;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kMiB = 1 << 20;

class SilentBox : public IMessageBox {
  public:
    void ShowMessage(const std::string& text, MessageIcon) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    Answer AskYesNoCancel(const std::string&) override { return Answer::Yes; }
};
class SilentDisplay : public IMessageDisplay {
  public:
    void AppendLine(const std::string&) override {}
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

void WriteFile(const fs::path& path, long long length) {
    std::vector<char> block(static_cast<std::size_t>(kMiB));
    unsigned seed = 12345;
    std::ofstream out(path, std::ios::binary);
    for (long long done = 0; done < length; done += kMiB) {
        for (auto& byte : block) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<char>(seed >> 16);
        }
        out.write(block.data(), static_cast<std::streamsize>(std::min(kMiB, length - done)));
    }
}

bool SameContents(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> bx(static_cast<std::size_t>(kMiB)), by(static_cast<std::size_t>(kMiB));
    for (;;) {
        x.read(bx.data(), kMiB);
        y.read(by.data(), kMiB);
        if (x.gcount() != y.gcount() ||
            std::memcmp(bx.data(), by.data(), static_cast<std::size_t>(x.gcount())) != 0) {
            return false;
        }
        if (x.gcount() == 0) {
            return true;
        }
    }
}

// A listening loopback socket on an ephemeral port.
int ListenLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 16);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// The reference: sendfile on one side, recv(1 MiB) and write on the other.
double PlainCopySeconds(const fs::path& source, const fs::path& destination, long long length) {
    int port = 0;
    int listener = ListenLoopback(&port);
    auto start = Clock::now();
    std::thread sender([&] {
        int connection = ::accept(listener, nullptr, nullptr);
        int file = ::open(source.c_str(), O_RDONLY);
        off_t offset = 0;
        while (offset < length) {
            if (::sendfile(connection, file, &offset, static_cast<std::size_t>(length - offset)) <=
                0) {
                break;
            }
        }
        ::close(file);
        ::close(connection);
    });
    int socket = ConnectLoopback(port);
    int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buffer(static_cast<std::size_t>(kMiB));
    long long received = 0;
    while (received < length) {
        ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (got <= 0 || ::write(out, buffer.data(), static_cast<std::size_t>(got)) != got) {
            break;
        }
        received += got;
    }
    ::close(out);
    ::close(socket);
    sender.join();
    double seconds = Seconds(Clock::now() - start);
    ::close(listener);
    return received == length ? seconds : -1.0;
}

// The old byte-at-a-time loop: one byte per send, and per receive one byte written and flushed.
double OneBytePerCallSeconds(const fs::path& source, const fs::path& destination,
                             long long length) {
    int port = 0;
    int listener = ListenLoopback(&port);
    auto start = Clock::now();
    std::thread sender([&] {
        int connection = ::accept(listener, nullptr, nullptr);
        FILE* file = std::fopen(source.c_str(), "rb");
        for (long long i = 0; i < length; ++i) {
            char byte = static_cast<char>(std::fgetc(file));
            if (::send(connection, &byte, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
        }
        std::fclose(file);
        ::close(connection);
    });
    int socket = ConnectLoopback(port);
    FILE* out = std::fopen(destination.c_str(), "wb");
    long long received = 0;
    char byte;
    while (received < length && ::recv(socket, &byte, 1, 0) == 1) {
        std::fputc(byte, out);
        std::fflush(out);
        ++received;
    }
    std::fclose(out);
    ::close(socket);
    sender.join();
    double seconds = Seconds(Clock::now() - start);
    ::close(listener);
    return received == length ? seconds : -1.0;
}

// A sharing peer with one listener, and downloads from it.
class Peers {
  public:
    Peers(const fs::path& sharedDir, const fs::path& downloadDir)
        : downloadDir_(downloadDir.string() + "/") {
        SharedFileList list;
        for (const auto& entry : fs::directory_iterator(sharedDir)) {
            list.push_back(
                {entry.path().filename().string(), static_cast<long long>(entry.file_size())});
        }
        files_.Publish({sharedDir.string() + "/", list});
        options_.port = 0;
        if (const char* block = std::getenv("PEER_BENCH_BLOCK")) {
            options_.blockSize = static_cast<std::size_t>(std::atoll(block));
        }
        options_.listenAddress = "127.0.0.1";
        options_.limits = std::make_shared<TransferLimits>();
        options_.limits->Apply(Preferences{.uploadSlots = kMaxUploadSlots});
        listener_ = std::make_unique<PeerListener>(display_, box_, files_, options_);
        if (!listener_->Start()) {
            std::exit(1);
        }
        options_.port = listener_->port();
    }

    // Starts `count` downloads of `name` at once, each into a name of its own;
    // returns the seconds until all have ended.
    double Download(const std::string& name, long long length, int count, TransferTable& table) {
        std::vector<std::shared_ptr<DownloadRecord>> records;
        ThreadGroup threads;
        auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::string local = count == 1 ? name : name + "." + std::to_string(i);
            auto record =
                std::make_shared<DownloadRecord>(name, local, "127.0.0.1", "bench", "T1", length,
                                                 std::to_string(length), downloadDir_, options_);
            table.Append(record);
            if (!record->Start(threads)) {
                return -1.0;
            }
            records.push_back(record);
        }
        threads.JoinAll();
        double seconds = Seconds(Clock::now() - start);
        for (const auto& record : records) {
            if (record->status() != TransferStatus::Complete) {
                std::fprintf(stderr, "download ended with %s\n", StatusText(record->status()));
                return -1.0;
            }
        }
        return seconds;
    }

    TransferTable& uploads() { return listener_->uploadRecords(); }

  private:
    std::string downloadDir_;
    SharedFilesHolder files_;
    SilentBox box_;
    SilentDisplay display_;
    PeerOptions options_;
    std::unique_ptr<PeerListener> listener_;
};

// CPU seconds of `count` progress updates as a worker makes them after a block.
double BookkeepingCpuSeconds(long long count, long long blockBytes) {
    class Row : public TransferRecord {
      public:
        Row() { InitRow(NewDownloadRow("file.bin", "bench", "1", "T1", 1)); }
        void Run() override {}
        using TransferRecord::ShowProgress;
    };
    TransferTable table;
    auto row = std::make_shared<Row>();
    table.Append(row);
    ProgressMeter meter(count * blockBytes, [] { return Clock::now(); });
    double start = CpuSeconds();
    for (long long i = 1; i <= count; ++i) {
        if (row->IsCancelRequested()) {
            break;
        }
        const bool pointPassed = meter.Advance(i * blockBytes);
        row->ShowProgress(TransferStatus::Downloading, meter, pointPassed);
    }
    return CpuSeconds() - start;
}

void Report(const char* what, double value, const char* unit) {
    std::printf("  %-58s %10.2f %s\n", what, value, unit);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    fs::path root =
        fs::temp_directory_path() / ("brindlenet-peer-bench-" + std::to_string(::getpid()));
    fs::path shared = root / "shared";
    fs::path into = root / "into";
    fs::create_directories(shared);
    fs::create_directories(into);

    const long long big = 512 * kMiB;
    const long long medium = 64 * kMiB;
    const long long small = 2 * kMiB;
    WriteFile(shared / "big.bin", big);
    WriteFile(shared / "medium.bin", medium);
    WriteFile(shared / "small.bin", small);
    Peers peers(shared, into);
    bool ok = true;

    std::printf("1. 512 MiB download over loopback, %d rounds alternated, medians\n", rounds);
    std::vector<double> downloads, plain;
    for (int round = 0; round < rounds; ++round) {
        // Which one goes first changes every round, so neither always meets the
        // other's write-back.
        auto runDownload = [&] {
            TransferTable table;
            downloads.push_back(peers.Download("big.bin", big, 1, table));
            ok = ok && SameContents(shared / "big.bin", into / "big.bin");
            fs::remove(into / "big.bin");
        };
        auto runPlain = [&] {
            plain.push_back(PlainCopySeconds(shared / "big.bin", into / "plain.bin", big));
            fs::remove(into / "plain.bin");
        };
        if (round % 2 == 0) {
            runDownload();
            runPlain();
        } else {
            runPlain();
            runDownload();
        }
        peers.uploads().ClearFinished();
    }
    double downloadRate = static_cast<double>(big) / kMiB / Median(downloads);
    double plainRate = static_cast<double>(big) / kMiB / Median(plain);
    Report("download (listener, upload and download workers)", downloadRate, "MiB/s");
    Report("plain sendfile -> recv(1 MiB) + write", plainRate, "MiB/s");
    Report("ratio download / plain (goal >= 0.80)", downloadRate / plainRate, "");

    std::printf("2. eight concurrent downloads of one 64 MiB file\n");
    std::vector<double> one, eight;
    for (int round = 0; round < rounds; ++round) {
        TransferTable table;
        one.push_back(peers.Download("medium.bin", medium, 1, table));
        ok = ok && SameContents(shared / "medium.bin", into / "medium.bin");
        fs::remove(into / "medium.bin");
        TransferTable many;
        eight.push_back(peers.Download("medium.bin", medium, 8, many));
        for (int i = 0; i < 8; ++i) {
            fs::path copy = into / ("medium.bin." + std::to_string(i));
            if (!SameContents(shared / "medium.bin", copy)) {
                std::printf("  copy %d differs from the source\n", i);
                ok = false;
            }
            fs::remove(copy);
        }
        peers.uploads().ClearFinished();
    }
    double oneRate = static_cast<double>(medium) / kMiB / Median(one);
    double eightRate = 8.0 * static_cast<double>(medium) / kMiB / Median(eight);
    Report("one download", oneRate, "MiB/s");
    Report("eight at once, in total", eightRate, "MiB/s");
    Report("ratio eight / one (goal >= 0.80), every copy checked", eightRate / oneRate, "");

    std::printf("3. progress bookkeeping in a 512 MiB download\n");
    TransferTable table;
    std::uint64_t uploadChanges = peers.uploads().changeCount();
    double cpuStart = CpuSeconds();
    double seconds = peers.Download("big.bin", big, 1, table);
    double transferCpu = CpuSeconds() - cpuStart;
    fs::remove(into / "big.bin");
    long long updates =
        static_cast<long long>(table.changeCount() + peers.uploads().changeCount() - uploadChanges);
    long long averageBlock = updates > 0 ? big * 2 / updates : big;
    double bookkeeping = BookkeepingCpuSeconds(updates, averageBlock);
    Report("transfer time", seconds, "s");
    Report("CPU time of the transfer (all threads)", transferCpu, "s");
    Report("row updates (both workers)", static_cast<double>(updates), "");
    Report("CPU time of that many updates alone", bookkeeping * 1000.0, "ms");
    Report("bookkeeping share of the transfer's CPU (goal < 5%)", 100.0 * bookkeeping / transferCpu,
           "%");

    std::printf("4. one byte per call, 2 MiB file\n");
    double byteSeconds = OneBytePerCallSeconds(shared / "small.bin", into / "bytes.bin", small);
    TransferTable smallTable;
    double smallSeconds = peers.Download("small.bin", small, 1, smallTable);
    double byteRate = static_cast<double>(small) / kMiB / byteSeconds;
    double smallRate = static_cast<double>(small) / kMiB / smallSeconds;
    Report("one byte per send / recv + write + flush", byteRate, "MiB/s");
    Report("download of the same file", smallRate, "MiB/s");
    Report("ratio download / one byte per call", smallRate / byteRate, "");
    Report("ratio 512 MiB download / one byte per call", downloadRate / byteRate, "");

    fs::remove_all(root);
    if (!ok) {
        std::printf("a downloaded copy differed from its source\n");
        return 1;
    }
    return 0;
}
