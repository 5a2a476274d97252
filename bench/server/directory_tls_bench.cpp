// The cost of HTTPS: 200 concurrent clients making address lookups, each on a
// connection of its own with "Connection: close" as the client makes them,
// against plain HTTP measured in the same run. Then HTTPS with the clients
// offering their previous session for resumption, and with an RSA key
// instead of ECDSA. The clients verify the certificate, as real ones do, and
// share the machine with the server. They come from ten loopback addresses.
// Last, the program's own client over HTTP and over HTTPS, where it resumes
// the session it keeps for the server. Beside each HTTPS part: the CPU time a
// request costs the server and the clients, and the server's share of what
// the handshake adds over plain HTTP.
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "net/http_client.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/child_process.h"
#include "support/test_certificates.h"
#include "support/tls_test_client.h"

using namespace brindle::server;
using namespace brindle::server::bench;
using brindle::test::TlsClientOptions;
using brindle::test::TlsTestClient;

namespace {

constexpr int kUsers = 200;
constexpr int kClients = 200;
constexpr int kSourceAddresses = 10;
constexpr double kSeconds = 6;

// Who makes the requests of a part.
enum class Requester {
    Raw,         // plain HTTP written on the socket
    TestTls,     // the benchmark's own GnuTLS client
    RealClient,  // the program's client: PostForm, with its kept sessions
};

struct Outcome {
    std::vector<double> latencies;
    long long failures = 0;
    long long resumed = 0;
    double processCpu = 0;  // seconds of CPU of the whole process during the part
    double clientCpu = 0;   // seconds of CPU of the client threads
    double rate(double seconds) const { return static_cast<double>(latencies.size()) / seconds; }
    double p99() const { return Percentile(latencies, 0.99); }
    double requests() const { return static_cast<double>(latencies.size() + failures); }
    // Microseconds of CPU per request.
    double serverCpuPerRequest() const { return (processCpu - clientCpu) * 1e6 / requests(); }
    double clientCpuPerRequest() const { return clientCpu * 1e6 / requests(); }
};

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ThreadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One lookup with the program's client; whether it got an address, and
// whether it resumed a kept session.
bool RealLookup(const std::string& url, const std::string& body, bool& resumed) {
    brindle::FormReply reply = brindle::PostForm(url, brindle::RequestTimeouts{}, body);
    resumed = reply.tls && reply.tls->resumed();
    std::string line;
    return reply && reply.ReadLine(line) && line.rfind("10.0.0.", 0) == 0;
}

std::string Lookup(int port, unsigned n) {
    return ClientRequest("event=onLookupUserIP&userName=user" + std::to_string(n % kUsers), port);
}

// `kClients` threads make lookups for `kSeconds`; `tls` null for plain HTTP.
// The program's client goes to `scheme`://127.0.0.1.
Outcome Run(int port, const std::optional<TlsClientOptions>& tls, Requester requester,
            const std::string& scheme) {
    const std::string url =
        scheme + "://127.0.0.1:" + std::to_string(port) + "/examples/servlet/brindlenet";
    const double cpuBefore = ProcessCpuSeconds();
    std::vector<Outcome> perClient(kClients);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(kSeconds * 1000));
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            Outcome& outcome = perClient[static_cast<std::size_t>(c)];
            std::string source = "127.0.0." + std::to_string(1 + c % kSourceAddresses);
            std::optional<TlsTestClient> client;
            if (tls) {
                TlsClientOptions options = *tls;
                options.source = source;
                client.emplace(options);
            }
            while (!go.load()) {
                std::this_thread::yield();
            }
            const double cpuStart = ThreadCpuSeconds();
            for (unsigned i = static_cast<unsigned>(c); Clock::now() < deadline; i += 7) {
                auto start = Clock::now();
                bool ok = false;
                if (requester == Requester::RealClient) {
                    bool resumed = false;
                    ok = RealLookup(
                        url, "event=onLookupUserIP&userName=user" + std::to_string(i % kUsers),
                        resumed);
                    outcome.resumed += resumed ? 1 : 0;
                } else if (client) {
                    auto result = client->Exchange(port, Lookup(port, i));
                    ok = result.error.empty() && result.reply.rfind("HTTP/1.1 200", 0) == 0;
                    outcome.resumed += result.resumed ? 1 : 0;
                } else {
                    ok = Exchange(port, Lookup(port, i), source).ok;
                }
                if (ok) {
                    outcome.latencies.push_back(MillisecondsSince(start));
                } else {
                    ++outcome.failures;
                }
            }
            outcome.clientCpu = ThreadCpuSeconds() - cpuStart;
        });
    }
    go = true;
    for (auto& thread : threads) {
        thread.join();
    }
    Outcome all;
    for (auto& one : perClient) {
        all.failures += one.failures;
        all.resumed += one.resumed;
        all.clientCpu += one.clientCpu;
        all.latencies.insert(all.latencies.end(), one.latencies.begin(), one.latencies.end());
    }
    all.processCpu = ProcessCpuSeconds() - cpuBefore;
    return all;
}

