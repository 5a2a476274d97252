#include "support/tls_test_client.h"

#include <arpa/inet.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "net/socket.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

std::string SerialOf(const gnutls_datum_t& certificate, gnutls_x509_crt_fmt_t format) {
    gnutls_x509_crt_t parsed = nullptr;
    std::string serial;
    if (gnutls_x509_crt_init(&parsed) < 0) {
        return serial;
    }
    unsigned char bytes[64];
    std::size_t size = sizeof bytes;
    if (gnutls_x509_crt_import(parsed, &certificate, format) >= 0 &&
        gnutls_x509_crt_get_serial(parsed, bytes, &size) >= 0) {
        serial = Hex(bytes, size);
    }
    gnutls_x509_crt_deinit(parsed);
    return serial;
}

Socket Connect(int port, const std::string& source) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        return socket;
    }
    if (!source.empty()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        socket.reset();
    }
    return socket;
}

struct Session {
    gnutls_session_t handle = nullptr;
    ~Session() {
        if (handle != nullptr) {
            gnutls_deinit(handle);
        }
    }
};

}  // namespace

TlsTestClient::TlsTestClient(TlsClientOptions options) : options_(std::move(options)) {
    gnutls_certificate_allocate_credentials(&credentials_);
    if (!options_.authority.empty()) {
        gnutls_certificate_set_x509_trust_file(credentials_, options_.authority.c_str(),
                                               GNUTLS_X509_FMT_PEM);
    }
}

TlsTestClient::~TlsTestClient() {
    gnutls_free(session_.data);
    gnutls_certificate_free_credentials(credentials_);
}

TlsExchangeResult TlsTestClient::Exchange(int port, const std::string& request) {
    TlsExchangeResult result;
    Socket socket = Connect(port, options_.source);
    if (!socket) {
        result.error = "cannot connect";
        return result;
    }
    Session session;
    const char* where = nullptr;
    if (gnutls_init(&session.handle, GNUTLS_CLIENT) < 0 ||
        gnutls_priority_set_direct(session.handle, options_.priorities.c_str(), &where) < 0 ||
        gnutls_credentials_set(session.handle, GNUTLS_CRD_CERTIFICATE, credentials_) < 0) {
        result.error = "cannot set up the session";
        return result;
    }
    in_addr literal{};
    if (inet_pton(AF_INET, options_.hostName.c_str(), &literal) != 1) {
        gnutls_server_name_set(session.handle, GNUTLS_NAME_DNS, options_.hostName.data(),
                               options_.hostName.size());
    }
    if (!options_.authority.empty()) {
        gnutls_session_set_verify_cert(session.handle, options_.hostName.c_str(), 0);
    }
    if (options_.resume && session_.data != nullptr) {
        gnutls_session_set_data(session.handle, session_.data, session_.size);
    }
    gnutls_transport_set_int(session.handle, socket.fd());
    auto milliseconds = static_cast<unsigned>(options_.deadline.count());
    gnutls_handshake_set_timeout(session.handle, milliseconds);
    gnutls_record_set_timeout(session.handle, milliseconds);

    int status = 0;
    do {
        status = gnutls_handshake(session.handle);
    } while (status < 0 && gnutls_error_is_fatal(status) == 0);
    if (status < 0) {
        result.error = std::string("handshake: ") + gnutls_strerror(status);
        if (status == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            gnutls_datum_t text{};
            gnutls_certificate_verification_status_print(
                gnutls_session_get_verify_cert_status(session.handle), GNUTLS_CRT_X509, &text, 0);
            result.error += std::string(" (") + reinterpret_cast<char*>(text.data) + ")";
            gnutls_free(text.data);
        }
        return result;
    }
    result.handshake = true;
    result.resumed = gnutls_session_is_resumed(session.handle) != 0;
    unsigned count = 0;
    const gnutls_datum_t* peers = gnutls_certificate_get_peers(session.handle, &count);
    if (peers != nullptr && count > 0) {
        result.serial = SerialOf(peers[0], GNUTLS_X509_FMT_DER);
    }
    if (options_.afterHandshake) {
        options_.afterHandshake();
    }

    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n =
            gnutls_record_send(session.handle, request.data() + sent, request.size() - sent);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (n < 0) {
            result.error = std::string("send: ") + gnutls_strerror(static_cast<int>(n));
            return result;
        }
        sent += static_cast<std::size_t>(n);
    }
    char buffer[16384];
    auto readUntil = std::chrono::steady_clock::now() + options_.deadline;
    for (;;) {
        ssize_t n = gnutls_record_recv(session.handle, buffer, sizeof buffer);
        if (n > 0) {
            result.reply.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        // GNUTLS_E_AGAIN also follows a session ticket, which carries no data.
        bool late = std::chrono::steady_clock::now() > readUntil;
        if ((n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_AGAIN) && !late) {
            continue;
        }
        if (n == GNUTLS_E_TIMEDOUT || n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            result.error = "no end of reply within the deadline";
            return result;
        }
        // A close without close_notify still ends a reply whose length is known.
        if (n < 0 && n != GNUTLS_E_PREMATURE_TERMINATION) {
            result.error = std::string("receive: ") + gnutls_strerror(static_cast<int>(n));
        }
        break;
    }
    if (options_.resume) {
        gnutls_free(session_.data);
        session_ = {};
        gnutls_session_get_data2(session.handle, &session_);
    }
    return result;
}

std::string CertificateSerial(const std::filesystem::path& pem) {
    std::string text = ReadWholeFile(pem);
    gnutls_datum_t datum{reinterpret_cast<unsigned char*>(text.data()),
                         static_cast<unsigned>(text.size())};
    return SerialOf(datum, GNUTLS_X509_FMT_PEM);
}

}  // namespace brindle::test
