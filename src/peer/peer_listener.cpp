#include "peer/peer_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "peer/instant_message.h"
#include "peer/push_tokens.h"
#include "peer/transfer_limits.h"
#include "peer/upload_queue.h"

namespace brindle {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// How long accepting pauses when the process is out of descriptors and no
// waiting connection can be given up for a new one.
constexpr auto kDescriptorPause = std::chrono::milliseconds(100);
constexpr int kAcceptBatch = 64;
// While requests wait, the slots are looked at this often as well, since a
// raised slot setting sends no wake-up.
constexpr auto kSlotRecheck = std::chrono::seconds(1);
// Queued connections are looked at for their close this often, apart from
// the poll every other request waits in, so a long line does not slow them.
constexpr auto kQueueSweep = std::chrono::milliseconds(100);

// Who a queued request counts for when turns go round: the peer's address
// (an IPv6 peer by its /64 network), since the user line costs a client
// nothing to change.
std::string RequesterOf(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return {};
    }
    IpAddress address;
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
        return AddressText(address);
    }
    if (peer.ss_family != AF_INET6) {
        return {};
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        std::memcpy(address.bytes.data(), v6->sin6_addr.s6_addr + 12, 4);
        return AddressText(address);
    }
    address.ipv6 = true;
    std::memcpy(address.bytes.data(), v6->sin6_addr.s6_addr, 8);
    return AddressText(address) + "/64";
}

// Sends a short line without waiting; false unless all of it went.
bool SendLineNow(int fd, const std::string& line) {
    ssize_t sent = ::send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(line.size());
}

}  // namespace

// A QUEUE request waiting for a slot: its socket and request lines, a few
// hundred bytes to a few KiB.
struct PeerListener::QueuedRequest {
    Socket socket;
    std::string fileName;
    std::string userName;
    std::string connectionText;
    long long offset = 0;
    bool proveStart = false;  // "QUEUERESUME": the proof line follows the start
    std::string requester;
    std::size_t position = 0;  // the position last worked out (0: none yet)
    SteadyTime nextLine{};     // when the position is sent (again)
};

// One connection while its request lines arrive.
struct PeerListener::Connection {
    enum class Stage { Word, MessageLine, FileName, UserName, ConnectionText, Offset, PushToken };

    Socket socket;
    SteadyTime deadline;
    Stage stage = Stage::Word;
    std::string line;  // the bytes of the current line so far
    std::string fileName;
    std::string userName;
    std::string connectionText;
    bool ranged = false;      // "GETRANGE" or "RESUME": an offset line follows the connection text
    bool proveStart = false;  // "RESUME": the bytes before the offset are proved first
    bool queued = false;      // "QUEUE" or "QUEUERESUME": waits in line when no slot is free
};

PeerListener::PeerListener(IMessageDisplay& messageView, IMessageBox& messages,
                           const SharedFilesHolder& sharedFiles, PeerOptions options)
    : messageView_(messageView),
      messages_(messages),
      options_(std::move(options)),
      sharedFiles_(sharedFiles),
      uploadSlots_(options_.maxRunningUploads),
      uploadContext_{sharedFiles, uploadTable_, options_} {
    uploadSlots_.SetReleaseHook([this] {
        if (releaseWrite_.fd() >= 0) {
            char wake = 1;
            [[maybe_unused]] ssize_t ignored = ::write(releaseWrite_.fd(), &wake, 1);
        }
    });
}

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
    FileHandle adoptRead;
    FileHandle adoptWrite;
    FileHandle releaseRead;
    FileHandle releaseWrite;
    if (opened != ListenResult::Listening || !OpenPipe(wakeRead, wakeWrite) ||
        !OpenPipe(adoptRead, adoptWrite) || !OpenPipe(releaseRead, releaseWrite, O_NONBLOCK)) {
        messages_.ShowMessage(kListenFailedText, MessageIcon::Error);
        return false;
    }
    releaseRead_ = std::move(releaseRead);
    releaseWrite_ = std::move(releaseWrite);
    boundPort_ = boundPort;
    wakeRead_ = std::move(wakeRead);
    wakeWrite_ = std::move(wakeWrite);
    adoptRead_ = std::move(adoptRead);
    adoptWrite_ = std::move(adoptWrite);
    listenSocket_ = std::move(listener);
    listenThread_ = std::thread([this, listenFd = listenSocket_.fd(), wakeFd = wakeRead_.fd(),
                                 adoptFd = adoptRead_.fd()] { Run(listenFd, wakeFd, adoptFd); });
    return true;
}

