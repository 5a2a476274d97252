// Settings of the peer side that tests and benchmarks change: the port every
// peer listens on, the time limits of a connection, the clock of the rate and
// the shared transfer limits.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "net/socket.h"

namespace brindle {

class PushTokens;
class TransferLimits;

inline constexpr int kPeerPort = 2000;
// Uploads that may run at once. Each holds a thread, a block buffer and a
// socket, so a crowd of peers that ask and never read cannot swell the process.
inline constexpr std::size_t kMaxRunningUploads = 64;

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

struct PeerOptions {
    int port = kPeerPort;
    // Where the listener binds: every interface, IPv6 and IPv4 alike (IPv4
    // only on a machine without IPv6), as peers expect.
    std::string listenAddress = "::";
    // A transfer (or its connect) that moves no byte for this long fails.
    std::chrono::milliseconds stallTimeout{60000};
    // An upload whose reader, while the upload waits for it, takes fewer
    // bytes than this within stallTimeout fails, so a trickling reader cannot
    // hold a slot. Time spent waiting for the upload limit does not count.
    long long minUploadBytes = 16LL * 1024;
    // The request lines of one connection must arrive within this time.
    std::chrono::milliseconds requestTimeout{10000};
    // Connections whose request lines are still being read; more wait in the queue.
    std::size_t maxPendingConnections = 32;
    // Uploads that may run at once; a request beyond them is refused.
    std::size_t maxRunningUploads = kMaxRunningUploads;
    // Queued requests ("QUEUE\n") waiting for an upload slot; a request past
    // them is closed like a GET beyond the slots.
    std::size_t maxQueuedRequests = 1000;
    // A queued request hears its position at least this often, so neither
    // side takes the quiet line for a dead one (below stallTimeout).
    std::chrono::milliseconds queueKeepAlive{30000};
    // Downloads ask to wait in line first ("QUEUE\n"), falling back to
    // "GET\n" when the sharer does not know it.
    bool queueRequests = false;
    // Largest block moved by one system call (never more than the file holds).
    std::size_t blockSize = 1 << 20;
    SteadyClock clock = [] { return std::chrono::steady_clock::now(); };
    // Upload slots and the rate limits shared by all transfers; none: every
    // upload up to maxRunningUploads, at full speed.
    std::shared_ptr<TransferLimits> limits;
    // A download started with these options is also held to this rate on its
    // own, in KiB/s (0: no limit of its own).
    long long ownDownloadLimitKiB = 0;
    // Where the listener hands connections opening with "PUSH\n<token>\n";
    // none: such connections are closed like any unknown request.
    std::shared_ptr<PushTokens> pushTokens;
    // A download that cannot connect to its sharer asks for this: a
    // connection the sharer opened to us instead (see PushTokens), or an
    // invalid socket, soon after `cancelled` turns true. None: the download
    // fails as it is.
    using Cancelled = std::function<bool()>;
    std::function<Socket(const std::string& ownerUserName, const std::string& remoteName,
                         const Cancelled& cancelled)>
        pushConnect;
};

}  // namespace brindle
