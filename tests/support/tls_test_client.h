// A small HTTPS client for tests and benchmarks, built on GnuTLS: one
// connection per exchange to 127.0.0.1, the server's certificate verified
// against a given authority and host name, and the certificate it presented
// reported so a test can tell which one was served.
#pragma once

#include <gnutls/gnutls.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace brindle::test {

struct TlsClientOptions {
    std::filesystem::path authority;     // trusted authority (PEM); empty: nothing is verified
    std::string hostName = "localhost";  // the name (or address) the certificate must hold
    std::string priorities = "NORMAL";   // GnuTLS priorities, e.g. to offer only TLS 1.1
    std::string source;                  // local address to connect from; "" for any
    bool resume = false;                 // offer the session of the previous exchange
    std::chrono::milliseconds deadline = std::chrono::seconds(20);  // per step
    // Runs once the handshake is done, before the request goes out: lets a
    // test change the server under an open connection.
    std::function<void()> afterHandshake;
};

struct TlsExchangeResult {
    bool handshake = false;  // connected, handshake done, certificate verified
    bool resumed = false;    // the server took up the offered session
    std::string error;       // why the exchange failed; "" when it did not
    std::string serial;      // hex serial of the certificate the server presented
    std::string reply;       // everything received until the server closed
};

class TlsTestClient {
  public:
    explicit TlsTestClient(TlsClientOptions options);
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // Connects to 127.0.0.1:`port`, sends `request` and reads until the
    // server closes. Not to be used by two threads at once.
    TlsExchangeResult Exchange(int port, const std::string& request);

  private:
    TlsClientOptions options_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_datum_t session_{};  // of the last exchange, for resumption
};

// The hex serial of the first certificate in a PEM file; "" when there is none.
std::string CertificateSerial(const std::filesystem::path& pem);

}  // namespace brindle::test
