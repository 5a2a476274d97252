#include "support/tls_scripted_server.h"

#include <gnutls/gnutls.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "support/test_support.h"

namespace brindle::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads and drops whatever comes until the client closes, at most ten seconds.
void WaitForClientClose(int fd) {
    const auto end = Clock::now() + std::chrono::seconds(10);
    char scratch[4096];
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && ::recv(fd, scratch, sizeof scratch, 0) <= 0) {
            return;
        }
    }
}

struct SessionDeleter {
    void operator()(gnutls_session_int* session) const { gnutls_deinit(session); }
};
struct CredentialsDeleter {
    void operator()(gnutls_certificate_credentials_st* c) const {
        gnutls_certificate_free_credentials(c);
    }
};

bool SendRecord(gnutls_session_t session, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t sent = gnutls_record_send(session, data, size);
        if (sent == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// The request's headers and its Content-Length body, or what came before the
// client stopped sending.
std::string ReadRequest(gnutls_session_t session) {
    std::string data;
    char chunk[4096];
    for (;;) {
        const std::size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            const std::size_t at = data.find("Content-Length: ");
            const std::size_t wanted = at != std::string::npos && at < end
                                           ? std::strtoull(data.c_str() + at + 16, nullptr, 10)
                                           : 0;
            if (data.size() >= end + 4 + wanted) {
                return data;
            }
        }
        ssize_t got = gnutls_record_recv(session, chunk, sizeof chunk);
        if (got == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (got <= 0) {
            return data;
        }
        data.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

TlsScriptedServer::TlsScriptedServer(const CertificatePair& certificate,
                                     std::vector<std::string> replies, Mode mode)
    : certificate_(certificate),
      mode_(mode),
      replies_(std::move(replies)),
      server_([this](int fd) { Serve(fd); }) {}

std::string TlsScriptedServer::url(const std::string& host, const std::string& path) const {
    return "https://" + host + ":" + std::to_string(port()) + path;
}

std::vector<std::string> TlsScriptedServer::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void TlsScriptedServer::Serve(int fd) {
    // Every wait of the server is bounded: a client that goes quiet cannot hold a test.
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (mode_ == Mode::StallHandshake) {
        WaitForClientClose(fd);
        return;
    }
    gnutls_certificate_credentials_t rawCredentials = nullptr;
    gnutls_certificate_allocate_credentials(&rawCredentials);
    std::unique_ptr<gnutls_certificate_credentials_st, CredentialsDeleter> credentials(
        rawCredentials);
    gnutls_session_t rawSession = nullptr;
    gnutls_init(&rawSession, GNUTLS_SERVER);
    std::unique_ptr<gnutls_session_int, SessionDeleter> owned(rawSession);
    gnutls_session_t session = owned.get();
    if (gnutls_certificate_set_x509_key_file(credentials.get(), certificate_.certificate.c_str(),
                                             certificate_.key.c_str(), GNUTLS_X509_FMT_PEM) < 0 ||
        gnutls_set_default_priority(session) < 0 ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials.get()) < 0) {
        ++failedHandshakes_;
        return;
    }
    gnutls_transport_set_int(session, fd);
    int result = 0;
    do {
        result = gnutls_handshake(session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0) {
        ++failedHandshakes_;
        return;
    }

    std::string request = ReadRequest(session);
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const std::size_t index = requests_.size();
        requests_.push_back(std::move(request));
        if (!replies_.empty()) {
            reply = replies_[index < replies_.size() ? index : replies_.size() - 1];
        }
    }
    switch (mode_) {
        case Mode::StallHandshake:
        case Mode::StallReply:
            break;
        case Mode::Trickle: {
            const std::string start = "HTTP/1.1 200 OK\r\nX-Slow: ";
            bool open = SendRecord(session, start.data(), start.size());
            const auto end = Clock::now() + std::chrono::seconds(10);
            while (open && Clock::now() < end) {
                pollfd p{fd, POLLIN, 0};
                // The client's close (or any byte of it) ends the trickle.
                open = ::poll(&p, 1, 20) == 0 && SendRecord(session, "a", 1);
            }
            return;
        }
        case Mode::OneByteRecords:
            for (char byte : reply) {
                if (!SendRecord(session, &byte, 1)) {
                    break;
                }
            }
            break;
        case Mode::Answer:
        case Mode::NoCloseNotify:
            SendRecord(session, reply.data(), reply.size());
            break;
    }
    if (mode_ != Mode::NoCloseNotify && mode_ != Mode::StallReply) {
        gnutls_bye(session, GNUTLS_SHUT_WR);
    }
    if (mode_ == Mode::NoCloseNotify) {
        ::shutdown(fd, SHUT_WR);
    }
    WaitForClientClose(fd);
}

const TestCertificates* TrustedTestCertificates(std::string& error) {
    static TempDir folder;
    static TestCertificates certificates;
    static std::string failure;
    static const bool made = [] {
        if (!MakeTestCertificates(folder.path() / "certificates", certificates, failure)) {
            return false;
        }
        ::setenv("SSL_CERT_FILE", certificates.authority.c_str(), 1);
        return true;
    }();
    error = failure;
    return made ? &certificates : nullptr;
}

}  // namespace brindle::test
