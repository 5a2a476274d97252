// The Search page: file name, file type and result limit of a search, Search,
// and the list of results, where a double-click downloads the selected one.
#pragma once

#include <QRect>
#include <array>

#include "directory/search.h"
#include "ui/tab_page.h"

class QComboBox;

namespace brindle {

class SearchResultsModel;

// The file types of the Search page, "*.mp3" first (selected at start).
extern const std::array<const char*, 24> kFileTypes;

class SearchPage : public TabPage {
    Q_OBJECT
  public:
    struct Layout {
        QRect fileNameLabel, fileNameEdit, extensionLabel, extensionCombo, maxResultsLabel,
            maxResultsEdit, searchButton, resultsList;
    };
    // Three rows of fields above the results list, which takes the rest.
    static Layout ComputeLayout(const PageArea& area);

    SearchPage(QWidget* surface, PageContext& context);

    [[nodiscard]] QList<QWidget*> Controls() const override;
    void Place(const PageArea& area) override;
    void SetColumnWidths(int clientWidth) override;

    // Asks the directory for the fields' query and shows the results.
    void RunSearch();
    // Asks for the Transfer page, then starts a download of the selected
    // result, if there is one.
    void StartDownload();

    [[nodiscard]] const SearchResultsTable& results() const { return results_; }

    [[nodiscard]] QLabel* fileNameLabel() const { return fileNameLabel_; }
    [[nodiscard]] QLineEdit* fileNameEdit() const { return fileNameEdit_; }
    [[nodiscard]] QLabel* extensionLabel() const { return extensionLabel_; }
    [[nodiscard]] QComboBox* extensionCombo() const { return extensionCombo_; }
    [[nodiscard]] QLabel* maxResultsLabel() const { return maxResultsLabel_; }
    [[nodiscard]] QLineEdit* maxResultsEdit() const { return maxResultsEdit_; }
    [[nodiscard]] QPushButton* searchButton() const { return searchButton_; }
    [[nodiscard]] CReportView* resultsList() const { return resultsList_; }

  signals:
    // A download is about to start: the Transfer page should be shown.
    void transferPageWanted();
    // A download was started: the transfer views should catch up.
    void downloadStarted();

  private:
    SearchResultsTable results_;  // the rows of the results list and their addresses
    QLabel* fileNameLabel_ = nullptr;
    QLineEdit* fileNameEdit_ = nullptr;
    QLabel* extensionLabel_ = nullptr;
    QComboBox* extensionCombo_ = nullptr;
    QLabel* maxResultsLabel_ = nullptr;
    QLineEdit* maxResultsEdit_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    CReportView* resultsList_ = nullptr;
    SearchResultsModel* resultsModel_ = nullptr;
};

}  // namespace brindle
