// Transfer records and the two transfer tables. A record is one transfer in
// either direction: a worker thread with its socket, its cancel flag and the
// typed state of its row (bytes moved, total, rate, status). One function turns
// that state into the seven cell texts. A table is an ordered list of records,
// so row k shows record k by construction; views take snapshots of it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/strings.h"
#include "base/texts.h"
#include "net/socket.h"
#include "peer/thread_group.h"

namespace brindle {

// Column indexes of both transfer tables.
enum TransferColumn : int {
    kColumnFileName = 0,
    kColumnUser = 1,
    kColumnSize = 2,
    kColumnConnection = 3,
    kColumnRate = 4,
    kColumnDone = 5,
    kColumnStatus = 6,
};
inline constexpr int kTransferColumnCount = 7;
// The headers and the status and cell texts are in base/texts.h.
static_assert(std::size(kTransferColumnHeaders) == kTransferColumnCount);

enum class TransferStatus {
    Connecting,
    Downloading,
    Uploading,
    Complete,
    Canceled,
    Error,
    Queued,  // waiting in the sharer's line; the row holds the position
};

// Why a row ended in Error, where more is known than the status says; the
// front end words it.
enum class TransferFailure {
    None,
    // The sharer could not be connected to, and did not connect out to us
    // when asked through the directory.
    NeitherAcceptsConnections,
};

// The Status cell text of `status`; a queued row shows FormatStatus instead.
const char* StatusText(TransferStatus status);

// True for the three states after which a worker never writes its row again.
bool IsFinalStatus(TransferStatus status);

using TransferCells = std::array<std::string, kTransferColumnCount>;

// What a transfer row holds.
struct TransferRow {
    std::string fileName;
    std::string user;
    std::string connection;
    long long done = 0;
    long long total = 0;
    // A new download shows "0 of " and its length exactly as the search result
    // listed it, until the first bytes arrive.
    std::optional<std::string> listedTotal;
    double rateKiBps = 0.0;
    // The percentage at the last update point passed.
    double percent = 0.0;
    TransferStatus status = TransferStatus::Connecting;
    // While Queued: the position in the sharer's line.
    long long queuePosition = 0;
    TransferFailure failure = TransferFailure::None;

    bool operator==(const TransferRow&) const = default;
};

// A connecting row with nothing moved yet.
TransferRow NewTransferRow(std::string fileName, std::string user, std::string connection,
                           long long total);

std::string FormatSizeProgress(long long transferred, long long total);  // "%lld of %lld"
std::string FormatRate(double kibPerSecond);                             // "%#.2fks"
std::string FormatPercent(double percent);                               // "%#.2f%%"
// The Status cell: "Queued, position n..." while queued, StatusText otherwise.
std::string FormatStatus(const TransferRow& row);

// The cell texts the row shows, column by column.
TransferCells FormatTransferRow(const TransferRow& row);

// A thread that owns one socket. The socket and the cancel flag share one lock,
// so a cancel from another thread can shut the socket down (waking a worker
// blocked in connect, recv or send) without racing the worker's close.
class SocketThread : public std::enable_shared_from_this<SocketThread> {
  public:
    virtual ~SocketThread() = default;
    SocketThread(const SocketThread&) = delete;
    SocketThread& operator=(const SocketThread&) = delete;

    // The thread body.
    virtual void Run() = 0;
    // Runs Run on a new thread of `threads`, which keeps this object alive until
    // Run returns. False when the thread could not be started.
    [[nodiscard]] bool Start(ThreadGroup& threads);

    void RequestCancel();
    bool IsCancelRequested() const;

  protected:
    SocketThread() = default;
    explicit SocketThread(Socket socket) : socket_(std::move(socket)) {}

    // The socket and its descriptor for the worker's own I/O (-1 when none).
    // Only the worker replaces or closes the socket, so it may read these
    // without the lock.
    int socketFd() const { return socket_.fd(); }
    const Socket& socket() const { return socket_; }
    // Installs a new socket; shuts it down at once when a cancel came first.
    void AdoptSocket(Socket socket);
    // Hands the socket over to another owner.
    Socket TakeSocket();
    void CloseSocket();

  private:
    mutable std::mutex cancelLock_;
    bool cancelRequested_ = false;
    Socket socket_;
};

class TransferTable;
class ProgressMeter;

// The common part of download and upload records: the row's state.
class TransferRecord : public SocketThread {
  public:
    TransferRow Row() const;
    TransferStatus status() const;
    // The row's texts, as FormatTransferRow makes them.
    TransferCells Cells() const { return FormatTransferRow(Row()); }
    std::string Cell(int column) const;
    void SetStatus(TransferStatus status);
    bool IsFinished() const;

  protected:
    TransferRecord() = default;
    explicit TransferRecord(Socket socket) : SocketThread(std::move(socket)) {}
    // The row before the record joins a table.
    void InitRow(TransferRow row);
    // Applies `edit` to the row as one change.
    template <typename Edit>
    void UpdateRow(Edit&& edit) {
        std::lock_guard<std::mutex> hold(rowLock_);
        edit(row_);
        Changed();
    }
    // Shows the bytes the meter counted while `active`; when an update point was
    // passed (`pointPassed`) its rate and percentage as well.
    void ShowProgress(TransferStatus active, const ProgressMeter& meter, bool pointPassed);
    // Closes the socket and writes the final `status`; a completed row shows a
    // rate of 0 and 100 percent.
    void Finish(TransferStatus status);

  private:
    friend class TransferTable;
    void Changed();

    mutable std::mutex rowLock_;
    TransferRow row_;
    // The change counter of the table this record is in (none before that).
    std::shared_ptr<std::atomic<std::uint64_t>> tableChanges_;
};

// One transfer table and its record list in one: thread-safe, row k is record k.
class TransferTable {
  public:
    struct Snapshot {
        std::uint64_t changeCount = 0;
        std::vector<TransferRow> rows;
    };

    TransferTable();
    TransferTable(const TransferTable&) = delete;
    TransferTable& operator=(const TransferTable&) = delete;

    std::size_t RowCount() const;
    // Null when `row` is out of range.
    std::shared_ptr<TransferRecord> Record(std::size_t row) const;
    std::vector<std::shared_ptr<TransferRecord>> Records() const;
    // Adds the record's row at the bottom.
    void Append(std::shared_ptr<TransferRecord> record);
    // The first row from the top whose column 0 equals `name` as a whole, case
    // ignored; -1 when none does.
    int FindTransferRow(const std::string& name) const;
    // Cancels the record of `row`, then takes the row and record out; later rows
    // move up one place. False when `row` is out of range.
    bool RemoveRecord(std::size_t row);
    // Removes every row in a final state, keeping the order of the others.
    // Returns how many went.
    std::size_t ClearFinished();
    // Asks the worker of `row` to stop; a finished row is not changed.
    void CancelRow(std::size_t row);

    // Every row's state, and the change count they belong to (read first, so a
    // change made while copying shows up as a newer count).
    Snapshot TakeSnapshot() const;
    // Grows with every row added, removed or written.
    std::uint64_t changeCount() const { return changes_->load(std::memory_order_acquire); }

  private:
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<TransferRecord>> records_;
    std::shared_ptr<std::atomic<std::uint64_t>> changes_;
};

}  // namespace brindle
