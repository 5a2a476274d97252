#include "peer/transfer_record.h"

#include <algorithm>
#include <cstdio>

#include "peer/progress.h"

namespace brindle {

const char* StatusText(TransferStatus status) {
    switch (status) {
        case TransferStatus::Connecting:
            return kStatusConnecting;
        case TransferStatus::Downloading:
            return kStatusDownloading;
        case TransferStatus::Uploading:
            return kStatusUploading;
        case TransferStatus::Complete:
            return kStatusComplete;
        case TransferStatus::Canceled:
            return kStatusCanceled;
        case TransferStatus::Error:
            return kStatusError;
        case TransferStatus::Queued:
            return kStatusConnecting;
    }
    return kStatusError;
}

bool IsFinalStatus(TransferStatus status) {
    return status == TransferStatus::Complete || status == TransferStatus::Canceled ||
           status == TransferStatus::Error;
}

TransferRow NewTransferRow(std::string fileName, std::string user, std::string connection,
                           long long total) {
    TransferRow row;
    row.fileName = std::move(fileName);
    row.user = std::move(user);
    row.connection = std::move(connection);
    row.total = total;
    return row;
}

std::string FormatSizeProgress(long long transferred, long long total) {
    char text[64];
    std::snprintf(text, sizeof text, "%lld of %lld", transferred, total);
    return text;
}

std::string FormatRate(double kibPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%#.2fks", kibPerSecond);
    return text;
}

std::string FormatPercent(double percent) {
    char text[64];
    std::snprintf(text, sizeof text, "%#.2f%%", percent);
    return text;
}

std::string FormatStatus(const TransferRow& row) {
    if (row.status != TransferStatus::Queued) {
        return StatusText(row.status);
    }
    char text[64];
    std::snprintf(text, sizeof text, kStatusQueuedFormat, row.queuePosition);
    return text;
}

TransferCells FormatTransferRow(const TransferRow& row) {
    return {row.fileName,
            row.user,
            row.listedTotal ? "0 of " + *row.listedTotal : FormatSizeProgress(row.done, row.total),
            row.connection,
            FormatRate(row.rateKiBps),
            FormatPercent(row.percent),
            FormatStatus(row)};
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

TransferRow TransferRecord::Row() const {
    std::lock_guard<std::mutex> hold(rowLock_);
    return row_;
}

TransferStatus TransferRecord::status() const {
    std::lock_guard<std::mutex> hold(rowLock_);
    return row_.status;
}

std::string TransferRecord::Cell(int column) const {
    if (column < 0 || column >= kTransferColumnCount) {
        return {};
    }
    return Cells()[static_cast<std::size_t>(column)];
}

void TransferRecord::SetStatus(TransferStatus status) {
    UpdateRow([status](TransferRow& row) { row.status = status; });
}

bool TransferRecord::IsFinished() const {
    return IsFinalStatus(status());
}

void TransferRecord::InitRow(TransferRow row) {
    std::lock_guard<std::mutex> hold(rowLock_);
    row_ = std::move(row);
}

void TransferRecord::ShowProgress(TransferStatus active, const ProgressMeter& meter,
                                  bool pointPassed) {
    UpdateRow([&](TransferRow& row) {
        row.done = meter.transferred();
        row.total = meter.total();
        row.listedTotal.reset();
        row.status = active;
        if (pointPassed) {
            row.rateKiBps = meter.rate();
            row.percent = meter.percent();
        }
    });
}

void TransferRecord::Finish(TransferStatus status) {
    CloseSocket();
    UpdateRow([status](TransferRow& row) {
        if (status == TransferStatus::Complete) {
            row.rateKiBps = 0.0;
            row.percent = 100.0;
        }
        if (status != TransferStatus::Error) {
            row.failure = TransferFailure::None;  // a later attempt got through
        }
        row.status = status;
    });
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
        std::lock_guard<std::mutex> row(record->rowLock_);
        record->tableChanges_ = changes_;
    }
    std::lock_guard<std::mutex> hold(lock_);
    records_.push_back(std::move(record));
    changes_->fetch_add(1, std::memory_order_acq_rel);
}

int TransferTable::FindTransferRow(const std::string& name) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (EqualsIgnoringCase(records_[row]->Row().fileName, name)) {
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
        snapshot.rows.push_back(record->Row());
    }
    return snapshot;
}

}  // namespace brindle
