// One connection of its own that LISTENs on a channel and hands each
// notification's payload to a callback, on a thread of its own. A lost
// connection is made again after a pause; notifications sent meanwhile are
// missed, which the callers allow for (a push nobody answers times out).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/file_handle.h"
#include "server/log_sink.h"

namespace brindle::server {

class PgNotifyListener {
  public:
    using Payload = std::function<void(const std::string& payload)>;
    struct Settings {
        std::string uri;
        std::string channel;  // an SQL identifier of lower-case letters and '_'
        std::chrono::milliseconds retryAfter{1000};
        LogSink log;  // a lost connection; the line names no address or password
    };

    PgNotifyListener(Settings settings, Payload payload);
    // Stops the thread; no call of the callback is under way once it returns.
    ~PgNotifyListener();
    PgNotifyListener(const PgNotifyListener&) = delete;
    PgNotifyListener& operator=(const PgNotifyListener&) = delete;

    // Waits up to `limit` for the first connection attempt to end; true when
    // it listens, so that notifications sent from now on arrive.
    [[nodiscard]] bool WaitFirstAttempt(std::chrono::milliseconds limit) const;

  private:
    void Run();
    // Listens on one connection until it is lost or the listener stops.
    void ListenOnce();
    void SetListening(bool listening);
    void SetAttempted();
    // Waits on the wake pipe up to `limit`; false once stopping.
    bool Pause(std::chrono::milliseconds limit);

    Settings settings_;
    Payload payload_;
    FileHandle wakeRead_;
    FileHandle wakeWrite_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool listening_ = false;
    bool stopping_ = false;
    bool attempted_ = false;  // a first connection attempt ended
    std::thread thread_;
};

}  // namespace brindle::server
