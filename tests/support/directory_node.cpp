#include "support/directory_node.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "support/test_support.h"

namespace brindle::test {

DirectoryNode::DirectoryNode(const std::filesystem::path& binary,
                             const std::vector<std::string>& options, std::filesystem::path log)
    : log_(std::move(log)) {
    std::error_code ignored;
    std::filesystem::remove(log_, ignored);
    std::vector<std::string> args = {binary.string(), "--bind", "127.0.0.1", "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    ChildProcess::Options output;
    output.output = log_;
    process_ = ChildProcess(args, output);
    if (!process_.started()) {
        return;
    }
    const std::string marker = "listening on 127.0.0.1 port ";
    WaitFor(
        [&] {
            std::string text = ReadWholeFile(log_);
            std::size_t at = text.find(marker);
            if (at == std::string::npos || text.find(',', at) == std::string::npos) {
                // A program that ended will never say it: stop waiting.
                return process_.WaitWithin(std::chrono::milliseconds(0)).has_value();
            }
            port_ = std::atoi(text.c_str() + at + marker.size());
            return true;
        },
        std::chrono::seconds(20));
}

std::string DirectoryNode::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/examples/servlet/brindlenet";
}

std::string DirectoryNode::logText() const {
    return ReadWholeFile(log_);
}

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

}  // namespace brindle::test
