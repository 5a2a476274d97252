#include "net/tls_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "net/tls_session_cache.h"

namespace brindle {

namespace {

// The library's defaults without TLS 1.0 and 1.1, and with the same key
// exchange groups but X25519 first: the one key share sent is then the
// cheapest to make. Parsed once for every session; null when they cannot be.
constexpr char kPriorities[] =
    "-VERS-TLS1.1:-VERS-TLS1.0:-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:+GROUP-SECP384R1:"
    "+GROUP-SECP521R1:+GROUP-X448:+GROUP-FFDHE2048:+GROUP-FFDHE3072:+GROUP-FFDHE4096:"
    "+GROUP-FFDHE6144:+GROUP-FFDHE8192";

gnutls_priority_t SharedPriorities() {
    static gnutls_priority_t priorities = [] {
        gnutls_priority_t parsed = nullptr;
        const char* where = nullptr;
        if (gnutls_priority_init2(&parsed, kPriorities, &where, GNUTLS_PRIORITY_INIT_DEF_APPEND) !=
            GNUTLS_E_SUCCESS) {
            return static_cast<gnutls_priority_t>(nullptr);
        }
        return parsed;
    }();
    return priorities;
}

bool Passed(Deadline deadline) {
    return deadline != kNoDeadline && std::chrono::steady_clock::now() >= deadline;
}

// Why the certificate was refused, most fundamental cause first.
std::string VerificationReason(unsigned status) {
    if (status & GNUTLS_CERT_SIGNER_NOT_FOUND) {
        return "certificate signed by an unknown authority";
    }
    if (status & GNUTLS_CERT_REVOKED) {
        return "certificate has been revoked";
    }
    if (status & GNUTLS_CERT_EXPIRED) {
        return "certificate has expired";
    }
    if (status & GNUTLS_CERT_NOT_ACTIVATED) {
        return "certificate is not yet valid";
    }
    if (status & GNUTLS_CERT_UNEXPECTED_OWNER) {
        return "certificate is for another host";
    }
    if (status & GNUTLS_CERT_INSECURE_ALGORITHM) {
        return "certificate uses an insecure algorithm";
    }
    return "certificate could not be verified";
}

}  // namespace

struct TlsChannel::AddressCheck {
    gnutls_typed_vdata_st check{};
};

TlsChannel::TlsChannel(int fd, std::chrono::milliseconds idle) : fd_(fd), idle_(idle) {}

void TlsChannel::SessionDeleter::operator()(gnutls_session_int* session) const {
    gnutls_deinit(session);
}

struct TlsChannel::Trust {
    gnutls_certificate_credentials_t credentials = nullptr;
    std::string unusedFile;  // SSL_CERT_FILE, when it gave no authority
    std::string version;     // the file's name, size and time of change
    ~Trust() {
        if (credentials != nullptr) {
            gnutls_certificate_free_credentials(credentials);
        }
    }
};

// Reading the authorities costs far more than a resumed handshake, so they
// are read again only when the file is another or has changed.
std::shared_ptr<const TlsChannel::Trust> TlsChannel::SharedTrust(const std::string& file) {
    static std::mutex lock;
    // Never destroyed: a channel on a thread still running at exit may hold it.
    static auto* shared = new std::shared_ptr<const TlsChannel::Trust>;
    std::string version = file;
    if (struct stat status{}; !file.empty() && ::stat(file.c_str(), &status) == 0) {
        version += '\0' + std::to_string(status.st_size) + '\0' +
                   std::to_string(status.st_mtim.tv_sec) + '.' +
                   std::to_string(status.st_mtim.tv_nsec);
    }
    std::lock_guard<std::mutex> hold(lock);
    if (*shared && version == (*shared)->version) {
        return *shared;
    }
    auto trust = std::make_shared<TlsChannel::Trust>();
    if (gnutls_certificate_allocate_credentials(&trust->credentials) != GNUTLS_E_SUCCESS) {
        trust->credentials = nullptr;
        return nullptr;
    }
    // Either source may add nothing; the handshake then fails with an unknown authority.
    gnutls_certificate_set_x509_system_trust(trust->credentials);
    if (!file.empty()) {
        // A file that gives no authority is named if the certificate is then refused.
        if (gnutls_certificate_set_x509_trust_file(trust->credentials, file.c_str(),
                                                   GNUTLS_X509_FMT_PEM) <= 0) {
            trust->unusedFile = file;
        }
    }
    trust->version = std::move(version);
    *shared = trust;
    return trust;
}

std::unique_ptr<TlsChannel> TlsChannel::Connect(int fd, const std::string& host, int port,
                                                const Limits& limits, std::string& reason) {
    std::unique_ptr<TlsChannel> channel(new TlsChannel(fd, limits.idle));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        reason = "the connection could not be set up for TLS";
        return nullptr;
    }
    const char* file = std::getenv("SSL_CERT_FILE");
    const std::string trust = file ? file : "";
    channel->trust_ = SharedTrust(trust);
    if (!channel->trust_) {
        reason = "TLS credentials could not be made";
        return nullptr;
    }
    gnutls_certificate_credentials_t credentials = channel->trust_->credentials;