void Print(const char* label, const Outcome& outcome, const Outcome* reference,
           bool resumption = false) {
    std::printf("%-34s", label);
    std::printf(" %7.0f req/s  median %6.2f ms  p99 %7.2f ms  failures %lld",
                outcome.rate(kSeconds), Median(outcome.latencies), outcome.p99(), outcome.failures);
    if (resumption) {
        std::printf("  resumed %.0f%%",
                    100.0 * static_cast<double>(outcome.resumed) /
                        static_cast<double>(outcome.latencies.size() + outcome.failures));
    }
    if (reference != nullptr) {
        std::printf("\n%34s throughput %.2fx of plain HTTP, p99 %.1fx", "",
                    outcome.rate(kSeconds) / reference->rate(kSeconds),
                    outcome.p99() / reference->p99());
        // What TLS adds per request over plain HTTP, on each side.
        const double server = outcome.serverCpuPerRequest() - reference->serverCpuPerRequest();
        const double clients = outcome.clientCpuPerRequest() - reference->clientCpuPerRequest();
        std::printf(
            "\n%34s CPU per request: server %.0f us, clients %.0f us; handshake adds "
            "server %.0f us, clients %.0f us: server's share %.0f%%",
            "", outcome.serverCpuPerRequest(), outcome.clientCpuPerRequest(), server, clients,
            server + clients > 0 ? 100.0 * server / (server + clients) : 0.0);
    } else {
        std::printf("\n%34s CPU per request: server %.0f us, clients %.0f us", "",
                    outcome.serverCpuPerRequest(), outcome.clientCpuPerRequest());
    }
    std::printf("\n");
}

// A self-signed RSA certificate for "localhost" made with certtool; false when it cannot.
bool MakeRsaCertificate(const std::filesystem::path& folder) {
    brindle::test::ChildProcess::Options quiet;
    std::ofstream(folder / "rsa.tmpl") << "cn = \"localhost\"\ndns_name = \"localhost\"\n"
                                          "ca\ncert_signing_key\ntls_www_server\nsigning_key\n"
                                          "encryption_key\nexpiration_days = 2\n";
    return brindle::test::RunToEnd({"certtool", "--generate-privkey", "--key-type", "rsa", "--bits",
                                    "2048", "--outfile", (folder / "rsa.key").string()},
                                   quiet) == 0 &&
           brindle::test::RunToEnd(
               {"certtool", "--generate-self-signed", "--load-privkey",
                (folder / "rsa.key").string(), "--template", (folder / "rsa.tmpl").string(),
                "--outfile", (folder / "rsa.pem").string()},
               quiet) == 0;
}

}  // namespace

int main() {
    ScratchDir scratch;
    std::string error;
    brindle::test::TestCertificates certificates;
    if (!brindle::test::MakeTestCertificates(scratch.path() / "certificates", certificates,
                                             error) ||
        !MakeRsaCertificate(scratch.path())) {
        std::fprintf(stderr, "cannot make certificates: %s\n", error.c_str());
        return 1;
    }
    auto store = SqliteStore::Open((scratch.path() / "directory.db").string(), error);
    if (!store || !PasswordHasher::Initialize()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<PublishedFile> none;
    for (int user = 0; user < kUsers; ++user) {
        store->Register({"user" + std::to_string(user), "hash", "DSL",
                         "10.0.0." + std::to_string(user + 1), none});
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(*store, hasher);

    // Each part on a server of its own, with the default limits.
    // The program's client connects from 127.0.0.1 only: its parts lift the
    // limit of connections per address, the same for HTTP and HTTPS.
    auto measure = [&](const std::string& certificate, const std::string& key,
                       const std::optional<TlsClientOptions>& tls,
                       Requester requester = Requester::Raw) -> std::optional<Outcome> {
        HttpServerOptions options;
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        options.tlsCertificateFile = certificate;
        options.tlsKeyFile = key;
        if (requester == Requester::RealClient) {
            options.maxConnectionsPerAddress = options.maxConnections;
        }
        DirectoryHttpServer server(dispatcher, options, nullptr);
        if (!server.Start(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return std::nullopt;
        }
        if (requester == Requester::Raw && tls) {
            requester = Requester::TestTls;
        }
        return Run(server.port(), tls, requester, certificate.empty() ? "http" : "https");
    };
    TlsClientOptions verifying;
    verifying.authority = certificates.authority;
    TlsClientOptions resuming = verifying;
    resuming.resume = true;
    TlsClientOptions rsa;
    rsa.authority = scratch.path() / "rsa.pem";

    std::printf("%d clients, a new connection per lookup, %.0f s per part\n\n", kClients, kSeconds);
    auto plain = measure("", "", std::nullopt);
    auto ecdsa = measure(certificates.server.certificate.string(), certificates.server.key.string(),
                         verifying);
    auto resumed = measure(certificates.server.certificate.string(),
                           certificates.server.key.string(), resuming);
    auto withRsa =
        measure((scratch.path() / "rsa.pem").string(), (scratch.path() / "rsa.key").string(), rsa);
    // The program's client trusts the test authority through SSL_CERT_FILE.
    ::setenv("SSL_CERT_FILE", certificates.authority.c_str(), 1);
    auto realPlain = measure("", "", std::nullopt, Requester::RealClient);
    auto realTls = measure(certificates.server.certificate.string(),
                           certificates.server.key.string(), std::nullopt, Requester::RealClient);
    if (!plain || !ecdsa || !resumed || !withRsa || !realPlain || !realTls) {
        return 1;
    }
    Print("HTTP", *plain, nullptr);
    Print("HTTPS, ECDSA P-256", *ecdsa, &*plain);
    Print("HTTPS, ECDSA, resumption offered", *resumed, &*plain, true);
    Print("HTTPS, RSA 2048", *withRsa, &*plain);
    std::printf("\nRSA 2048 / ECDSA P-256 throughput: %.2fx\n\n",
                withRsa->rate(kSeconds) / ecdsa->rate(kSeconds));
    Print("HTTP, the program's client", *realPlain, nullptr);
    Print("HTTPS, the program's client", *realTls, &*realPlain, true);
    std::printf("\nThe program's client, resumed sessions: HTTPS/HTTP throughput %.2fx\n",
                realTls->rate(kSeconds) / realPlain->rate(kSeconds));
    long long failures = plain->failures + ecdsa->failures + resumed->failures + withRsa->failures +
                         realPlain->failures + realTls->failures;
    return failures == 0 ? 0 : 1;
}
