// Searching the directory server for files other users share.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory_client.h"

namespace brindle {

// One file offered by one peer, five texts in wire order.
struct SearchResult {
    std::string fileName;
    std::string userName;
    std::string connection;
    std::string length;
    std::string ip;

    bool operator==(const SearchResult&) const = default;
};

// The results list and, beside each row, its peer address. Emptied and filled
// together, so row k always goes with resultAddresses[k].
class SearchResultsTable {
  public:
    void Clear();
    void Append(const SearchResult& result);
    [[nodiscard]] std::size_t size() const { return rows_.size(); }
    [[nodiscard]] const std::vector<SearchResult>& rows() const { return rows_; }
    [[nodiscard]] const std::vector<std::string>& resultAddresses() const {
        return resultAddresses_;
    }

  private:
    std::vector<SearchResult> rows_;
    std::vector<std::string> resultAddresses_;
};

// The Search page's inputs as typed.
struct SearchQuery {
    std::string query;
    std::optional<std::string> fileType;  // none when no file type is selected
    std::string maxResults;
};

// Checks the inputs, sends onSearch and reads the reply into `table`. The table
// is emptied only once the result count has been read; a search that fails
// before that leaves the previous rows. Every message goes through the
// context's message box.
void RunSearch(const DirectoryContext& context, const SearchQuery& query,
               SearchResultsTable& table);

// Reads a search reply once the request has gone out: the header block, the
// count line and five lines per result, into `table`. Messages as RunSearch
// shows them.
void ReadSearchReply(int fd, IMessageBox& messages, IProgressWindow& window,
                     SearchResultsTable& table, Deadline deadline = kNoDeadline);

// The request body of a search.
std::string BuildSearchBody(const SearchQuery& query, const std::string& ownUserName);

}  // namespace brindle
