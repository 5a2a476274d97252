// Helpers of the directory server's tests: a server started in-process on a
// free loopback port, raw HTTP exchanges and the request bytes a client sends.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/test_support.h"

namespace brindle::server::test {

struct FileEntry {
    std::string name;
    long long size = 0;
};

// Form-encodes a value: letters and digits kept, space as '+', the rest %XX.
std::string FormEncode(const std::string& value);

// The body of a registration, fields in the order the client sends them.
std::string RegistrationBody(const std::string& user, const std::string& password,
                             const std::string& connection, const std::vector<FileEntry>& files);

// The whole POST a client sends for `body`, headers included.
std::string ClientRequest(const std::string& body, int port);

struct HttpReply {
    bool complete = false;  // a status line and a blank line were received
    int status = 0;
    std::string headers;  // status line and header lines, up to the blank line
    std::string body;
    std::string Header(const std::string& name) const;  // "" when absent
};

HttpReply ParseReply(const std::string& raw);

// Connects to 127.0.0.1:port, sends `bytes`, reads until the server closes
// (at most `deadlineMs`). The raw reply bytes; "" when nothing came.
std::string Exchange(int port, const std::string& bytes, int deadlineMs = 20000);

// ClientRequest + Exchange + ParseReply.
HttpReply Post(int port, const std::string& body);

// A connection from `source` (any 127.0.0.0/8 address, all of which are on
// the loopback interface) to 127.0.0.1:`port`; invalid when it failed.
Socket ConnectFrom(const std::string& source, int port);

// Clients that hold a server's connections: each sends `opening` on its
// connection, then one more byte every `interval` (nothing more when zero),
// never finishing its request, until the server closes it. A thread of its
// own sends the bytes and notices the closes.
class SlowClients {
  public:
    SlowClients(std::vector<Socket> connections, const std::string& opening,
                std::chrono::milliseconds interval);
    ~SlowClients();
    SlowClients(const SlowClients&) = delete;
    SlowClients& operator=(const SlowClients&) = delete;

    std::size_t size() const { return connections_.size(); }
    // Waits until the server has closed every connection, at most `deadline`.
    bool WaitAllClosed(std::chrono::milliseconds deadline);

  private:
    void Run();

    std::vector<Socket> connections_;  // invalid once the server closed it
    std::chrono::milliseconds interval_;
    std::atomic<std::size_t> closed_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A directory server on a fresh database in its own temporary folder; HTTPS
// when the options name a certificate.
class InProcessServer {
  public:
    explicit InProcessServer(HttpServerOptions options = LoopbackOptions(),
                             DirectoryLimits limits = {});
    ~InProcessServer();

    static HttpServerOptions LoopbackOptions();

    int port() const { return http_->port(); }
    std::string url() const;
    SqliteStore& store() { return *store_; }
    DirectoryHttpServer& http() { return *http_; }
    std::vector<std::string> logLines() const;
    const brindle::test::TempDir& dir() const { return dir_; }

  private:
    brindle::test::TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
    PasswordHasher hasher_{PasswordHasher::Minimum()};
    std::unique_ptr<EventDispatcher> dispatcher_;
    std::unique_ptr<DirectoryHttpServer> http_;
    mutable std::mutex logLock_;
    std::vector<std::string> log_;
};

}  // namespace brindle::server::test
