// The results list: a view of the search results table ("File Name",
// "File Size", "User", "Connection"); row k goes with address k.
#pragma once

#include <QAbstractTableModel>

#include "directory/search.h"

namespace brindle {

class SearchResultsModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit SearchResultsModel(QObject* parent = nullptr);

    // Shows the rows of `table` (after a search).
    void Reload(const SearchResultsTable& table);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;

  private:
    std::vector<SearchResult> rows_;
};

}  // namespace brindle
