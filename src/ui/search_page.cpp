#include "ui/search_page.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "ui/qt_text.h"
#include "ui/report_view.h"
#include "ui/search_results_model.h"
#include "ui/window_texts.h"

namespace brindle {

const std::array<const char*, 24> kFileTypes = {
    "*.mp3", "*.wav", "*.doc", "*.txt", "*.htm", "*.html", "*.zip",  "*.exe",
    "*.dll", "*.h",   "*.c",   "*.cc",  "*.cpp", "*.cxx",  "*.java", "*.class",
    "*.cgi", "*.pl",  "*.gif", "*.jpg", "*.bmp", "*.gz",   "*.tar",  "*.*"};

SearchPage::Layout SearchPage::ComputeLayout(const PageArea& area) {
    const int L = area.left;
    const int T = area.top;
    const int R = area.right;
    const int B = area.bottom;
    Layout l;
    l.fileNameLabel = QRect(L, T, 100, 32);
    l.fileNameEdit = QRect(L + 100, T, R - L - 100, kFieldHeight);
    l.extensionLabel = QRect(L, T + 32, 100, kFieldHeight);
    // Qt opens a combo box's list in a pop-up of its own, so the box is one row high.
    l.extensionCombo = QRect(L + 100, T + 32, R - L - 100, kFieldHeight);
    l.maxResultsLabel = QRect(L, T + 64, 100, kFieldHeight);
    l.maxResultsEdit = QRect(L + 100, T + 64, R - L - 205, kFieldHeight);
    l.searchButton = QRect(R - 100, T + 64, 100, kFieldHeight);
    l.resultsList = QRect(L, T + 96, R - L, B - T - 96);
    return l;
}

SearchPage::SearchPage(QWidget* surface, PageContext& context) : TabPage(surface, context) {
    fileNameLabel_ = MakeLabel(kFileNameLabel, Qt::AlignRight);
    fileNameEdit_ = MakeEdit(QString(), true);
    extensionLabel_ = MakeLabel(kFileExtLabel, Qt::AlignRight);
    extensionCombo_ = new QComboBox(surface);
    extensionCombo_->setFocusPolicy(Qt::ClickFocus);
    for (const char* type : kFileTypes) {
        extensionCombo_->addItem(QString::fromUtf8(type));
    }
    extensionCombo_->setCurrentIndex(0);
    maxResultsLabel_ = MakeLabel(kMaxResultsLabel, Qt::AlignRight);
    maxResultsEdit_ = MakeEdit(QStringLiteral("100"), false);
    searchButton_ = MakeButton(kSearchButton, true);
    resultsList_ = MakeList();
    resultsModel_ = new SearchResultsModel(surface);
    resultsList_->setModel(resultsModel_);
    QWidget::setTabOrder(fileNameEdit_, searchButton_);

    connect(searchButton_, &QPushButton::clicked, this, &SearchPage::RunSearch);
    connect(resultsList_, &CReportView::doubleClickedAnywhere, this, &SearchPage::StartDownload);
    // Enter in a field searches.
    connect(fileNameEdit_, &QLineEdit::returnPressed, this, &SearchPage::RunSearch);
    connect(maxResultsEdit_, &QLineEdit::returnPressed, this, &SearchPage::RunSearch);
}

QList<QWidget*> SearchPage::Controls() const {
    return {fileNameLabel_,   fileNameEdit_,   extensionLabel_, extensionCombo_,
            maxResultsLabel_, maxResultsEdit_, searchButton_,   resultsList_};
}

void SearchPage::Place(const PageArea& area) {
    const Layout l = ComputeLayout(area);
    PlaceControl(fileNameLabel_, l.fileNameLabel);
    PlaceControl(fileNameEdit_, l.fileNameEdit);
    PlaceControl(extensionLabel_, l.extensionLabel);
    PlaceControl(extensionCombo_, l.extensionCombo);
    PlaceControl(maxResultsLabel_, l.maxResultsLabel);
    PlaceControl(maxResultsEdit_, l.maxResultsEdit);
    PlaceControl(searchButton_, l.searchButton);
    PlaceControl(resultsList_, l.resultsList);
}

void SearchPage::SetColumnWidths(int clientWidth) {
    resultsList_->SetColumnWidths(ListColumnWidth(clientWidth, resultsList_->frameWidth(),
                                                  resultsList_->model()->columnCount()));
}

void SearchPage::RunSearch() {
    const CommandGuard guard(context());
    if (!guard.entered()) {
        return;
    }
    SearchQuery query;
    query.query = FromQ(fileNameEdit_->text());
    if (extensionCombo_->currentIndex() >= 0) {
        query.fileType = FromQ(extensionCombo_->currentText());
    }
    query.maxResults = FromQ(maxResultsEdit_->text());
    app().RunSearch(query, results_);
    resultsModel_->Reload(results_);
}

void SearchPage::StartDownload() {
    const CommandGuard guard(context());
    if (!guard.entered()) {
        return;
    }
    emit transferPageWanted();
    const int row = resultsList_->SelectedRow();
    if (row < 0) {
        return;
    }
    StartDownloadOfResult(app(), results_, row, context().peerOptions);
    emit downloadStarted();
}

}  // namespace brindle
