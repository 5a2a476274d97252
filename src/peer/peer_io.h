// Socket helpers of the peer side: dotted addresses, and a connect that a time
// limit or a shutdown from another thread can end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/strings.h"
#include "net/socket.h"

namespace brindle {

// Owns a plain file descriptor (a file or a pipe end) and closes it when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int fd() const { return fd_; }
    // False when close reported an error (a delayed write error, for instance).
    bool Close();

  private:
    int fd_ = -1;
};

// A new blocking IPv4 stream socket (invalid on failure).
Socket NewStreamSocket();

// Reads a dotted-decimal IPv4 address (inet_addr forms); false when the text
// is not one. No name is looked up.
bool ParseDottedAddress(const std::string& text, std::uint32_t* networkOrder);

// Connects `fd` within `timeout`. A shutdown of the socket from another thread
// ends the wait as a failure. The socket is blocking again afterwards.
bool ConnectWithin(int fd, std::uint32_t networkOrder, int port, std::chrono::milliseconds timeout);

// Send and receive calls that move no byte for `idle` fail (EAGAIN).
void SetStallTimeout(int fd, std::chrono::milliseconds idle);


}  // namespace brindle
