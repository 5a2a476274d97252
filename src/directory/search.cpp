#include "directory/search.h"

#include "base/strings.h"
#include "base/texts.h"

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
        {&SearchResult::fileName, kReadFileNameFailedText},
        {&SearchResult::userName, kReadUserNameFailedText},
        {&SearchResult::connection, kReadConnectionFailedText},
        {&SearchResult::length, kReadLengthFailedText},
        {&SearchResult::ip, kReadIpFailedText},
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

// Sends the request and reads the reply once the progress window is up.
void Exchange(const DirectoryContext& context, const SearchQuery& query, IProgressWindow& window,
              SearchResultsTable& table) {
    IMessageBox& messages = context.messages;
    const Deadline deadline = RequestDeadline(context.timeouts);
    ServerAddress server;
    if (!ParseServerUrl(context.settings.serverUrl, server)) {
        messages.ShowMessage(kBadServerUrlText, MessageIcon::None);
        return;
    }
    Socket socket = OpenRequestConnection(server, context.timeouts, deadline);
    if (!socket) {
        messages.ShowMessage(kServerConnectFailedPrefix + server.host, MessageIcon::None);
        return;
    }
    const int fd = socket.fd();
    const std::string body = BuildSearchBody(query, context.settings.userName);
    if (!SendAll(fd, BuildPostHeaders(server, static_cast<long long>(body.size())), deadline)) {
        messages.ShowMessage(kRequestHeaderSendFailedText, MessageIcon::Error);
        return;
    }
    if (!SendAll(fd, body, deadline)) {
        messages.ShowMessage(kRequestBodySendFailedText, MessageIcon::Error);
        return;
    }
    ReadSearchReply(fd, messages, window, table, deadline);
}

}  // namespace

void ReadSearchReply(int fd, IMessageBox& messages, IProgressWindow& window,
                     SearchResultsTable& table, Deadline deadline) {
    window.SetStatus(kProgressReadingReply);
    if (!SkipResponseHeaders(fd, deadline)) {
        messages.ShowMessage(kResponseHeadersFailedText, MessageIcon::Error);
        return;
    }
    std::string countLine;
    if (!ReceiveLine(fd, countLine, deadline)) {
        messages.ShowMessage(kResultCountFailedText, MessageIcon::Error);
        return;
    }
    const long long count = ParseLongLikeAtol(countLine);

    table.Clear();
    window.SetStatus(kProgressReadingResults);
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

void RunSearch(const DirectoryContext& context, const SearchQuery& query,
               SearchResultsTable& table) {
    IMessageBox& messages = context.messages;
    if (!query.fileType) {
        messages.ShowMessage(kNoFileTypeText, MessageIcon::Error);
        return;
    }
    if (query.maxResults.empty()) {
        messages.ShowMessage(kNoMaxResultsText, MessageIcon::Error);
        return;
    }
    const long long maxResults = ParseLongLikeAtol(query.maxResults);
    if (maxResults <= 0) {
        messages.ShowMessage(kMaxResultsNotPositiveText, MessageIcon::None);
        return;
    }

    std::unique_ptr<IProgressWindow> window = context.progress.OpenProgress();
    window->SetStatus(kProgressSendingQuery);
    window->SetRange(maxResults);
    window->SetStep(1);
    Exchange(context, query, *window, table);
}

}  // namespace brindle
