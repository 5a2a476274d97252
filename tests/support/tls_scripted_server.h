// A scripted HTTPS stand-in on loopback: a GnuTLS server session with a given
// certificate on each accepted connection, recording the exact decrypted
// request bytes and answering with canned replies, or stalling on purpose.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_server.h"
#include "support/test_certificates.h"

namespace brindle::test {

class TlsScriptedServer {
  public:
    enum class Mode {
        Answer,          // the reply in as few records as the library likes
        OneByteRecords,  // every byte of the reply in a record of its own
        NoCloseNotify,   // the reply, then a close without the closing alert
        StallHandshake,  // accepts, then answers nothing at all
        StallReply,      // reads the request, then answers nothing
        Trickle,         // a header line that never ends, one byte every 20 ms
    };

    // `replies[i]` answers the i-th request; the last one answers the rest.
    TlsScriptedServer(const CertificatePair& certificate, std::vector<std::string> replies,
                      Mode mode = Mode::Answer);
    TlsScriptedServer(const CertificatePair& certificate, std::string reply,
                      Mode mode = Mode::Answer)
        : TlsScriptedServer(certificate, std::vector<std::string>{std::move(reply)}, mode) {}

    int port() const { return server_.port(); }
    // "https://host:port" + path.
    std::string url(const std::string& host = "127.0.0.1",
                    const std::string& path = "/examples/servlet/brindlenet") const;
    // The decrypted bytes of every request (headers and body) after a handshake.
    std::vector<std::string> requests() const;
    int accepted() const { return server_.accepted(); }
    int failedHandshakes() const { return failedHandshakes_.load(); }

  private:
    void Serve(int fd);

    CertificatePair certificate_;
    Mode mode_;
    mutable std::mutex lock_;
    std::vector<std::string> replies_;
    std::vector<std::string> requests_;
    std::atomic<int> failedHandshakes_{0};
    ScriptedServer server_;  // last: its thread stops before the rest goes
};

// The test certificates of this process, made on first use, with their
// authority trusted through SSL_CERT_FILE. Null, with `error` set, when they
// could not be made.
const TestCertificates* TrustedTestCertificates(std::string& error);

}  // namespace brindle::test
