// The search reply reader over an arbitrary reply: at most one message, every
// row five trimmed single-line fields, rows and addresses paired, and never
// more rows than the reply could hold. A row's length is a byte count only
// when it is plain digits, and its name is written only when it stays a plain,
// visible file of the shared folder.
#include <cstdlib>

#include "directory/search.h"
#include "fuzz_support.h"
#include "peer/download.h"
#include "share/shared_files.h"

namespace {

bool IsTrimmedLine(const std::string& field) {
    if (field.size() > 1023 || field.find('\n') != std::string::npos) {
        return false;
    }
    return field.empty() || std::string(" \t\r\v\f").find(field.back()) == std::string::npos;
}

// A length read as a byte count is "-" and digits or digits alone, and
// gives back the same count written out.
void CheckLength(const std::string& text) {
    std::optional<long long> length = brindle::ParseFileLength(text);
    if (!length) {
        return;
    }
    std::string digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        *length < 0) {
        std::abort();
    }
    std::size_t zeros = digits.find_first_not_of('0');
    std::string plain = zeros == std::string::npos ? "0" : digits.substr(zeros);
    long long read = text.starts_with('-') && plain != "0" ? (1LL << 32) - *length : *length;
    if (std::to_string(read) != plain) {
        std::abort();
    }
}

// A name a download would write has no separator or control byte, and is
// neither hidden nor one of the program's own.
void CheckLocalName(const std::string& remote) {
    std::string local = brindle::LocalNameFor(remote);
    if (!brindle::IsSafeLocalName(local)) {
        return;
    }
    if (local.empty() || local.front() == '.' || brindle::IsReservedName(local)) {
        std::abort();
    }
    for (char c : local) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 32 || byte == 127) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stream = brindle::fuzz::AsString(data, size);
    brindle::fuzz::FedSocket socket(stream);
    brindle::fuzz::RecordingMessageBox messages;
    brindle::fuzz::CountingProgress window;
    brindle::SearchResultsTable table;
    // A row from an earlier search shows whether the table was emptied.
    table.Append({"old", "u", "c", "1", "10.0.0.1"});

    brindle::ReadSearchReply(socket.fd(), messages, window, table);

    if (messages.texts.size() > 1) {
        std::abort();
    }
    const auto& rows = table.rows();
    if (rows.size() != table.resultAddresses().size()) {
        std::abort();
    }
    // Either the reply broke before its count (one message, the earlier row
    // kept) or the table was emptied and holds exactly the rows read.
    bool kept = window.steps == 0 && rows.size() == 1 && rows[0].fileName == "old";
    if (kept ? messages.texts.size() != 1 : window.steps != static_cast<long long>(rows.size())) {
        std::abort();
    }
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const brindle::SearchResult& row = rows[k];
        if (table.resultAddresses()[k] != row.ip) {
            std::abort();
        }
        for (const std::string* field :
             {&row.fileName, &row.userName, &row.connection, &row.length, &row.ip}) {
            if (!IsTrimmedLine(*field)) {
                std::abort();
            }
        }
        CheckLength(row.length);
        CheckLocalName(row.fileName);
    }
    // Each field of a new row took at least one byte of the reply.
    if (window.steps * 5 > static_cast<long long>(stream.size())) {
        std::abort();
    }
    return 0;
}
