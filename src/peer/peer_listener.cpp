#include "peer/peer_listener.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "peer/instant_message.h"
#include "peer/transfer_limits.h"

namespace brindle {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// How long accepting pauses when the process is out of descriptors and no
// waiting connection can be given up for a new one.
constexpr auto kDescriptorPause = std::chrono::milliseconds(100);
constexpr int kAcceptBatch = 64;

}  // namespace

// One connection while its request lines arrive.
struct PeerListener::Connection {
    enum class Stage { Word, MessageLine, FileName, UserName, ConnectionText, Offset };

    Socket socket;
    SteadyTime deadline;
    Stage stage = Stage::Word;
    std::string line;  // the bytes of the current line so far
    std::string fileName;
    std::string userName;
    std::string connectionText;
    bool ranged = false;      // "GETRANGE" or "RESUME": an offset line follows the connection text
    bool proveStart = false;  // "RESUME": the bytes before the offset are proved first
};

PeerListener::PeerListener(IMessageDisplay& messageView, IMessageBox& messages,
                           const SharedFilesHolder& sharedFiles, PeerOptions options)
    : messageView_(messageView),
      messages_(messages),
      options_(std::move(options)),
      sharedFiles_(sharedFiles),
      uploadSlots_(options_.maxRunningUploads),
      uploadContext_{sharedFiles, uploadTable_, options_} {}

PeerListener::~PeerListener() {
    Stop();
}

bool PeerListener::Start() {
    Socket listener;
    int boundPort = 0;
    ListenResult opened =
        OpenListeningSocket(options_.listenAddress, options_.port, listener, &boundPort);
    if (opened == ListenResult::BindFailed) {
        messages_.ShowMessage(kBindFailedText, MessageIcon::Error);
        return false;
    }
    FileHandle wakeRead;
    FileHandle wakeWrite;
    if (opened != ListenResult::Listening || !OpenPipe(wakeRead, wakeWrite)) {
        messages_.ShowMessage(kListenFailedText, MessageIcon::Error);
        return false;
    }
    boundPort_ = boundPort;
    wakeRead_ = std::move(wakeRead);
    wakeWrite_ = std::move(wakeWrite);
    listenSocket_ = std::move(listener);
    listenThread_ = std::thread(
        [this, listenFd = listenSocket_.fd(), wakeFd = wakeRead_.fd()] { Run(listenFd, wakeFd); });
    return true;
}

void PeerListener::Run(int listenFd, int wakeFd) {
    std::deque<Connection> pending;  // oldest first
    SteadyTime pauseUntil{};
    std::vector<pollfd> watched;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        // A connection whose request did not arrive in time is closed unanswered.
        std::erase_if(pending, [&](const Connection& c) { return c.deadline <= now; });
        pendingCount_ = pending.size();

        bool accepting = now >= pauseUntil;
        SteadyTime wakeAt = accepting ? SteadyTime::max() : pauseUntil;
        watched.assign({{wakeFd, POLLIN, 0}, {accepting ? listenFd : -1, POLLIN, 0}});
        for (const auto& connection : pending) {
            watched.push_back({connection.socket.fd(), POLLIN, 0});
            wakeAt = std::min(wakeAt, connection.deadline);
        }
        int timeout = -1;
        if (wakeAt != SteadyTime::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) {
            return;
        }
        if (watched[0].revents != 0) {
            return;  // the listening socket is being closed
        }
        std::deque<Connection> waiting;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (watched[i + 2].revents == 0 || !ReadLines(pending[i])) {
                waiting.push_back(std::move(pending[i]));
            }
        }
        pending.swap(waiting);
        if ((watched[1].revents & POLLIN) != 0) {
            AcceptAll(listenFd, pending, pauseUntil);
        }
    }
}

void PeerListener::AcceptAll(int listenFd, std::deque<Connection>& pending,
                             SteadyTime& pauseUntil) {
    // A bounded batch, so a flood of new connections cannot starve those waiting.
    for (int batch = 0; batch < kAcceptBatch; ++batch) {
        Socket accepted = AcceptConnection(listenFd);
        if (!accepted) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: give up the oldest waiting connection, or pause.
                if (pending.empty()) {
                    pauseUntil = std::chrono::steady_clock::now() + kDescriptorPause;
                    return;
                }
                pending.pop_front();
                continue;
            }
            return;  // nothing more to accept (or the peer went again)
        }
        Connection connection;
        connection.socket = std::move(accepted);
        connection.deadline = std::chrono::steady_clock::now() + options_.requestTimeout;
        // Most peers send their whole request at once: it is usually here already.
        if (ReadLines(connection)) {
            continue;
        }
        // When full, the connection that has waited longest makes room: a crowd of
        // silent peers cannot keep new ones out.
        if (pending.size() >= std::max<std::size_t>(options_.maxPendingConnections, 1)) {
            pending.pop_front();
        }
        pending.push_back(std::move(connection));
        pendingCount_ = pending.size();
    }
}

