#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>

#include <set>
#include <thread>

#include "peer/transfer_record.h"
#include "ui/qt_ports.h"
#include "ui/report_view.h"
#include "ui/search_results_model.h"
#include "ui/transfer_table_model.h"
#include "ui_test_support.h"

namespace brindle::test {
namespace {

class RowRecord : public TransferRecord {
  public:
    explicit RowRecord(const std::string& name) { InitRow(NewTransferRow(name, "bob", "T1", 9)); }
    void Run() override {}
    using TransferRecord::UpdateRow;
};

struct ViewOverTable {
    TransferTable table;
    TransferTableModel model{table};
    CReportView view;
    ViewOverTable() { view.setModel(&model); }
    std::shared_ptr<RowRecord> Add(const std::string& name) {
        auto record = std::make_shared<RowRecord>(name);
        table.Append(record);
        return record;
    }
    QString Cell(int row, int column) { return model.index(row, column).data().toString(); }
};

TEST(TransferTableModelTest, RowsKeepTheirPlaceAndTheSelectionFollowsThem) {
    ViewOverTable v;
    auto a = v.Add("a");
    auto b = v.Add("b");
    auto c = v.Add("c");
    v.model.Refresh();
    ASSERT_EQ(v.model.rowCount(), 3);
    v.view.SelectRow(2);

    QSignalSpy resets(&v.model, &QAbstractItemModel::modelReset);
    QSignalSpy changes(&v.model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserts(&v.model, &QAbstractItemModel::rowsInserted);

    // A worker writes its cells: one change for that row, nothing else moves.
    c->UpdateRow([](TransferRow& row) {
        row.percent = 50.0;
        row.status = TransferStatus::Downloading;
    });
    v.model.Refresh();
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(v.Cell(2, kColumnStatus), kStatusDownloading);
    EXPECT_EQ(v.view.SelectedRow(), 2);

    // A row above goes, one is added below: "c" is still the selected row.
    a->SetStatus(TransferStatus::Complete);
    v.table.ClearFinished();
    v.Add("d");
    v.model.Refresh();
    EXPECT_EQ(resets.count(), 0);
    EXPECT_EQ(inserts.count(), 1);
    ASSERT_EQ(v.model.rowCount(), 3);
    EXPECT_EQ(v.Cell(0, 0), "b");
    EXPECT_EQ(v.Cell(1, 0), "c");
    EXPECT_EQ(v.Cell(2, 0), "d");
    EXPECT_EQ(v.view.SelectedRow(), 1);

    // Nothing changed: nothing is reported.
    const int before = changes.count();
    v.model.Refresh();
    EXPECT_EQ(changes.count(), before);
}

// Many updates between two refreshes reach the view as one change of the row.
TEST(TransferTableModelTest, UpdatesBetweenRefreshesAreCoalesced) {
    ViewOverTable v;
    auto record = v.Add("big.iso");
    v.model.Refresh();
    QSignalSpy changes(&v.model, &QAbstractItemModel::dataChanged);
    std::thread worker([&] {
        for (int i = 1; i <= 10000; ++i) {
            record->UpdateRow([i](TransferRow& row) {
                row.done = i;
                row.total = 10000;
            });
        }
    });
    worker.join();
    v.model.Refresh();
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(v.Cell(0, kColumnSize), "10000 of 10000");
}

// Every cell of a list carries its whole text as its tooltip, so a cell cut
// short by its column ("File Comple...") can still be read; a size's tooltip
// goes on with the bytes in readable units.
void ExpectEveryToolTipIsTheWholeText(const QAbstractItemModel& model) {
    ASSERT_GT(model.rowCount(), 0);
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int column = 0; column < model.columnCount(); ++column) {
            const QModelIndex cell = model.index(row, column);
            EXPECT_FALSE(cell.data(Qt::DisplayRole).toString().isEmpty());
            EXPECT_TRUE(cell.data(Qt::ToolTipRole)
                            .toString()
                            .startsWith(cell.data(Qt::DisplayRole).toString()))
                << "row " << row << ", column " << column;
        }
    }
}

TEST(ListToolTipsTest, EveryCellOfTheTransferAndResultsListsShowsItsWholeText) {
    ViewOverTable transfers;
    auto record = transfers.Add("A rather long recording of the harbour at night.mp3");
    record->SetStatus(TransferStatus::Complete);
    transfers.model.Refresh();
    ExpectEveryToolTipIsTheWholeText(transfers.model);
    EXPECT_EQ(transfers.model.index(0, kColumnStatus).data(Qt::ToolTipRole).toString(),
              kStatusComplete);

    SearchResultsTable table;
    table.Append(SearchResult{"music\\A rather long recording.mp3", "bob", "ISDN-128K", "3100000",
                              "127.0.0.1"});
    SearchResultsModel results;
    results.Reload(table);
    ExpectEveryToolTipIsTheWholeText(results);
    EXPECT_EQ(results.index(0, 1).data(Qt::ToolTipRole).toString(), "3100000 bytes (2.96 MiB)");
}

// A download that neither side could connect for gives the reason in its
// Status tooltip; another error row only its status.
TEST(ListToolTipsTest, AFailedPushGivesItsReasonInTheStatusTooltip) {
    ViewOverTable transfers;
    transfers.Add("walled.bin")->UpdateRow([](TransferRow& row) {
        row.status = TransferStatus::Error;
        row.failure = TransferFailure::NeitherAcceptsConnections;
    });
    transfers.Add("plain.bin")->SetStatus(TransferStatus::Error);
    transfers.model.Refresh();
    auto tip = [&](int row) {
        return transfers.model.index(row, kColumnStatus).data(Qt::ToolTipRole).toString();
    };
    EXPECT_EQ(transfers.Cell(0, kColumnStatus), kStatusError);
    EXPECT_EQ(tip(0), QString(kStatusError) + "\nNeither you nor bob can accept connections.");
    EXPECT_EQ(tip(1), kStatusError);
}

// A pointer resting on a row selects it (hover selection), a moment later.
TEST(ReportViewTest, ARestingPointerSelectsItsRow) {
    ViewOverTable v;
    v.Add("a");
    v.Add("b");
    v.model.Refresh();
    emit v.view.entered(v.model.index(1, 3));
    EXPECT_EQ(v.view.SelectedRow(), -1);
    EXPECT_TRUE(WaitForUi([&] { return v.view.SelectedRow() == 1; }, std::chrono::seconds(2)));
}

TEST(MessageDisplayTest, LinesFromManyThreadsArriveWholeAndInOrderPerSender) {
    QPlainTextEdit view;
    QtMessageDisplay display;
    display.SetView(&view);
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&display, t] {
            for (int i = 0; i < kLines; ++i) {
                display.AppendLine("<user" + std::to_string(t) + "> message " + std::to_string(i) +
                                   "\r\n");
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    ASSERT_TRUE(WaitForUi([&] { return view.document()->blockCount() == kThreads * kLines; }));
    std::vector<int> next(kThreads, 0);
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        const int t = text.mid(5, text.indexOf('>') - 5).toInt();
        ASSERT_EQ(text, QString("<user%1> message %2").arg(t).arg(next[t]));
        ++next[t];
    }
}

TEST(MessageDisplayTest, ReceivedLinesDoNotMoveTheReader) {
    QPlainTextEdit view;
    view.resize(200, 100);
    view.show();
    QtMessageDisplay display;
    display.SetView(&view);
    for (int i = 0; i < 50; ++i) {
        display.AppendLine("line " + std::to_string(i) + "\n");
    }
    display.Flush();
    view.verticalScrollBar()->setValue(3);
    display.AppendLine("one more\n");
    display.Flush();
    EXPECT_EQ(view.verticalScrollBar()->value(), 3);
    EXPECT_EQ(view.document()->lastBlock().text(), "one more");
}

}  // namespace
}  // namespace brindle::test
