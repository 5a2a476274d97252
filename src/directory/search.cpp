#include "directory/search.h"

#include "base/strings.h"

#include <climits>
#include <memory>

namespace brindle {

void SearchResultsTable::Clear() {
    rows_.clear();
    resultAddresses_.clear();
}

void SearchResultsTable::Append(const SearchResult& result) {
    rows_.push_back(result);
    resultAddresses_.push_back(result.ip);
}

std::string BuildSearchBody(const SearchQuery& query, const std::string& ownUserName) {
    return "event=onSearch&qs=" + UrlEncodeValue(query.query) +
           "&max=" + UrlEncodeValue(query.maxResults) +
           "&ext=" + UrlEncodeValue(query.fileType.value_or("")) +
           "&userName=" + UrlEncodeValue(ownUserName);
}

namespace {

void TrimTrailingSpace(std::string& text) {
    std::size_t end = text.find_last_not_of(" \t\r\n\v\f");
    text.erase(end == std::string::npos ? 0 : end + 1);
}

// Reads the five lines of one result. On a failed read shows that field's
// message and returns false.
bool ReadResult(int fd, IMessageBox& messages, SearchResult& result, Deadline deadline) {
    struct Field {
        std::string SearchResult::*member;
        const char* error;
    };
    static constexpr Field kFields[] = {
        {&SearchResult::fileName, "Error reading the file name!"},
        {&SearchResult::userName, "Error reading the user name!"},
        {&SearchResult::connection, "Error reading the connection!"},
        {&SearchResult::length, "Error reading the length!"},
        {&SearchResult::ip, "Error reading the ip!"},
    };
    for (const Field& field : kFields) {
        std::string& value = result.*field.member;
        if (!ReceiveLine(fd, value, deadline)) {
            messages.ShowMessage(field.error, MessageIcon::Error);
            return false;
        }
        TrimTrailingSpace(value);
    }
    return true;
}

constexpr const char* kReadingReplyText = "Dowloading results...";

// The message of a search request that failed at `failure`.
void ShowRequestFailure(IMessageBox& messages, PostFailure failure, const std::string& host) {
    switch (failure) {
        case PostFailure::None:
            break;
        case PostFailure::BadUrl:
            messages.ShowMessage("Bad server URL!", MessageIcon::None);
            break;
        case PostFailure::Connect:
            messages.ShowMessage("Unabel to connect to " + host, MessageIcon::None);
            break;
        case PostFailure::SendHeaders:
            messages.ShowMessage("Unable to wrte request to server!", MessageIcon::Error);
            break;
        case PostFailure::SendBody:
            messages.ShowMessage("Error sending request to server!", MessageIcon::Error);
            break;
        case PostFailure::ReadHeaders:
            messages.ShowMessage("Unable to read HTTP response headers!", MessageIcon::Error);
            break;
    }
}

// Reads the count line and five lines per result into `table`, once the
// reply's headers are behind.
void ReadSearchResults(int fd, IMessageBox& messages, IProgressWindow& window,
                       SearchResultsTable& table, Deadline deadline) {
    std::string countLine;
    if (!ReceiveLine(fd, countLine, deadline)) {
        messages.ShowMessage("Unable to read the number of results!", MessageIcon::Error);
        return;
    }
    const long long count = ParseLongLikeAtol(countLine);

    table.Clear();
    window.SetStatus("Downloading Search Results...");
    for (long long pass = 0; pass < count; ++pass) {
        SearchResult result;
        // A field that cannot be read means the reply is over: one message, then
        // stop, keeping the results read so far.
        if (!ReadResult(fd, messages, result, deadline)) {
            return;
        }
        table.Append(result);
        window.StepIt();
    }
}

// Sends the request and reads the reply once the progress window is up.
void Exchange(const DirectoryContext& context, const SearchQuery& query, IProgressWindow& window,
              SearchResultsTable& table) {
    const std::string body = BuildSearchBody(query, context.settings.userName);
    FormPost post;
    post.body = [&body] { return std::vector<std::string_view>{body}; };
    post.bodySent = [&window] { window.SetStatus(kReadingReplyText); };
    FormReply reply = PostForm(context.settings.serverUrl, context.timeouts, post);
    if (!reply) {
        ShowRequestFailure(context.messages, reply.failure, reply.server.host);
        return;
    }
    ReadSearchResults(reply.socket.fd(), context.messages, window, table, reply.deadline);
}

}  // namespace

void ReadSearchReply(int fd, IMessageBox& messages, IProgressWindow& window,
                     SearchResultsTable& table, Deadline deadline) {
    window.SetStatus(kReadingReplyText);
    if (!SkipResponseHeaders(fd, deadline)) {
        ShowRequestFailure(messages, PostFailure::ReadHeaders, {});
        return;
    }
    ReadSearchResults(fd, messages, window, table, deadline);
}

void RunSearch(const DirectoryContext& context, const SearchQuery& query,
               SearchResultsTable& table) {
    IMessageBox& messages = context.messages;
    if (!query.fileType) {
        messages.ShowMessage("No file type selected!", MessageIcon::Error);
        return;
    }
    if (query.maxResults.empty()) {
        messages.ShowMessage("No max results entered!", MessageIcon::Error);
        return;
    }
    const long long maxResults = ParseLongLikeAtol(query.maxResults);
    if (maxResults <= 0) {
        messages.ShowMessage("Max results must be greater then zero!", MessageIcon::None);
        return;
    }

    std::unique_ptr<IProgressWindow> window = context.progress.OpenProgress();
    window->SetStatus("Sending Query To Server...");
    window->SetRange(maxResults);
    window->SetStep(1);
    Exchange(context, query, *window, table);
}

}  // namespace brindle