// Takes what has arrived, line by line, never a byte past the last line the
// request has. True when the connection is done with here.
bool PeerListener::ReadLines(Connection& connection) {
    char buffer[kLineLimit];
    for (;;) {
        std::size_t room = kLineLimit - connection.line.size();
        const Received seen =
            ReceiveSome(connection.socket, buffer, room, {.peek = true, .dontWait = true});
        if (seen.kind == Received::Kind::NotYet) {
            return false;
        }
        if (seen.kind == Received::Kind::Closed) {
            return TakeLine(connection, true);
        }
        if (!seen) {
            return true;
        }
        const char* feed = static_cast<const char*>(std::memchr(buffer, '\n', seen.count));
        std::size_t take =
            feed == nullptr ? seen.count : static_cast<std::size_t>(feed - buffer) + 1;
        const Received got = ReceiveSome(connection.socket, buffer, take, {.dontWait = true});
        if (!got) {
            return true;
        }
        connection.line.append(buffer, got.count);
        bool whole = connection.line.back() == '\n' || connection.line.size() >= kLineLimit;
        if (whole && TakeLine(connection, false)) {
            return true;
        }
    }
}

// Acts on a finished line (or on the end of the connection when `closed`).
// True when the connection is done with here.
bool PeerListener::TakeLine(Connection& connection, bool closed) {
    using Stage = Connection::Stage;
    std::string line = std::move(connection.line);
    connection.line.clear();
    switch (connection.stage) {
        case Stage::Word:
            if (!closed && line == kMessageRequest) {
                connection.stage = Stage::MessageLine;
                return false;
            }
            if (!closed &&
                (line == kFileRequest || line == kRangedFileRequest || line == kResumeRequest)) {
                connection.ranged = line != kFileRequest;
                connection.proveStart = line == kResumeRequest;
                connection.stage = Stage::FileName;
                return false;
            }
            if (!closed && line == kPingRequest) {
                // A fresh socket's buffer takes the five bytes at once.
                static_cast<void>(
                    SendAll(connection.socket.fd(), std::string(kPongReply),
                            std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
            }
            return true;  // any other word: closed, nothing sent
        case Stage::MessageLine:
            // A line cut short by the sender's close shows nothing.
            if (!closed) {
                ReceiveInstantMessage(line, messageView_);
            }
            return true;
        case Stage::FileName: {
            if (closed) {
                return true;
            }
            connection.fileName = TrimRequestLine(std::move(line));
            // A name that is not shared, or could leave the shared directory,
            // ends here without a row.
            if (!IsServableName(sharedFiles_.Get()->files, connection.fileName)) {
                return true;
            }
            connection.stage = Stage::UserName;
            return false;
        }
        case Stage::UserName:
            if (closed) {
                return true;
            }
            connection.userName = TrimRequestLine(std::move(line));
            connection.stage = Stage::ConnectionText;
            return false;
        case Stage::ConnectionText:
            if (connection.ranged) {
                if (closed) {
                    return true;
                }
                connection.connectionText = TrimRequestLine(std::move(line));
                connection.stage = Stage::Offset;
                return false;
            }
            // A last line ended by the close instead of a line feed still counts.
            if (closed && line.empty()) {
                return true;
            }
            connection.connectionText = TrimRequestLine(std::move(line));
            StartUpload(connection, 0);
            return true;
        case Stage::Offset: {
            if (closed && line.empty()) {
                return true;
            }
            // Only decimal digits; an offset past the file is refused by the upload.
            std::optional<long long> offset = ParseRangeOffset(TrimRequestLine(std::move(line)));
            if (offset) {
                StartUpload(connection, *offset);
            }
            return true;
        }
    }
    return true;
}

void PeerListener::StartUpload(Connection& connection, long long offset) {
    // With every upload slot taken the request is refused like any other:
    // closed at once, without a row. The slots set now count, whatever ran before.
    UploadSlots::Slot slot =
        uploadSlots_.TryTake(options_.limits ? options_.limits->uploadSlots() : SIZE_MAX);
    if (!slot) {
        return;
    }
    auto upload = std::make_shared<UploadRecord>(connection.fileName, connection.userName,
                                                 std::move(connection.connectionText),
                                                 std::move(connection.socket), uploadContext_,
                                                 std::move(slot), offset, connection.proveStart);
    // A listener shutting down starts no thread: the record then goes at
    // once with its socket and slot, and the request gets no row.
    static_cast<void>(upload->Start(threads_));
}

void PeerListener::CloseListeningSocket() {
    std::lock_guard<std::mutex> serialize(closeLock_);
    if (wakeWrite_.fd() >= 0) {
        char wake = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_.fd(), &wake, 1);
    }
    if (listenThread_.joinable()) {
        listenThread_.join();
    }
    listenSocket_.reset();
    pendingCount_ = 0;
}

void PeerListener::Stop() {
    CloseListeningSocket();
    threads_.Shutdown();
}

}  // namespace brindle