bool PeerListener::Adopt(Socket socket) {
    std::lock_guard<std::mutex> hold(adoptLock_);
    if (adoptWrite_.fd() < 0) {
        return false;
    }
    adopted_.push_back(std::move(socket));
    char wake = 1;
    [[maybe_unused]] ssize_t ignored = ::write(adoptWrite_.fd(), &wake, 1);
    return true;
}

void PeerListener::Run(int listenFd, int wakeFd, int adoptFd) {
    std::deque<Connection> pending;  // oldest first
    SteadyTime pauseUntil{};
    std::vector<pollfd> watched;
    std::vector<pollfd> queued;
    SteadyTime nextSweep{};
    constexpr std::size_t kFirstPending = 4;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        // A connection whose request did not arrive in time is closed unanswered.
        std::erase_if(pending, [&](const Connection& c) { return c.deadline <= now; });
        pendingCount_ = pending.size();
        if (!queue_.empty() && now >= nextSweep) {
            nextSweep = now + kQueueSweep;
            SweepQueue(queued);
        }
        ServeQueue(now);

        bool accepting = now >= pauseUntil;
        SteadyTime wakeAt = accepting ? SteadyTime::max() : pauseUntil;
        watched.assign({{wakeFd, POLLIN, 0},
                        {accepting ? listenFd : -1, POLLIN, 0},
                        {releaseRead_.fd(), POLLIN, 0},
                        {adoptFd, POLLIN, 0}});
        for (const auto& connection : pending) {
            watched.push_back({connection.socket.fd(), POLLIN, 0});
            wakeAt = std::min(wakeAt, connection.deadline);
        }
        for (const auto& entry : queue_) {
            wakeAt = std::min(wakeAt, entry.nextLine);
        }
        if (!queue_.empty()) {
            wakeAt = std::min({wakeAt, now + kSlotRecheck, nextSweep});
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
        if (watched[2].revents != 0) {
            char drained[64];
            while (::read(releaseRead_.fd(), drained, sizeof drained) > 0) {
            }
            queueChanged_ = true;
        }
        std::deque<Connection> waiting;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (watched[i + kFirstPending].revents == 0 || !ReadLines(pending[i])) {
                waiting.push_back(std::move(pending[i]));
            }
        }
        pending.swap(waiting);
        if ((watched[1].revents & POLLIN) != 0) {
            AcceptAll(listenFd, pending, pauseUntil);
        }
        if ((watched[3].revents & POLLIN) != 0) {
            TakeAdopted(adoptFd, pending);
        }
    }
}

// A queued peer sends nothing more: a readable socket is a close (or a peer
// breaking the exchange), and the entry leaves the line.
void PeerListener::SweepQueue(std::vector<pollfd>& queued) {
    queued.clear();
    for (const auto& entry : queue_) {
        queued.push_back({entry.socket.fd(), POLLIN, 0});
    }
    if (::poll(queued.data(), queued.size(), 0) > 0) {
        std::size_t i = 0;
        std::erase_if(queue_, [&](const QueuedRequest&) { return queued[i++].revents != 0; });
        queueChanged_ = true;
    }
}

