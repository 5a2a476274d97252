#include "server/store/postgres/pg_notify_listener.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "server/store/postgres/pg_connection.h"

namespace brindle::server {

PgNotifyListener::PgNotifyListener(Settings settings, Payload payload)
    : settings_(std::move(settings)), payload_(std::move(payload)) {
    if (!settings_.log) {
        settings_.log = StderrLogSink();
    }
    if (!OpenPipe(wakeRead_, wakeWrite_)) {
        settings_.log("push forwarding: no wake pipe; other nodes' pushes are not received");
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

PgNotifyListener::~PgNotifyListener() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    if (wakeWrite_) {
        static_cast<void>(WriteAll(wakeWrite_.fd(), "", 1));
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool PgNotifyListener::WaitFirstAttempt(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, limit, [&] { return attempted_; });
    return listening_;
}

void PgNotifyListener::SetListening(bool listening) {
    std::lock_guard<std::mutex> hold(lock_);
    listening_ = listening;
    attempted_ = true;
    changed_.notify_all();
}

void PgNotifyListener::SetAttempted() {
    std::lock_guard<std::mutex> hold(lock_);
    attempted_ = true;
    changed_.notify_all();
}

void PgNotifyListener::Run() {
    do {
        ListenOnce();
    } while (Pause(settings_.retryAfter));
}

bool PgNotifyListener::Pause(std::chrono::milliseconds limit) {
    pollfd wake{wakeRead_.fd(), POLLIN, 0};
    int ready = ::poll(&wake, 1, static_cast<int>(limit.count()));
    std::lock_guard<std::mutex> hold(lock_);
    return ready == 0 && !stopping_;
}

void PgNotifyListener::ListenOnce() {
    std::string error;
    std::unique_ptr<PgConnection> db = PgConnection::Connect(settings_.uri, false, error);
    if (!db) {
        // Silent: the same outage fails the pool's statements, which report it.
        SetAttempted();
        return;
    }
    const std::string listen = "LISTEN " + settings_.channel;
    if (!db->Run(listen.c_str())) {
        settings_.log("push forwarding: " + db->error());
        SetAttempted();
        return;
    }
    SetListening(true);
    PGconn* connection = db->get();
    for (;;) {
        pollfd watched[2] = {{PQsocket(connection), POLLIN, 0}, {wakeRead_.fd(), POLLIN, 0}};
        int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || watched[1].revents != 0) {
            break;  // stopping
        }
        if (PQconsumeInput(connection) == 0) {
            std::string why = PQerrorMessage(connection);
            while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
                why.pop_back();
            }
            settings_.log("push forwarding: connection lost: " + why);
            break;
        }
        while (PGnotify* note = PQnotifies(connection)) {
            std::string payload = note->extra;
            PQfreemem(note);
            payload_(payload);
        }
    }
    SetListening(false);
}

}  // namespace brindle::server
