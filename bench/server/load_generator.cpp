#include "load_generator.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "bench_support.h"

namespace brindle::server::bench {
namespace {

constexpr int kSourceAddresses = 10;

const char* const kQueries[] = {"river",       "velvet mirror", "artist 0042", "blue",
                                "ocean storm", "01 - ",         "canyon",      "no such song",
                                "ember tide",  "gold"};
const char* const kTypes[] = {"*.mp3", "*.*", "*.ogg"};

}  // namespace

double LoadOutcome::RequestsPerSecond() const {
    return seconds > 0 ? static_cast<double>(latencies.size()) / seconds : 0;
}

LoadOutcome RunLoad(const std::vector<int>& ports, int clients, double seconds, int users) {
    std::vector<LoadOutcome> perClient(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 random(static_cast<unsigned>(c));
            std::string source = "127.0.0." + std::to_string(1 + c % kSourceAddresses);
            int port = ports[static_cast<std::size_t>(c) % ports.size()];
            LoadOutcome& outcome = perClient[static_cast<std::size_t>(c)];
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (long i = 0; Clock::now() < deadline; ++i) {
                std::string body;
                if (i % 2 == 0) {
                    std::string query = kQueries[random() % 10];
                    for (char& ch : query) {
                        ch = ch == ' ' ? '+' : ch;
                    }
                    body = "event=onSearch&qs=" + query + "&max=100&ext=" + kTypes[random() % 3] +
                           "&userName=user" + std::to_string(c % users);
                } else {
                    body = "event=onLookupUserIP&userName=user" +
                           std::to_string(random() % static_cast<unsigned>(users + 20));
                }
                Exchanged reply = Exchange(port, ClientRequest(body, port), source);
                if (!reply.ok) {
                    ++outcome.failures;
                } else {
                    outcome.latencies.push_back(reply.firstByteToReplyMs);
                    (i % 2 == 0 ? outcome.searches : outcome.lookups)
                        .push_back(reply.firstByteToReplyMs);
                }
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    LoadOutcome all;
    all.seconds = seconds;
    for (auto& one : perClient) {
        all.failures += one.failures;
        all.latencies.insert(all.latencies.end(), one.latencies.begin(), one.latencies.end());
        all.searches.insert(all.searches.end(), one.searches.begin(), one.searches.end());
        all.lookups.insert(all.lookups.end(), one.lookups.begin(), one.lookups.end());
    }
    return all;
}

void PrintLoadRow(const char* label, const LoadOutcome& outcome) {
    std::printf(
        "%-24s %6.0f req/s  median %6.2f ms  p99 %7.2f ms  requests %6zu  failures %lld"
        "  (medians: search %.2f ms, lookup %.2f ms)\n",
        label, outcome.RequestsPerSecond(), Median(outcome.latencies),
        Percentile(outcome.latencies, 0.99), outcome.latencies.size(), outcome.failures,
        Median(outcome.searches), Median(outcome.lookups));
    std::fflush(stdout);
}

}  // namespace brindle::server::bench
