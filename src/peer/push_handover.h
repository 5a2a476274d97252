// A second program of the same user on one machine cannot listen on the peer
// port while a serve holds it, so its pushes arrive at the serve. Through a
// local channel the serve issues the token for it and passes the sharer's
// connection on: the program asks, is told a token, has the directory send
// the push with it, and receives the connection once it arrives.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/file_handle.h"
#include "net/socket.h"
#include "peer/push_tokens.h"
#include "peer/thread_group.h"

namespace brindle {

// The channel's name for the peer port `port` of the user running us.
std::string PushHandoverName(int port);

// The serve's side: hands connections that arrive under tokens it issued for
// a caller of the channel to that caller.
class PushHandover {
  public:
    PushHandover(std::shared_ptr<PushTokens> tokens, int port);
    // Stops taking callers, and ends the waits of those it has.
    ~PushHandover();
    PushHandover(const PushHandover&) = delete;
    PushHandover& operator=(const PushHandover&) = delete;

    // Listens on the channel; false when another program holds it.
    [[nodiscard]] bool Start();

  private:
    void Run();
    void Serve(Socket caller);

    std::shared_ptr<PushTokens> tokens_;
    std::string name_;
    Socket listening_;
    FileHandle wakeRead_;
    FileHandle wakeWrite_;
    std::atomic<bool> stopping_{false};
    ThreadGroup callers_;
    std::thread thread_;
};

// The caller's side: asks the serve holding `port` for a token, has
// `requestPush` ask the directory for the push under it, and waits until
// `deadline` (or `cancelled`) for the connection. An invalid socket when no
// serve of ours holds the port, the request failed or nobody came.
[[nodiscard]] Socket AwaitPushThroughServe(
    int port, const std::function<bool(const std::string&)>& requestPush, Deadline deadline,
    const std::function<bool()>& cancelled);

}  // namespace brindle
