// The directory's HTTP front: libmicrohttpd driven by poll on a few polling
// threads, with the events handled on a fixed pool of handler threads, so idle
// or slow clients never hold up anybody else, and requests waiting for a push
// are suspended without a thread of their own; limits on connections, on
// connections per address, on idle time, on the time a header block and a
// body may take and on request bodies. HTTPS when given a certificate, which
// can be replaced while the server runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "server/events/event_dispatcher.h"
#include "server/http/address_range.h"
#include "server/http/metrics.h"
#include "server/log_sink.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace brindle::server {

class TlsCredentials;

// 127.0.0.0/8 and ::1: the machine itself.
std::vector<AddressRange> DefaultAdminRanges();

struct HttpServerOptions {
    std::string bindAddress = "0.0.0.0";  // IPv4 or IPv6 literal ("::" serves both)
    int port = 8080;                      // 0 picks a free port
    unsigned maxConnections = 1000;
    unsigned maxConnectionsPerAddress = 64;
    unsigned idleTimeoutSeconds = 30;
    // Threads reading and writing the sockets, and threads running the events
    // (password hashing and the database).
    unsigned pollThreads = 2;
    unsigned handlerThreads = 8;
    // A request's whole header block (over HTTPS the handshake too) must be in
    // this long after the connection opened or its previous reply went out,
    // however slowly its bytes trickle in; then the connection is closed.
    std::chrono::milliseconds headerTimeout = std::chrono::seconds(10);
    // A request body must be in whole this long after its headers.
    std::chrono::milliseconds bodyTimeout = std::chrono::seconds(60);
    std::size_t maxBodyBytes = 64u << 20;
    // All request bodies held in memory at once, counting the bytes received
    // rather than the lengths announced; a request whose announced body would
    // not fit gets "BUSY" instead of exhausting the machine's memory.
    std::size_t maxBufferedBytes = 512u << 20;
    // Reverse proxies: a request from one of them is taken to come from the
    // last address in its X-Forwarded-For header.
    std::vector<AddressRange> trustedProxies;
    // Who may GET /healthz and /metrics, judged by the connection's address.
    std::vector<AddressRange> adminFrom = DefaultAdminRanges();
    // HTTPS instead of plain HTTP when both are set: PEM files of the
    // certificate (followed by its intermediate certificates) and of its key.
    std::string tlsCertificateFile;
    std::string tlsKeyFile;

    [[nodiscard]] bool tls() const { return !tlsCertificateFile.empty(); }
};

// "2024-05-01T12:34:56.789Z 10.0.0.5 onSearch 200 3 results 0.8ms"
std::string FormatRequestLogLine(std::chrono::system_clock::time_point when,
                                 const std::string& client, const std::string& event, int status,
                                 const std::string& outcome, double milliseconds);

class DirectoryHttpServer {
  public:
    DirectoryHttpServer(EventDispatcher& dispatcher, HttpServerOptions options, LogSink log);
    ~DirectoryHttpServer();
    DirectoryHttpServer(const DirectoryHttpServer&) = delete;
    DirectoryHttpServer& operator=(const DirectoryHttpServer&) = delete;

    // Binds and starts serving. False with `error` set when it cannot.
    bool Start(std::string& error);
    // Stops accepting, ends the open connections and waits for their threads.
    void Stop();

    // Reads the certificate and key files again; handshakes from then on use
    // them, connections already open keep theirs. When the files are unusable
    // the certificate in use stays and false comes back with `error` set.
    // Either way the outcome is logged.
    bool ReloadCertificate(std::string& error);

    int port() const { return port_; }
    const HttpServerOptions& options() const { return options_; }

    // Open connections by what the server waits for from them.
    struct ConnectionCounts {
        std::size_t awaitingHeaders = 0;  // including idle ones between requests
        std::size_t awaitingBody = 0;
        std::size_t waitingForPush = 0;  // suspended in the waiting line
    };
    [[nodiscard]] ConnectionCounts connectionCounts() const;

  private:
    struct PendingRequest;
    struct Connection;
    // Where a connection is in its current request: each of the first two
    // has a deadline, the third is the server's own time.
    enum class Stage { Headers, Body, Handling };
    friend struct HttpCallbacks;
    friend struct TlsCallbacks;

    std::shared_ptr<const TlsCredentials> credentials() const;

    void Opened(MHD_Connection* connection, void** socketContext);
    void Closed(void** socketContext);
    // Moves a connection to the next stage of a request, restarting its clock.
    void Enter(Connection* connection, Stage stage);
    // Closes the connections whose header block or body is overdue, and
    // answers the waiting requests whose time is up.
    void Watch();
    // Runs the event of a suspended request on a handler thread; the reply
    // goes out once the connection is resumed.
    void Handle(MHD_Connection* connection, PendingRequest* request);
    void Resume(MHD_Connection* connection, PendingRequest* request);
    void RunHandlers();

    // False when the connection is to be closed without a reply.
    bool Receive(MHD_Connection* connection, const char* url, const char* method,
                 const char* uploadData, std::size_t* uploadSize, void** state);
    // Adds a piece of a request's body; false when the connection is to be
    // closed because the body outgrows its limit or the memory budget.
    bool TakeBodyChunk(PendingRequest& request, std::string_view chunk);
    void Complete(void** state, const char* reason);
    bool Respond(MHD_Connection* connection, PendingRequest& request, int status,
                 const std::string& body, const std::string& event, const std::string& outcome,
                 const char* contentType = "text/plain");
    // Takes the user's address from X-Forwarded-For, for a request from a trusted proxy.
    void ApplyForwardedFor(MHD_Connection* connection, PendingRequest& request);
    bool MayAdminister(const sockaddr* peer, const PendingRequest& request) const;
    bool ServeAdmin(MHD_Connection* connection, PendingRequest& request, std::string_view path);
    // Counts a request that ends in a reply of `status` (0: none) in the metrics, once.
    void Count(PendingRequest& request, const std::string& event, int status);
    bool Account(PendingRequest& request, std::size_t bytes);
    void Log(const PendingRequest& request, const std::string& event, int status,
             const std::string& outcome);

    EventDispatcher& dispatcher_;
    HttpServerOptions options_;
    LogSink log_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::atomic<std::size_t> buffered_{0};
    ServerMetrics metrics_;
    mutable std::mutex credentialsLock_;                 // guards the pointer and the ticket key
    std::shared_ptr<const TlsCredentials> credentials_;  // immutable once loaded
    // Random per start and per certificate reload: encrypts the session tickets
    // clients resume with, so a ticket issued under a replaced certificate is
    // refused and its client checks the new certificate in a full handshake.
    std::string ticketKey_;
    // Every open connection, for the watchdog thread that enforces the header
    // and body deadlines. The lock also guards each connection's stage.
    mutable std::mutex connectionsLock_;
    std::condition_variable watchWake_;
    std::unordered_set<Connection*> connections_;
    bool watching_ = false;
    std::thread watchdog_;
    // Events waiting for a handler thread.
    std::mutex jobsLock_;
    std::condition_variable jobsWake_;
    std::deque<std::pair<MHD_Connection*, PendingRequest*>> jobs_;
    bool handling_ = false;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> handlers_;
};

}  // namespace brindle::server
