// 200 concurrent clients on loopback mixing searches and lookups, each request
// on a connection of its own as the client makes them, against one client
// alone measured in the same run. The server runs with its default limits; the
// clients come from ten loopback addresses, as users of a group would come from
// several machines.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "server/event_dispatcher.h"
#include "server/http_server.h"
#include "server/password_hasher.h"
#include "server/sqlite_store.h"

using namespace brindle::server;
using namespace brindle::server::bench;

namespace {

constexpr int kUsers = 200;
constexpr int kFilesPerUser = 500;
constexpr int kSourceAddresses = 10;

const char* const kQueries[] = {"river",       "velvet mirror", "artist 0042", "blue",
                                "ocean storm", "01 - ",         "canyon",      "no such song",
                                "ember tide",  "gold"};
const char* const kTypes[] = {"*.mp3", "*.*", "*.ogg"};

struct Outcome {
    std::vector<double> latencies;
    long long failures = 0;
};

// `clients` threads send requests until `seconds` have passed.
Outcome Run(int port, int clients, double seconds) {
    std::vector<Outcome> perClient(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::mt19937 random(static_cast<unsigned>(c));
            std::string source = "127.0.0." + std::to_string(1 + c % kSourceAddresses);
            Outcome& outcome = perClient[static_cast<std::size_t>(c)];
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
                           "&userName=user" + std::to_string(c % kUsers);
                } else {
                    body = "event=onLookupUserIP&userName=user" +
                           std::to_string(random() % (kUsers + 20));
                }
                Exchanged reply = Exchange(port, ClientRequest(body, port), source);
                if (!reply.ok) {
                    ++outcome.failures;
                } else {
                    outcome.latencies.push_back(reply.firstByteToReplyMs);
                }
            }
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    Outcome all;
    for (auto& one : perClient) {
        all.failures += one.failures;
        all.latencies.insert(all.latencies.end(), one.latencies.begin(), one.latencies.end());
    }
    return all;
}

void Print(const char* label, const Outcome& outcome, double seconds) {
    std::printf("%-22s %8.0f req/s  median %6.2f ms  p99 %7.2f ms  requests %7zu  failures %lld\n",
                label, static_cast<double>(outcome.latencies.size()) / seconds,
                Median(outcome.latencies), Percentile(outcome.latencies, 0.99),
                outcome.latencies.size(), outcome.failures);
}

}  // namespace

int main() {
    ScratchDir scratch;
    std::string error;
    auto store = SqliteStore::Open((scratch.path() / "directory.db").string(), error);
    if (!store || !PasswordHasher::Initialize()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    NameGenerator names(11);
    for (int user = 0; user < kUsers; ++user) {
        std::vector<std::string> texts;
        for (int i = 0; i < kFilesPerUser; ++i) {
            texts.push_back(names.Next(i));
        }
        std::vector<PublishedFile> files;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            files.push_back({texts[i], static_cast<std::int64_t>(i)});
        }
        std::string name = "user" + std::to_string(user);
        std::string ip =
            "10.0." + std::to_string(user / 250) + "." + std::to_string(user % 250 + 1);
        store->Register({name, "hash", "DSL,Cable", ip, &files});
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(*store, hasher);
    HttpServerOptions options;  // the defaults, apart from the address
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    DirectoryHttpServer server(dispatcher, options, nullptr);
    if (!server.Start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf(
        "%d users, %d files; half searches, half lookups; default limits "
        "(%u connections, %u per address)\n\n",
        kUsers, kUsers * kFilesPerUser, options.maxConnections, options.maxConnectionsPerAddress);
    constexpr double kSingleSeconds = 4;
    constexpr double kLoadSeconds = 10;
    Outcome single = Run(server.port(), 1, kSingleSeconds);
    Print("1 client", single, kSingleSeconds);
    Outcome loaded = Run(server.port(), 200, kLoadSeconds);
    Print("200 concurrent clients", loaded, kLoadSeconds);
    double singleRate = static_cast<double>(single.latencies.size()) / kSingleSeconds;
    double loadRate = static_cast<double>(loaded.latencies.size()) / kLoadSeconds;
    std::printf(
        "\nthroughput 200 clients / 1 client: %.2fx; p99 under load / median alone: %.1fx; "
        "failures: %lld\n",
        loadRate / singleRate, Percentile(loaded.latencies, 0.99) / Median(single.latencies),
        loaded.failures);
    return loaded.failures == 0 ? 0 : 1;
}
