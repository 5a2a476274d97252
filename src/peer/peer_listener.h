// The peer listener: accepts connections on the peer port and reads the
// request lines of every connection at once in one poll loop, each with a
// deadline, so a silent or trickling peer holds nobody else up. A complete
// "GET\n" request (or "GETRANGE\n" with its offset line) goes to an upload worker while fewer than
// the allowed number run (otherwise it is closed unanswered), a "MESSAGE\n" line to the display,
// and "PING\n" is answered "PONG\n"; a "PUSH\n" with its token goes to the download waiting for it.
// A "QUEUE\n" request beyond the slots waits in a line kept in the same loop
// (no thread of its own) and is told its position until its turn comes.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_handle.h"
#include "base/ui_ports.h"
#include "net/socket.h"
#include "peer/peer_options.h"
#include "peer/thread_group.h"
#include "peer/transfer_record.h"
#include "peer/upload.h"
#include "share/shared_files.h"

namespace brindle {

class PeerListener {
  public:
    PeerListener(IMessageDisplay& messageView, IMessageBox& messages,
                 const SharedFilesHolder& sharedFiles, PeerOptions options = {});
    // Stop.
    ~PeerListener();
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    // Binds the port (SO_REUSEADDR, so a restart finds it free), listens and
    // starts the listener thread. A failure is shown in a message box and gives false.
    bool Start();
    // The bound port (the one chosen when the options asked for port 0).
    int port() const { return boundPort_; }

    // Closes the listening socket and ends the listener thread, with the
    // connections whose requests were still arriving. Running uploads go on.
    void CloseListeningSocket();
    // CloseListeningSocket, then ends every upload and waits for its thread.
    void Stop();

    // The upload table: one row per upload whose request was accepted.
    TransferTable& uploadRecords() { return uploadTable_; }
    const TransferTable& uploadRecords() const { return uploadTable_; }
    void RemoveUploadRecord(std::size_t row) { uploadTable_.RemoveRecord(row); }

    // A connection this peer opened to a downloader that asked for a push: its
    // request lines are read and served as those of an accepted connection.
    // False (the socket closed) when the listener is not running.
    bool Adopt(Socket socket);

    // Connections whose request lines are still arriving.
    std::size_t pendingConnections() const { return pendingCount_.load(); }
    // Upload workers running now (never more than the options allow).
    std::size_t runningUploads() const { return uploadSlots_.taken(); }
    // Queued requests waiting for a slot (they have no row in the upload table).
    std::size_t waitingUploads() const { return waitingCount_.load(); }

  private:
    struct Connection;
    struct QueuedRequest;
    void Run(int listenFd, int wakeFd, int adoptFd);
    void AcceptAll(int listenFd, std::deque<Connection>& pending,
                   std::chrono::steady_clock::time_point& pauseUntil);
    bool ReadLines(Connection& connection);
    void SweepQueue(std::vector<pollfd>& queued);
    void TakeAdopted(int adoptFd, std::deque<Connection>& pending);
    bool TakeLine(Connection& connection, bool closed);
    bool TakeWord(Connection& connection, const std::string& line, bool closed);
    void StartUpload(Connection& connection, long long offset);
    // The QUEUE branch: starts at once when a slot is free and nobody waits,
    // otherwise joins the line (or is closed when the line is full).
    void Enqueue(Connection& connection, long long offset);
    bool MakeRoomFor(const std::string& requester);
    void Launch(std::string fileName, std::string userName, std::string connectionText,
                Socket socket, UploadSlots::Slot slot, long long offset, bool proveStart,
                const std::string& requester, std::string firstLine);
    // Gives free slots to the line in its order and tells each entry its position.
    void ServeQueue(std::chrono::steady_clock::time_point now);
    std::size_t SlotLimit() const;

    IMessageDisplay& messageView_;
    IMessageBox& messages_;
    const PeerOptions options_;
    const SharedFilesHolder& sharedFiles_;
    UploadSlots uploadSlots_;
    TransferTable uploadTable_;
    const UploadContext uploadContext_;

    Socket listenSocket_;
    FileHandle wakeRead_;
    FileHandle wakeWrite_;
    // Adopted connections on their way to the listener thread.
    FileHandle adoptRead_;
    FileHandle adoptWrite_;
    std::mutex adoptLock_;
    std::vector<Socket> adopted_;
    int boundPort_ = 0;
    std::thread listenThread_;
    std::mutex closeLock_;  // one CloseListeningSocket at a time
    std::atomic<std::size_t> pendingCount_{0};
    // Written by each upload's end, so the line takes the freed slot at once.
    FileHandle releaseRead_;
    FileHandle releaseWrite_;

    // The line, oldest first; only the listener thread uses these.
    std::vector<QueuedRequest> queue_;
    std::map<std::string, std::uint64_t> lastTurn_;  // requester: turn its last upload started
    std::uint64_t turn_ = 0;
    bool queueChanged_ = false;  // the order or the positions must be taken again
    std::atomic<std::size_t> waitingCount_{0};

    // Declared last: the upload threads use everything above and are joined first.
    ThreadGroup threads_;
};

}  // namespace brindle