    gnutls_session_t session = nullptr;
    // One key share, for the library's first group: a server that wants
    // another asks for it, at the cost of a round trip, instead of every
    // handshake paying for a second key.
    if (gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_KEY_SHARE_TOP) !=
        GNUTLS_E_SUCCESS) {
        reason = "a TLS session could not be made";
        return nullptr;
    }
    channel->session_.reset(session);
    gnutls_priority_t priorities = SharedPriorities();
    if (priorities == nullptr || gnutls_priority_set(session, priorities) != GNUTLS_E_SUCCESS ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials) != GNUTLS_E_SUCCESS) {
        reason = "a TLS session could not be set up";
        return nullptr;
    }
    // An IP address is matched against the certificate's IP address entries
    // only, and is not sent as a server name.
    unsigned char* address = channel->address_.data();
    int family = ::inet_pton(AF_INET, host.c_str(), address) == 1    ? 4
                 : ::inet_pton(AF_INET6, host.c_str(), address) == 1 ? 16
                                                                     : 0;
    if (family != 0) {
        // The library keeps a pointer to the check, not a copy: it lives in the channel.
        channel->addressCheck_ = std::make_unique<AddressCheck>();
        gnutls_typed_vdata_st& check = channel->addressCheck_->check;
        check.type = GNUTLS_DT_IP_ADDRESS;
        check.data = address;
        check.size = static_cast<unsigned>(family);
        gnutls_session_set_verify_cert2(session, &check, 1, 0);
    } else {
        if (gnutls_server_name_set(session, GNUTLS_NAME_DNS, host.data(), host.size()) !=
            GNUTLS_E_SUCCESS) {
            reason = "the server name could not be set";
            return nullptr;
        }
        gnutls_session_set_verify_cert(session, host.c_str(), 0);
    }
    // A session is offered only to the server, under the name and the trust
    // (as the file was then) it was checked with; one the server refuses leaves a full handshake.
    channel->sessionKey_ =
        TlsSessionCache::Key(host, port, family != 0 ? "" : host, channel->trust_->version);
    const std::string kept = TlsSessionCache::Shared().Find(channel->sessionKey_);
    if (!kept.empty()) {
        gnutls_session_set_data(session, kept.data(), kept.size());
    }
    // The caller's deadline bounds the handshake, not a default of the library.
    gnutls_handshake_set_timeout(session, 0);
    gnutls_transport_set_int(session, fd);
    if (!channel->Handshake(limits.handshake, reason)) {
        TlsSessionCache::Shared().Forget(channel->sessionKey_);
        return nullptr;
    }
    channel->resumed_ = gnutls_session_is_resumed(session) != 0;
    channel->KeepSession();
    return channel;
}

TlsChannel::~TlsChannel() {
    // One try at telling the server the session ends; the socket is
    // non-blocking, so this never waits.
    if (established_ && !closed_) {
        gnutls_bye(session_.get(), GNUTLS_SHUT_WR);
    }
}

