// The search reply reader over an arbitrary reply: at most one message, every
// row five trimmed single-line fields, rows and addresses paired, and never
// more rows than the reply could hold.
#include <cstdlib>

#include "directory/search.h"
#include "fuzz_support.h"

namespace {

bool IsTrimmedLine(const std::string& field) {
    if (field.size() > 1023 || field.find('\n') != std::string::npos) {
        return false;
    }
    return field.empty() || std::string(" \t\r\v\f").find(field.back()) == std::string::npos;
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
    }
    // Each field of a new row took at least one byte of the reply.
    if (window.steps * 5 > static_cast<long long>(stream.size())) {
        std::abort();
    }
    return 0;
}
