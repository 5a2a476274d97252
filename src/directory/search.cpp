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
bool ReadResult(const LineReader& readLine, IMessageBox& messages, SearchResult& result) {
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
        if (!readLine(value)) {
            messages.ShowMessage(field.error, MessageIcon::Error);
            return false;
        }
        TrimTrailingSpace(value);
    }
    return true;
}

// The message of a search request that failed at `failure`.
void ShowRequestFailure(IMessageBox& messages, PostFailure failure, const std::string& host) {
    switch (failure) {
        case PostFailure::None:
            break;
        case PostFailure::BadUrl:
            messages.ShowMessage(kBadServerUrlText, MessageIcon::None);
            break;
        case PostFailure::Connect:
            messages.ShowMessage(kServerConnectFailedPrefix + host, MessageIcon::None);
            break;
        case PostFailure::SendHeaders:
            messages.ShowMessage(kRequestHeaderSendFailedText, MessageIcon::Error);
            break;
        case PostFailure::SendBody:
            messages.ShowMessage(kRequestBodySendFailedText, MessageIcon::Error);
            break;
        case PostFailure::ReadHeaders:
            messages.ShowMessage(kResponseHeadersFailedText, MessageIcon::Error);
            break;
    }
}

// Reads the count line and five lines per result into `table`, once the
// reply's headers are behind.
void ReadSearchResults(const LineReader& readLine, IMessageBox& messages, IProgressWindow& window,
                       SearchResultsTable& table) {
    std::string countLine;
    if (!readLine(countLine)) {
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
        if (!ReadResult(readLine, messages, result)) {
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
    post.bodySent = [&window] { window.SetStatus(kProgressReadingReply); };
    FormReply reply = PostToServer(context, post);
    if (!reply) {
        ShowRequestFailure(context.messages, reply.failure, reply.server.host);
        return;
    }
    ReadSearchResults(reply.Lines(), context.messages, window, table);
}

}  // namespace

void ReadSearchReply(int fd, IMessageBox& messages, IProgressWindow& window,
                     SearchResultsTable& table, Deadline deadline) {
    window.SetStatus(kProgressReadingReply);
    const LineReader readLine = [fd, deadline](std::string& line) {
        return ReceiveLine(fd, line, deadline);
    };
    if (!SkipResponseHeaders(readLine)) {
        ShowRequestFailure(messages, PostFailure::ReadHeaders, {});
        return;
    }
    ReadSearchResults(readLine, messages, window, table);
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
