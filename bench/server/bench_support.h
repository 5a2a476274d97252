// Shared pieces of the directory server benchmarks: a scratch folder, file
// names that look like a music collection, raw client requests and medians.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "server/store/directory_store.h"

namespace brindle::server::bench {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start);

// A fresh folder under the temporary directory, removed with its contents.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Deterministic names such as "music\Artist 0042\Album 07\03 - river blue.mp3".
class NameGenerator {
  public:
    explicit NameGenerator(std::uint32_t seed) : random_(seed) {}
    std::string Next(int index);

  private:
    std::mt19937 random_;
};

// Registers users "user0", "user1", ... each with `filesPerUser` generated
// names (from one generator seeded with `seed`, user after user, so the names
// are the same whatever `threads`) and the address 10.0.<n / 250>.<n % 250 + 1>,
// from `threads` threads at once. False when a registration fails.
[[nodiscard]] bool PublishLibrary(DirectoryStore& store, int users, int filesPerUser,
                                  std::uint32_t seed, int threads = 1);

// The form body of a registration, as the client builds it.
std::string RegistrationBody(const std::string& user, const std::string& password,
                             const std::vector<std::string>& names);
// The whole POST with the client's headers.
std::string ClientRequest(const std::string& body, int port);

struct Exchanged {
    bool ok = false;   // connected, sent, and got a complete reply
    std::string body;  // the reply body
    double firstByteToReplyMs = 0;
};

// Connects to 127.0.0.1:port (from `source` when not empty), sends `request`,
// reads until the server closes.
Exchanged Exchange(int port, const std::string& request, const std::string& source = "");

double Percentile(std::vector<double> values, double fraction);
inline double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

// Times 51 searches for "velvet mirror" (*.mp3) through a directory server on
// `store` over loopback, first byte to reply, and prints their median and 99th
// percentile. False when the server cannot start or a search fails.
bool PrintHttpSearchTimes(DirectoryStore& store);

}  // namespace brindle::server::bench
