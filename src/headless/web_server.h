// The small HTTP(S) server of the web page: libmicrohttpd with one thread per
// connection, so a slow client or an open event stream holds up nobody else.
// It hands each whole request to one handler and sends back what it returns,
// or a stream of text pieces for Server-Sent Events. Over HTTPS the
// certificate can be replaced while it runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace brindle {

struct WebRequest {
    std::string method;
    std::string path;                            // without the query
    std::map<std::string, std::string> query;    // decoded
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string client;  // the connection's address, as text
    // The value of a header ("" when it is absent), the name in any case.
    [[nodiscard]] std::string Header(const std::string& name) const;
    // The value of one cookie of the Cookie header ("" when absent).
    [[nodiscard]] std::string Cookie(const std::string& name) const;
};

struct WebResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // When set, the body is a stream instead: called again and again, it puts
    // the next piece in `piece` (it may wait for one) and returns false at the
    // end. `stopping` turns true when the server stops.
    std::function<bool(std::string& piece, const std::atomic<bool>& stopping)> stream;
};

using WebHandler = std::function<WebResponse(const WebRequest&)>;

struct WebServerOptions {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    int port = 8081;                    // 0 picks a free port
    // HTTPS when both are set: PEM files of the certificate (with its chain) and its key.
    std::string tlsCertificateFile;
    std::string tlsKeyFile;
    unsigned maxConnections = 64;
    std::size_t maxBodyBytes = std::size_t{64} * 1024;
    [[nodiscard]] bool tls() const { return !tlsCertificateFile.empty(); }
};

// "127.0.0.1:8081" or "[::1]:8081"; false when it is neither.
[[nodiscard]] bool ParseWebAddress(const std::string& text, std::string& address, int& port);

class WebCredentials;

class WebServer {
  public:
    WebServer(WebServerOptions options, WebHandler handler);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and serves; false with `error` set when it cannot.
    [[nodiscard]] bool Start(std::string& error);
    // Ends the event streams and the connections and waits for their threads.
    void Stop();
    // Reads the certificate and key again; later handshakes use them. On
    // failure the old ones stay and `error` says why.
    [[nodiscard]] bool ReloadCertificate(std::string& error);

    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] const WebServerOptions& options() const { return options_; }

  private:
    friend struct WebServerCallbacks;
    std::shared_ptr<const WebCredentials> credentials() const;

    WebServerOptions options_;
    WebHandler handler_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex credentialsLock_;
    std::shared_ptr<const WebCredentials> credentials_;
};

}  // namespace brindle
