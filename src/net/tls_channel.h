// A TLS client session over a connected socket: the handshake with the
// server's certificate checked against the trusted authorities and the host
// name, then sends and buffered line reads, all within the caller's time limits.
// The session of each server is kept in memory and offered on the next
// connection to it; a server that refuses it gets a full handshake, checked
// as above.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "net/socket.h"

struct gnutls_session_int;

namespace brindle {

class TlsChannel {
  public:
    // Time limits of a channel; zero means none.
    struct Limits {
        std::chrono::milliseconds idle{0};  // a wait that moves no byte for this long fails
        Deadline handshake = kNoDeadline;   // the handshake is over by then
    };

    // Makes `fd` (a connected socket, which stays the caller's) non-blocking and
    // runs the handshake for `host` at `port`. The certificate must chain to
    // the system's authorities or to those in the PEM file named by
    // SSL_CERT_FILE, and must name `host` (an IP address only through an IP
    // address entry). Null, with `reason` saying why, when the handshake or the
    // check failed.
    [[nodiscard]] static std::unique_ptr<TlsChannel> Connect(int fd, const std::string& host,
                                                             int port, const Limits& limits,
                                                             std::string& reason);

    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Sends every byte by `deadline`. False on the first failure.
    [[nodiscard]] bool SendAll(std::string_view data, Deadline deadline = kNoDeadline);

    // Reads one line the way ReceiveLine on a socket does: up to and including
    // the line feed or kLineLimit bytes; false on a failure (the bytes read
    // before it are still in `line`) and on a close before any byte. Bytes
    // after the line wait in the channel for the next call.
    [[nodiscard]] bool ReceiveLine(std::string& line, Deadline deadline = kNoDeadline);

    // True when the server took up the session kept from an earlier connection.
    [[nodiscard]] bool resumed() const { return resumed_; }

  private:
    struct SessionDeleter {
        void operator()(gnutls_session_int* session) const;
    };
    // The trusted authorities, read once and shared by every channel.
    struct Trust;
    // The system's authorities and those of SSL_CERT_FILE (`file`, may be
    // empty). Null when no credentials could be made.
    static std::shared_ptr<const Trust> SharedTrust(const std::string& file);

    TlsChannel(int fd, std::chrono::milliseconds idle);
    bool Handshake(Deadline deadline, std::string& reason);
    // Waits until the socket is ready in the direction the session last needed.
    [[nodiscard]] bool AwaitSocket(Deadline deadline) const;
    // Appends the next received record's bytes to the buffer. False on a close
    // (closed_ set) or a failure.
    bool Fill(Deadline deadline);
    // Keeps the session for the next connection once it can be resumed: at the
    // handshake under TLS 1.2, once the server's ticket came under TLS 1.3.
    void KeepSession();

    int fd_;
    std::chrono::milliseconds idle_;
    std::shared_ptr<const Trust> trust_;  // outlives the session, which uses it
    std::unique_ptr<gnutls_session_int, SessionDeleter> session_;
    std::array<unsigned char, 16> address_{};  // the host as an IP address, for the check
    struct AddressCheck;                       // the library's form of that check
    std::unique_ptr<AddressCheck> addressCheck_;
    std::string buffer_;        // received bytes not yet read
    std::size_t start_ = 0;     // the first of them
    bool established_ = false;  // the handshake succeeded
    bool closed_ = false;       // the server ended the session cleanly
    std::string sessionKey_;    // the server's place in the session cache
    bool sessionKept_ = false;  // this session is in the cache
    bool resumed_ = false;      // the handshake resumed a kept session
};

}  // namespace brindle