void PeerListener::TakeAdopted(int adoptFd, std::deque<Connection>& pending) {
    char drained[64];
    [[maybe_unused]] ssize_t ignored = ::read(adoptFd, drained, sizeof drained);
    std::vector<Socket> sockets;
    {
        std::lock_guard<std::mutex> hold(adoptLock_);
        sockets.swap(adopted_);
    }
    for (auto& socket : sockets) {
        Connection connection;
        connection.socket = std::move(socket);
        connection.deadline = std::chrono::steady_clock::now() + options_.requestTimeout;
        if (!ReadLines(connection)) {
            pending.push_back(std::move(connection));
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

// The request's first line: which kind of exchange follows. True when the
// connection is done with here.
bool PeerListener::TakeWord(Connection& connection, const std::string& line, bool closed) {
    using Stage = Connection::Stage;
    if (!closed && line == kMessageRequest) {
        connection.stage = Stage::MessageLine;
        return false;
    }
    if (!closed && (line == kQueueRequest || line == kQueuedResumeRequest)) {
        connection.ranged = true;
        connection.queued = true;
        connection.proveStart = line == kQueuedResumeRequest;
        connection.stage = Stage::FileName;
        return false;
    }
    if (!closed && (line == kFileRequest || line == kRangedFileRequest || line == kResumeRequest)) {
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
        return true;
    }
    if (!closed && line == kPushRequest && options_.pushTokens) {
        connection.stage = Stage::PushToken;
        return false;
    }
    return true;  // any other word: closed, nothing sent
}

// Acts on a finished line (or on the end of the connection when `closed`).
// True when the connection is done with here.
bool PeerListener::TakeLine(Connection& connection, bool closed) {
    using Stage = Connection::Stage;
    std::string line = std::move(connection.line);
    connection.line.clear();
    switch (connection.stage) {
        case Stage::Word:
            return TakeWord(connection, line, closed);
        case Stage::PushToken:
            // The connection a sharer opened for a download of ours: handed
            // to that download when the token is one it waits for, else closed.
            if (!closed) {
                options_.pushTokens->Hand(TrimRequestLine(std::move(line)),
                                          std::move(connection.socket));
            }
            return true;
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
            if (offset && connection.queued) {
                Enqueue(connection, *offset);
            } else if (offset) {
                StartUpload(connection, *offset);
            }
            return true;
        }
    }
    return true;
}

std::size_t PeerListener::SlotLimit() const {
    // The slots set now count, whatever ran before.
    return options_.limits ? options_.limits->uploadSlots() : SIZE_MAX;
}

void PeerListener::StartUpload(Connection& connection, long long offset) {
    // With every upload slot taken the request is refused like any other:
    // closed at once, without a row.
    std::string requester = RequesterOf(connection.socket.fd());
    UploadSlots::Slot slot = uploadSlots_.TryTake(SlotLimit(), requester);
    if (!slot) {
        return;
    }
    Launch(connection.fileName, connection.userName, std::move(connection.connectionText),
           std::move(connection.socket), std::move(slot), offset, connection.proveStart, requester,
           {});
}

void PeerListener::Launch(std::string fileName, std::string userName, std::string connectionText,
                          Socket socket, UploadSlots::Slot slot, long long offset, bool proveStart,
                          const std::string& requester, std::string firstLine) {
    lastTurn_[requester] = ++turn_;
    auto upload = std::make_shared<UploadRecord>(
        std::move(fileName), std::move(userName), std::move(connectionText), std::move(socket),
        uploadContext_, std::move(slot), offset, proveStart, std::move(firstLine));
    // A listener shutting down starts no thread: the record then goes at
    // once with its socket and slot, and the request gets no row.
    static_cast<void>(upload->Start(threads_));
}

void PeerListener::Enqueue(Connection& connection, long long offset) {
    // A name no longer shared, or an offset past the file, ends here unanswered.
    if (offset > LookupSharedFileSize(sharedFiles_.Get()->files, connection.fileName)) {
        return;
    }
    std::string requester = RequesterOf(connection.socket.fd());
    if (queue_.empty()) {
        UploadSlots::Slot slot = uploadSlots_.TryTake(SlotLimit(), requester);
        if (slot) {
            Launch(std::move(connection.fileName), std::move(connection.userName),
                   std::move(connection.connectionText), std::move(connection.socket),
                   std::move(slot), offset, connection.proveStart, requester, kQueueStartLine);
            return;
        }
    }
    if (queue_.size() >= options_.maxQueuedRequests && !MakeRoomFor(requester)) {
        return;  // the line is full: closed like a GET beyond the slots
    }
    QueuedRequest entry;
    entry.socket = std::move(connection.socket);
    entry.fileName = std::move(connection.fileName);
    entry.userName = std::move(connection.userName);
    entry.connectionText = std::move(connection.connectionText);
    entry.offset = offset;
    entry.proveStart = connection.proveStart;
    entry.requester = std::move(requester);
    queue_.push_back(std::move(entry));
    queueChanged_ = true;
    waitingCount_ = queue_.size();
}

// A full line takes a newcomer only in place of the newest request of the
// user holding the most, and only when that user holds at least two more
// than the newcomer: one requester cannot keep everybody else out.
bool PeerListener::MakeRoomFor(const std::string& requester) {
    std::map<std::string, std::size_t> counts;
    for (const auto& entry : queue_) {
        ++counts[entry.requester];
    }
    auto most = std::max_element(counts.begin(), counts.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most == counts.end() || most->second < counts[requester] + 2) {
        return false;
    }
    for (auto entry = queue_.rbegin(); entry != queue_.rend(); ++entry) {
        if (entry->requester == most->first) {
            queue_.erase(std::next(entry).base());
            queueChanged_ = true;
            return true;
        }
    }
    return false;
}

void PeerListener::ServeQueue(SteadyTime now) {
    if (queue_.empty()) {
        waitingCount_ = 0;
        return;
    }
    // A slot may have come free without a wake-up (a raised slot setting).
    if (uploadSlots_.taken() < std::min(SlotLimit(), options_.maxRunningUploads)) {
        queueChanged_ = true;
    }
    // Due lines go out; a peer that takes no line (its buffer full) or is gone
    // leaves the line, which changes the positions behind it.
    const auto sendDue = [&] {
        std::size_t before = queue_.size();
        std::erase_if(queue_, [&](QueuedRequest& entry) {
            if (entry.nextLine > now) {
                return false;
            }
            entry.nextLine = now + options_.queueKeepAlive;
            return !SendLineNow(entry.socket.fd(), QueuePositionLine(entry.position));
        });
        return queue_.size() != before;
    };
    for (;;) {
        if (!queueChanged_) {
            if (!sendDue()) {
                break;
            }
        }
        queueChanged_ = false;
        QueueState state;
        state.waiting.reserve(queue_.size());
        for (const auto& entry : queue_) {
            state.waiting.push_back(entry.requester);
        }
        state.running = uploadSlots_.TakenByUser();
        for (const auto& user : state.waiting) {
            auto turn = lastTurn_.find(user);
            if (turn != lastTurn_.end()) {
                state.lastTurn.insert(*turn);
            }
        }
        std::vector<std::size_t> order = ServiceOrder(state);
        if (order.empty()) {
            break;
        }
        QueuedRequest& next = queue_[order.front()];
        UploadSlots::Slot slot = uploadSlots_.TryTake(SlotLimit(), next.requester);
        if (slot) {
            Launch(std::move(next.fileName), std::move(next.userName),
                   std::move(next.connectionText), std::move(next.socket), std::move(slot),
                   next.offset, next.proveStart, next.requester, kQueueStartLine);
            queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(order.front()));
            queueChanged_ = true;
            continue;
        }
        for (std::size_t place = 0; place < order.size(); ++place) {
            QueuedRequest& entry = queue_[order[place]];
            if (entry.position != place + 1) {
                entry.position = place + 1;
                entry.nextLine = SteadyTime{};  // a changed position is told at once
            }
        }
        queueChanged_ = sendDue();
        if (!queueChanged_) {
            break;
        }
    }
    // Users that wait no more need no turn remembered once there are many.
    if (lastTurn_.size() > 2 * options_.maxQueuedRequests + 64) {
        std::erase_if(lastTurn_, [&](const auto& turn) {
            return std::none_of(queue_.begin(), queue_.end(),
                                [&](const QueuedRequest& e) { return e.requester == turn.first; });
        });
    }
    waitingCount_ = queue_.size();
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
    {
        std::lock_guard<std::mutex> hold(adoptLock_);
        adopted_.clear();
        adoptWrite_.reset();
    }
    listenSocket_.reset();
    pendingCount_ = 0;
    // The line goes with the listener: its peers see the close.
    queue_.clear();
    waitingCount_ = 0;
}

void PeerListener::Stop() {
    CloseListeningSocket();
    threads_.Shutdown();
}

}  // namespace brindle
