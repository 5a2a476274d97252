#include "peer/transfer_record.h"

#include <algorithm>

namespace brindle {

bool IsFinalStatus(std::string_view status) {
    return status == kStatusComplete || status == kStatusCanceled || status == kStatusError;
}

// ---- SocketThread

bool SocketThread::Start(ThreadGroup& threads) {
    std::weak_ptr<SocketThread> weak = weak_from_this();
    return threads.Spawn([self = shared_from_this()] { self->Run(); },
                         [weak] {
                             if (auto self = weak.lock()) {
                                 self->RequestCancel();
                             }
                         });
}

void SocketThread::RequestCancel() {
    std::lock_guard<std::mutex> hold(cancelLock_);
    cancelRequested_ = true;
    if (socket_.valid()) {
        socket_.Shutdown();
    }
}

bool SocketThread::IsCancelRequested() const {
    std::lock_guard<std::mutex> hold(cancelLock_);
    return cancelRequested_;
}

void SocketThread::AdoptSocket(Socket socket) {
    std::lock_guard<std::mutex> hold(cancelLock_);
    socket_ = std::move(socket);
    if (cancelRequested_ && socket_.valid()) {
        socket_.Shutdown();
    }
}

Socket SocketThread::TakeSocket() {
    std::lock_guard<std::mutex> hold(cancelLock_);
    return std::move(socket_);
}

void SocketThread::CloseSocket() {
    std::lock_guard<std::mutex> hold(cancelLock_);
    socket_.reset();
}

// ---- TransferRecord

namespace {

bool IsColumn(int column) {
    return column >= 0 && column < kTransferColumnCount;
}

}  // namespace

std::string TransferRecord::Cell(int column) const {
    if (!IsColumn(column)) {
        return {};
    }
    std::lock_guard<std::mutex> hold(cellLock_);
    return cells_[static_cast<std::size_t>(column)];
}

TransferCells TransferRecord::Cells() const {
    std::lock_guard<std::mutex> hold(cellLock_);
    return cells_;
}

void TransferRecord::SetCell(int column, std::string text) {
    if (!IsColumn(column)) {
        return;
    }
    std::lock_guard<std::mutex> hold(cellLock_);
    cells_[static_cast<std::size_t>(column)] = std::move(text);
    Changed();
}

void TransferRecord::SetCells(std::initializer_list<std::pair<int, std::string_view>> cells) {
    std::lock_guard<std::mutex> hold(cellLock_);
    for (const auto& [column, text] : cells) {
        if (IsColumn(column)) {
            cells_[static_cast<std::size_t>(column)].assign(text);
        }
    }
    Changed();
}

bool TransferRecord::IsFinished() const {
    std::lock_guard<std::mutex> hold(cellLock_);
    return IsFinalStatus(cells_[kColumnStatus]);
}

void TransferRecord::InitCells(TransferCells cells) {
    std::lock_guard<std::mutex> hold(cellLock_);
    cells_ = std::move(cells);
}

void TransferRecord::Changed() {
    if (tableChanges_) {
        tableChanges_->fetch_add(1, std::memory_order_acq_rel);
    }
}

// ---- TransferTable

TransferTable::TransferTable() : changes_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

std::size_t TransferTable::RowCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return records_.size();
}

std::shared_ptr<TransferRecord> TransferTable::Record(std::size_t row) const {
    std::lock_guard<std::mutex> hold(lock_);
    return row < records_.size() ? records_[row] : nullptr;
}

std::vector<std::shared_ptr<TransferRecord>> TransferTable::Records() const {
    std::lock_guard<std::mutex> hold(lock_);
    return records_;
}

void TransferTable::Append(std::shared_ptr<TransferRecord> record) {
    {
        std::lock_guard<std::mutex> cells(record->cellLock_);
        record->tableChanges_ = changes_;
    }
    std::lock_guard<std::mutex> hold(lock_);
    records_.push_back(std::move(record));
    changes_->fetch_add(1, std::memory_order_acq_rel);
}

int TransferTable::FindTransferRow(const std::string& name) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (EqualsIgnoringCase(records_[row]->Cell(kColumnFileName), name)) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

bool TransferTable::RemoveRecord(std::size_t row) {
    std::shared_ptr<TransferRecord> removed;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (row >= records_.size()) {
            return false;
        }
        removed = std::move(records_[row]);
        records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(row));
        changes_->fetch_add(1, std::memory_order_acq_rel);
    }
    // Outside the table's lock: a running worker keeps its own reference.
    removed->RequestCancel();
    return true;
}

std::size_t TransferTable::ClearFinished() {
    std::vector<std::shared_ptr<TransferRecord>> removed;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto keep = std::stable_partition(records_.begin(), records_.end(),
                                          [](const auto& record) { return !record->IsFinished(); });
        removed.assign(std::make_move_iterator(keep), std::make_move_iterator(records_.end()));
        records_.erase(keep, records_.end());
        if (!removed.empty()) {
            changes_->fetch_add(1, std::memory_order_acq_rel);
        }
    }
    for (auto& record : removed) {
        record->RequestCancel();
    }
    return removed.size();
}

void TransferTable::CancelRow(std::size_t row) {
    if (auto record = Record(row)) {
        record->RequestCancel();
    }
}

TransferTable::Snapshot TransferTable::TakeSnapshot() const {
    Snapshot snapshot;
    std::lock_guard<std::mutex> hold(lock_);
    snapshot.changeCount = changes_->load(std::memory_order_acquire);
    snapshot.rows.reserve(records_.size());
    for (const auto& record : records_) {
        snapshot.rows.push_back(record->Cells());
    }
    return snapshot;
}

}  // namespace brindle
