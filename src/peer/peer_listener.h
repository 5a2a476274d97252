// The peer listener: accepts connections on the peer port and reads the
// request lines of every connection at once in one poll loop, each with a
// deadline, so a silent or trickling peer holds nobody else up. A complete
// "GET\n" request (or "GETRANGE\n" with its offset line) goes to an upload worker while fewer than
// the allowed number run (otherwise it is closed unanswered), a "MESSAGE\n" line to the display,
// and "PING\n" is answered "PONG\n".
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

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

    // Connections whose request lines are still arriving.
    std::size_t pendingConnections() const { return pendingCount_.load(); }
    // Upload workers running now (never more than the options allow).
    std::size_t runningUploads() const { return uploadSlots_.taken(); }

  private:
    struct Connection;
    void Run(int listenFd, int wakeFd);
    void AcceptAll(int listenFd, std::deque<Connection>& pending,
                   std::chrono::steady_clock::time_point& pauseUntil);
    bool ReadLines(Connection& connection);
    bool TakeLine(Connection& connection, bool closed);
    void StartUpload(Connection& connection, long long offset);

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
    int boundPort_ = 0;
    std::thread listenThread_;
    std::mutex closeLock_;  // one CloseListeningSocket at a time
    std::atomic<std::size_t> pendingCount_{0};

    // Declared last: the upload threads use everything above and are joined first.
    ThreadGroup threads_;
};

}  // namespace brindle