void TlsChannel::KeepSession() {
    gnutls_session_t session = session_.get();
    if (sessionKept_ || (gnutls_protocol_get_version(session) == GNUTLS_TLS1_3 &&
                         (gnutls_session_get_flags(session) & GNUTLS_SFLAGS_SESSION_TICKET) == 0)) {
        return;
    }
    // Asked for before a TLS 1.3 ticket came, the library would wait for one.
    gnutls_datum_t data{};
    if (gnutls_session_get_data2(session, &data) == GNUTLS_E_SUCCESS) {
        TlsSessionCache::Shared().Keep(sessionKey_,
                                       std::string(reinterpret_cast<char*>(data.data), data.size));
        sessionKept_ = true;
    }
    gnutls_free(data.data);
}

bool TlsChannel::AwaitSocket(Deadline deadline) const {
    for (;;) {
        long long wait = idle_.count() > 0 ? idle_.count() : -1;
        if (deadline != kNoDeadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            wait = wait < 0 ? left.count() : std::min<long long>(wait, left.count());
        }
        const short events = gnutls_record_get_direction(session_.get()) == 1 ? POLLOUT : POLLIN;
        pollfd p{fd_, events, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(wait, 1LL << 30)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0;
    }
}

bool TlsChannel::Handshake(Deadline deadline, std::string& reason) {
    for (;;) {
        if (Passed(deadline)) {
            reason = "the TLS handshake timed out";
            return false;
        }
        const int result = gnutls_handshake(session_.get());
        if (result == GNUTLS_E_SUCCESS) {
            established_ = true;
            return true;
        }
        if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED) {
            if (!AwaitSocket(deadline)) {
                reason = "the TLS handshake timed out";
                return false;
            }
            continue;
        }
        if (gnutls_error_is_fatal(result) == 0) {
            continue;  // a warning alert: the handshake goes on
        }
        if (result == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            reason = VerificationReason(gnutls_session_get_verify_cert_status(session_.get()));
            if (!trust_->unusedFile.empty()) {
                reason += " (SSL_CERT_FILE " + trust_->unusedFile + " holds no usable certificate)";
            }
        } else {
            reason = std::string("TLS handshake failed: ") + gnutls_strerror(result);
        }
        return false;
    }
}

bool TlsChannel::SendAll(std::string_view data, Deadline deadline) {
    while (!data.empty()) {
        if (Passed(deadline)) {
            return false;
        }
        const ssize_t sent = gnutls_record_send(session_.get(), data.data(), data.size());
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED) {
            if (!AwaitSocket(deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool TlsChannel::Fill(Deadline deadline) {
    char chunk[16384];
    for (;;) {
        if (closed_ || Passed(deadline)) {
            return false;
        }
        const ssize_t got = gnutls_record_recv(session_.get(), chunk, sizeof chunk);
        KeepSession();  // a TLS 1.3 ticket comes in a record of its own
        if (got > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
        if (got == 0) {
            closed_ = true;
            return false;
        }
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) {
            if (!AwaitSocket(deadline)) {
                return false;
            }
            continue;
        }
        // A renegotiation request is declined by ignoring it; a close without
        // the closing alert (possibly a cut-off reply) is a failure.
        if (gnutls_error_is_fatal(static_cast<int>(got)) != 0) {
            return false;
        }
    }
}

bool TlsChannel::ReceiveLine(std::string& line, Deadline deadline) {
    line.clear();
    for (;;) {
        const std::size_t waiting = buffer_.size() - start_;
        const std::size_t room = static_cast<std::size_t>(kLineLimit) - line.size();
        const char* from = buffer_.data() + start_;
        const void* feed = std::memchr(from, '\n', std::min(waiting, room));
        const std::size_t take =
            feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - from) + 1
                 : std::min(waiting, room);
        line.append(from, take);
        start_ += take;
        if (feed || line.size() == static_cast<std::size_t>(kLineLimit)) {
            return true;
        }
        buffer_.erase(0, start_);
        start_ = 0;
        if (!Fill(deadline)) {
            // Like a socket: a clean close ends a started line; nothing read is a failure.
            return closed_ && !line.empty();
        }
    }
}

}  // namespace brindle
