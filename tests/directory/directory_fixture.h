// What the directory-client suites share: a context wired to recording fakes,
// short request limits, and a loopback port that refuses connections.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "base/settings.h"
#include "directory/directory_client.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace brindle::test {

inline constexpr RequestTimeouts kShortTimeouts{std::chrono::milliseconds(2000),
                                                std::chrono::milliseconds(2000)};

struct DirectoryFixture {
    AppSettings settings;
    FakeMessageBox messages;
    FakeProgressFactory progress;

    DirectoryContext Context() {
        return DirectoryContext{settings, messages, progress, kShortTimeouts};
    }
};

// A loopback port bound but not listening: a connect to it is refused at once.
class RefusingPort {
  public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/x"; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace brindle::test
