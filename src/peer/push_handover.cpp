#include "peer/push_handover.h"

#include <poll.h>
#include <unistd.h>

#include <utility>

#include "net/local_channel.h"

namespace brindle {
namespace {

// Callers served at once; more wait for the listen queue.
constexpr std::size_t kMaxCallers = 16;
constexpr std::chrono::seconds kTokenLineLimit{2};

// True when the caller went away (or sent anything, which it never should).
bool CallerGone(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) != 0;
}

}  // namespace

std::string PushHandoverName(int port) {
    return "brindlenet-push-" + std::to_string(::geteuid()) + "-" + std::to_string(port);
}

PushHandover::PushHandover(std::shared_ptr<PushTokens> tokens, int port)
    : tokens_(std::move(tokens)), name_(PushHandoverName(port)) {}

PushHandover::~PushHandover() {
    stopping_ = true;
    if (wakeWrite_) {
        static_cast<void>(WriteAll(wakeWrite_.fd(), "", 1));
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    callers_.Shutdown();
}

bool PushHandover::Start() {
    if (!tokens_ || !OpenPipe(wakeRead_, wakeWrite_)) {
        return false;
    }
    listening_ = ListenLocal(name_);
    if (!listening_) {
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PushHandover::Run() {
    for (;;) {
        pollfd watched[2] = {{listening_.fd(), POLLIN, 0}, {wakeRead_.fd(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (watched[1].revents != 0 || stopping_) {
            return;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            continue;
        }
        Socket caller = AcceptLocal(listening_.fd());
        // Only our own user's programs get connections, and only so many at once.
        if (!caller || !PeerIsSameUser(caller.fd()) || callers_.running() >= kMaxCallers) {
            continue;
        }
        auto shared = std::make_shared<Socket>(std::move(caller));
        static_cast<void>(callers_.Spawn([this, shared] { Serve(std::move(*shared)); }));
    }
}

void PushHandover::Serve(Socket caller) {
    const std::string token = tokens_->Issue();
    if (token.empty() ||
        !SendAll(caller.fd(), token + "\n", std::chrono::steady_clock::now() + kTokenLineLimit)) {
        return;
    }
    const int fd = caller.fd();
    Socket pushed = tokens_->Await(token, PushTokens::Clock::now() + std::chrono::seconds(60),
                                   [this, fd] { return stopping_ || CallerGone(fd); });
    if (pushed) {
        static_cast<void>(SendDescriptor(fd, pushed.fd()));
    }
}

Socket AwaitPushThroughServe(int port, const std::function<bool(const std::string&)>& requestPush,
                             Deadline deadline, const std::function<bool()>& cancelled) {
    Socket channel = ConnectLocal(PushHandoverName(port));
    if (!channel || !PeerIsSameUser(channel.fd())) {
        return Socket();
    }
    std::string token;
    if (!ReceiveLine(channel.fd(), token, std::chrono::steady_clock::now() + kTokenLineLimit) ||
        token.size() != 33 || token.back() != '\n') {
        return Socket();
    }
    token.pop_back();
    if (!requestPush(token)) {
        return Socket();
    }
    return ReceiveDescriptor(channel.fd(), deadline, cancelled);
}

}  // namespace brindle
