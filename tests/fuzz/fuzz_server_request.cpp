// The directory server's request handling over arbitrary form bodies, on one
// database that lives for the whole run: form decoding and each event. Every
// reply is lines a client can read (each ending in a line feed, at most 1023
// bytes with it), a search reply is a count and five lines per result, and a
// registration answered "OK" makes the user's address known at once.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/strings.h"
#include "fuzz_support.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/store/sqlite/sqlite_store.h"

namespace {

namespace fs = std::filesystem;
using namespace brindle::server;

struct Server {
    fs::path root;
    std::unique_ptr<SqliteStore> store;
    PasswordHasher hasher{PasswordHasher::Minimum()};
    std::unique_ptr<EventDispatcher> dispatcher;

    Server() {
        root = fs::temp_directory_path() / ("brindlenet-fuzz-server-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        std::string error;
        store = SqliteStore::Open((root / "directory.db").string(), error);
        if (!store || !PasswordHasher::Initialize()) {
            std::abort();
        }
        dispatcher = std::make_unique<EventDispatcher>(*store, hasher);
        // Something to find: two users, one logged in with a few files.
        Handle(
            "event=onRegisterUser&userName=ann&connection=DSL%2CCable&password=pw&count=2"
            "&file0=music%5Ca+b.mp3&size0=1234&file1=song.mp3&size1=-1073741824");
        Handle("event=onRegisterUser&userName=bob&connection=T1&password=x&count=0");
        Handle("event=onUnregisterUser&userName=bob&password=x");
    }
    ~Server() {
        dispatcher.reset();
        store.reset();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    EventReply Handle(std::string_view body, std::string ipv4 = "127.0.0.1") {
        return dispatcher->Handle({body, std::move(ipv4)});
    }
};

// The body's lines; aborts unless every line ends in a line feed and fits a
// client's 1023-byte line.
std::vector<std::string> Lines(const std::string& body) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t end = body.find('\n', at);
        if (end == std::string::npos || end + 1 - at > 1023) {
            std::abort();
        }
        lines.push_back(body.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string PercentEncodeAll(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server server;
    if (size < 1) {
        return 0;
    }
    // The first byte picks where the request came from; a client without an
    // IPv4 address cannot register.
    static const char* const kAddresses[] = {"127.0.0.1", "10.0.0.5", ""};
    std::string ipv4 = kAddresses[data[0] % 3];
    std::string body = brindle::fuzz::AsString(data + 1, size - 1);

    EventReply reply = server.Handle(body, ipv4);
    std::vector<std::string> lines = Lines(reply.body);
    if (lines.empty() || reply.status < 200 || reply.status > 599) {
        std::abort();
    }

    FormData fields;
    if (fields.Decode(body, 1 << 20) != FormData::Status::Ok) {
        return 0;
    }
    const std::string_view* event = fields.Find("event");
    if (event == nullptr || reply.status != 200) {
        return 0;
    }
    if (*event == "onSearch") {
        long long count = brindle::ParseLongLikeAtol(lines[0]);
        if (lines[0] != std::to_string(count) || count < 0 ||
            lines.size() != static_cast<std::size_t>(1 + 5 * count)) {
            std::abort();
        }
    } else if (*event == "onRegisterUser" && reply.body == "OK\n") {
        const std::string_view* user = fields.Find("userName");
        EventReply lookup =
            server.Handle("event=onLookupUserIP&userName=" + PercentEncodeAll(*user), ipv4);
        if (lookup.body != ipv4 + "\n") {
            std::abort();  // a registration was answered OK but not kept
        }
    }
    return 0;
}
