#include "fuzz_support.h"

#include <sys/socket.h>

#include <cstdlib>

namespace brindle::fuzz {

FedSocket::FedSocket(std::string bytes) : bytes_(std::move(bytes)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        std::abort();
    }
    reader_.reset(fds[0]);
    writer_.reset(fds[1]);
    feeder_ = std::thread([this] {
        static_cast<void>(SendAll(writer_.fd(), bytes_));
        ::shutdown(writer_.fd(), SHUT_WR);
    });
}

FedSocket::~FedSocket() {
    // Unblocks the feeder when the reader stopped early.
    reader_.Shutdown();
    feeder_.join();
}

}  // namespace brindle::fuzz
