#include "net/local_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace brindle {
namespace {

// How often a wait asks its `stop`.
constexpr std::chrono::milliseconds kStopCheck{100};

// The abstract address of `name`: a leading NUL, then the name's bytes.
bool AbstractAddress(const std::string& name, sockaddr_un& address, socklen_t& length) {
    address = {};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() + 1 > sizeof address.sun_path) {
        return false;
    }
    std::copy(name.begin(), name.end(), address.sun_path + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

// One byte with room for one descriptor beside it, as sent and received.
struct DescriptorMessage {
    explicit DescriptorMessage(char first) : byte(first) {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;

    char byte;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
};

}  // namespace

Socket ListenLocal(const std::string& name) {
    sockaddr_un address{};
    socklen_t length = 0;
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || !AbstractAddress(name, address, length) ||
        ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket.fd(), 16) != 0) {
        return Socket();
    }
    return socket;
}

Socket AcceptLocal(int listening) {
    return Socket(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
}

Socket ConnectLocal(const std::string& name) {
    sockaddr_un address{};
    socklen_t length = 0;
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket || !AbstractAddress(name, address, length) ||
        ::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return Socket();
    }
    return socket;
}

bool PeerIsSameUser(int channel) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(channel, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::geteuid();
}

bool SendDescriptor(int channel, int fd) {
    DescriptorMessage message('S');
    cmsghdr* header = CMSG_FIRSTHDR(&message.header);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent = 0;
    do {
        sent = ::sendmsg(channel, &message.header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == 1;
}

Socket ReceiveDescriptor(int channel, Deadline deadline, const std::function<bool()>& stop) {
    for (;;) {
        if (stop && stop()) {
            return Socket();
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return Socket();
        }
        auto wait = std::min<std::chrono::steady_clock::duration>(deadline - now, kStopCheck);
        pollfd watched{channel, POLLIN, 0};
        int ready =
            ::poll(&watched, 1,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        if (ready < 0 && errno != EINTR) {
            return Socket();
        }
        if (ready > 0) {
            break;
        }
    }
    DescriptorMessage message(0);
    ssize_t got = 0;
    do {
        got = ::recvmsg(channel, &message.header, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    cmsghdr* header = got == 1 ? CMSG_FIRSTHDR(&message.header) : nullptr;
    if (header == nullptr || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
        header->cmsg_len != CMSG_LEN(sizeof(int))) {
        return Socket();
    }
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return Socket(fd);
}

}  // namespace brindle
