#include "server/events/event_dispatcher.h"

#include "base/strings.h"

#include <sodium.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace brindle::server {
namespace {

constexpr int kRegisterAttempts = 3;

EventReply Reply(int status, std::string body, std::string outcome) {
    EventReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.outcome = std::move(outcome);
    return reply;
}

EventReply BadRequest(const std::string& word, const std::string& detail) {
    return Reply(400, word + "\n", word + " (" + detail + ")");
}

EventReply ServerError(const std::string& detail) {
    return Reply(500, "SERVER-ERROR\n", "SERVER-ERROR (" + detail + ")");
}

// A store failure as a reply: 503 while the database cannot be reached, so
// clients and proxies know to try again (or another node), 500 otherwise.
EventReply StoreError(StoreStatus status, const std::string& detail) {
    if (status == StoreStatus::Unavailable) {
        return Reply(503, "UNAVAILABLE\n", "UNAVAILABLE (database unreachable)");
    }
    return ServerError(detail);
}

std::string_view FieldOr(const FormData& fields, std::string_view key) {
    const std::string_view* value = fields.Find(key);
    return value ? *value : std::string_view();
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos;
}

// Form numbers are at most 18 digits long, leading zeros included, so every
// one of them fits a 64-bit integer.
constexpr std::size_t kMaxDigits = 18;

// The largest count or file index read: far enough below SIZE_MAX that sizes
// computed from it cannot wrap.
constexpr std::size_t kMaxCount = SIZE_MAX / 16;

// A plain decimal number without sign or blanks, at most kMaxCount.
std::optional<std::size_t> ParseCount(std::string_view text) {
    if (text.size() > kMaxDigits) {
        return std::nullopt;
    }
    return ParseDecimal<std::size_t>(text, 0, kMaxCount);
}

// A signed decimal size as a client formats it ("%d"; 64-bit values welcome).
std::optional<std::int64_t> ParseSize(std::string_view text) {
    std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    if (digits.size() > kMaxDigits) {
        return std::nullopt;
    }
    return ParseDecimal<std::int64_t>(text);
}

// The index of a "file17" / "size17" key, when it has that exact form.
std::optional<std::size_t> KeyIndex(std::string_view key, std::string_view prefix) {
    if (key.size() <= prefix.size() || key.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::string_view digits = key.substr(prefix.size());
    if (digits.size() > 1 && digits.front() == '0') {
        return std::nullopt;
    }
    return ParseCount(digits);
}

// Reads the "count", "fileN" and "sizeN" fields of a registration into
// `files` (of duplicate keys the first counts); the reply refusing them when
// they do not make a whole list of acceptable names.
std::optional<EventReply> ReadFileList(const FormData& fields, const DirectoryLimits& limits,
                                       std::vector<PublishedFile>& files) {
    const std::string_view* countText = fields.Find("count");
    if (countText == nullptr) {
        return BadRequest("BAD-REQUEST", "no count");
    }
    std::optional<std::size_t> count = ParseCount(*countText);
    if (!count) {
        return BadRequest("BAD-REQUEST", "count is not a number");
    }
    if (*count > limits.maxFilesPerUser) {
        return BadRequest("TOO-MANY-FILES", std::to_string(*count) + " files");
    }
    files.assign(*count, PublishedFile{});
    std::vector<bool> haveName(*count), haveSize(*count);
    for (const auto& [key, value] : fields.fields()) {
        if (auto index = KeyIndex(key, "file"); index && *index < *count) {
            if (!haveName[*index]) {
                haveName[*index] = true;
                files[*index].name = value;
            }
        } else if (auto sizeIndex = KeyIndex(key, "size"); sizeIndex && *sizeIndex < *count) {
            if (!haveSize[*sizeIndex]) {
                auto size = ParseSize(value);
                if (!size) {
                    return BadRequest("BAD-REQUEST",
                                      "size" + std::to_string(*sizeIndex) + " is not a number");
                }
                haveSize[*sizeIndex] = true;
                files[*sizeIndex].size = *size;
            }
        }
    }
    for (std::size_t i = 0; i < *count; ++i) {
        if (!haveName[i] || !haveSize[i]) {
            return BadRequest("BAD-REQUEST", "file" + std::to_string(i) + " or its size missing");
        }
        std::string_view name = files[i].name;
        if (name.empty() || name.size() > limits.maxFileNameBytes || HasLineBreakOrNul(name)) {
            return BadRequest("BAD-FILE-NAME", "file" + std::to_string(i) +
                                                   " empty, too long or holding a line break");
        }
    }
    return std::nullopt;
}

// 128 bits written as 32 hexadecimal digits.
bool IsToken(std::string_view text) {
    return text.size() == 32 &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// A user name as the first word of a relayed line: "%" and blanks escaped.
std::string NameWord(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '%' || c == ' ' || c == '\t' || c == '\r') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

EventReply SentReply(PushRelay::Sent sent, const std::string& what) {
    switch (sent) {
        case PushRelay::Sent::Delivered:
            return Reply(200, "OK\n", "OK, " + what + " delivered");
        case PushRelay::Sent::Queued:
            return Reply(200, "OK\n", "OK, " + what + " queued");
        case PushRelay::Sent::RateLimited:
            return Reply(429, "RATE-LIMITED\n", "RATE-LIMITED");
        case PushRelay::Sent::NotWaiting:
            break;
    }
    return Reply(200, "NOT-WAITING\n", "NOT-WAITING");
}

}  // namespace

std::string PrintableForLog(std::string_view text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c > 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > limit) {
        out += "...";
    }
    return out;
}

EventDispatcher::EventDispatcher(DirectoryStore& store, PasswordHasher& hasher,
                                 DirectoryLimits limits)
    : store_(store), hasher_(hasher), limits_(limits), relay_(limits.push) {
    randombytes_buf(digestKey_.data(), digestKey_.size());
    store_.OnForwardedLine([this](const std::string& userName, std::string line) {
        static_cast<void>(relay_.Deliver(userName, std::move(line)));
    });
}

EventDispatcher::~EventDispatcher() {
    store_.OnForwardedLine(nullptr);
}

EventReply EventDispatcher::Handle(const EventRequest& request) {
    FormData fields;
    // A registration holds two fields per file plus a handful of its own.
    std::size_t maxFields = 2 * limits_.maxFilesPerUser + 16;
    FormData::Status decoded = fields.Decode(request.body, maxFields);
    EventReply reply;
    std::string_view event = FieldOr(fields, "event");
    if (decoded == FormData::Status::BadEscape) {
        reply = BadRequest("BAD-REQUEST", "malformed %-escape");
    } else if (decoded == FormData::Status::TooManyFields) {
        reply = BadRequest("BAD-REQUEST", "too many fields");
    } else if (event == "onRegisterUser") {
        reply = Register(fields, request);
    } else if (event == "onUnregisterUser") {
        reply = Unregister(fields);
    } else if (event == "onLookupUserIP") {
        reply = Lookup(fields);
    } else if (event == "onSearch") {
        reply = Search(fields);
    } else if (event == "onWaitForPush") {
        reply = WaitForPush(fields);
    } else if (event == "onRequestPush") {
        reply = RequestPush(fields);
    } else if (event == "onSendMessage") {
        reply = SendMessage(fields);
    } else if (event == "onCheckReachable" && reachProbe_ != nullptr) {
        reply = CheckReachable(fields, request);
    } else {
        reply = BadRequest("UNKNOWN-EVENT", fields.Find("event") ? "unknown event" : "no event");
    }
    reply.event = event.empty() ? "-" : PrintableForLog(event, 32);
    return reply;
}

EventReply EventDispatcher::Register(const FormData& fields, const EventRequest& request) {
    std::string_view userName = FieldOr(fields, "userName");
    std::string_view password = FieldOr(fields, "password");
    std::string_view connection = FieldOr(fields, "connection");
    if (userName.empty() || userName.size() > limits_.maxFieldBytes ||
        HasLineBreakOrNul(userName)) {
        return BadRequest("BAD-USER-NAME", "empty, too long or holding a line break");
    }
    if (password.size() > limits_.maxFieldBytes || connection.size() > limits_.maxFieldBytes ||
        HasLineBreakOrNul(connection)) {
        return BadRequest("BAD-REQUEST", "password or connection too long or malformed");
    }
    std::vector<PublishedFile> files;
    if (std::optional<EventReply> refused = ReadFileList(fields, limits_, files)) {
        return std::move(*refused);
    }
    // Peers reach a user at the address its registration came from; a
    // request without one could not be reached by them.
    if (request.address.empty()) {
        return Reply(403, "NO-IPV4-ADDRESS\n", "NO-IPV4-ADDRESS");
    }
    return StoreRegistration(Registration{userName, {}, connection, request.address, files},
                             password);
}

EventReply EventDispatcher::StoreRegistration(Registration registration,
                                              std::string_view password) {
    for (int attempt = 0; attempt < kRegisterAttempts; ++attempt) {
        UserRecord user;
        std::string hash;
        StoreStatus found = store_.FindUser(registration.userName, user, ReadFreshness::Latest);
        if (found == StoreStatus::Ok) {
            if (!hasher_.Verify(user.passwordHash, password)) {
                return Reply(200, "BAD-PASSWORD\n", "BAD-PASSWORD");
            }
            hash = std::move(user.passwordHash);
        } else if (found == StoreStatus::NotFound) {
            hash = hasher_.Hash(password);
            if (hash.empty()) {
                return ServerError("password hashing failed");
            }
        } else {
            return StoreError(found, "store lookup failed");
        }
        registration.passwordHash = hash;
        StoreStatus stored = store_.Register(registration);
        if (stored == StoreStatus::Ok) {
            return Reply(200, "OK\n",
                         std::string(found == StoreStatus::Ok ? "OK" : "OK new user") + ", " +
                             std::to_string(registration.files.size()) + " files");
        }
        if (stored != StoreStatus::Conflict) {
            return StoreError(stored, "store write failed");
        }
        // The user was created by a registration running at the same time:
        // check the password again against the stored hash.
    }
    return ServerError("user changed during registration");
}

EventReply EventDispatcher::Unregister(const FormData& fields) {
    std::string_view userName = FieldOr(fields, "userName");
    std::string_view password = FieldOr(fields, "password");
    UserRecord user;
    StoreStatus found = store_.FindUser(userName, user, ReadFreshness::Latest);
    if (found == StoreStatus::NotFound) {
        return Reply(200, "NOT-REGISTERED\n", "NOT-REGISTERED");
    }
    if (found != StoreStatus::Ok) {
        return StoreError(found, "store lookup failed");
    }
    if (!hasher_.Verify(user.passwordHash, password)) {
        return Reply(200, "BAD-PASSWORD\n", "BAD-PASSWORD");
    }
    StoreStatus loggedOut = store_.LogOut(userName, user.passwordHash);
    switch (loggedOut) {
        case StoreStatus::Ok:
            // A request of the user still waiting returns at once.
            relay_.Release(std::string(userName));
            return Reply(200, "OK\n", "OK");
        case StoreStatus::NotFound:
            return Reply(200, "NOT-REGISTERED\n", "NOT-REGISTERED");
        default:
            return StoreError(loggedOut, "store write failed");
    }
}

EventReply EventDispatcher::Lookup(const FormData& fields) {
    UserRecord user;
    StoreStatus found = store_.FindUser(FieldOr(fields, "userName"), user, ReadFreshness::MayLag);
    switch (found) {
        case StoreStatus::Ok:
            if (!user.loggedIn) {
                return Reply(200, "NOT-LOGGED-IN\n", "NOT-LOGGED-IN");
            }
            return Reply(200, user.ip + "\n", "address " + user.ip);
        case StoreStatus::NotFound:
            return Reply(200, "NOT-REGISTERED\n", "NOT-REGISTERED");
        default:
            return StoreError(found, "store lookup failed");
    }
}

EventReply EventDispatcher::Search(const FormData& fields) {
    SearchRequest search;
    search.query = FieldOr(fields, "qs");
    search.pattern = FieldOr(fields, "ext");
    search.askingUser = FieldOr(fields, "userName");
    if (search.pattern.size() > limits_.maxPatternBytes) {
        return BadRequest("BAD-REQUEST", "file type pattern too long");
    }
    long long wanted = ParseLongLikeAtol(FieldOr(fields, "max"));
    if (wanted <= 0) {
        wanted = limits_.defaultResults;
    }
    search.limit = static_cast<int>(wanted < limits_.maxResults ? wanted : limits_.maxResults);
    std::vector<SearchHit> hits;
    // No stored name is longer than the file-name limit, so a longer query
    // matches nothing and needs no search.
    if (search.query.size() <= limits_.maxFileNameBytes) {
        StoreStatus searched = store_.Search(search, hits);
        if (searched != StoreStatus::Ok) {
            return StoreError(searched, "store search failed");
        }
    }
    std::string body = std::to_string(hits.size()) + "\n";
    for (const SearchHit& hit : hits) {
        body += hit.fileName;
        body += '\n';
        body += hit.userName;
        body += '\n';
        body += hit.connection;
        body += '\n';
        body += std::to_string(hit.size);
        body += '\n';
        body += hit.ip;
        body += '\n';
    }
    return Reply(200, std::move(body), std::to_string(hits.size()) + " results");
}

EventReply EventDispatcher::CheckReachable(const FormData& fields, const EventRequest& request) {
    UserRecord user;
    if (auto refused =
            Authenticate(FieldOr(fields, "userName"), FieldOr(fields, "password"), user)) {
        return std::move(*refused);
    }
    // Only the request's own address is ever connected to, never one named
    // in the request.
    if (request.address.empty()) {
        return Reply(403, "NO-IPV4-ADDRESS\n", "NO-IPV4-ADDRESS");
    }
    const ReachProbeLimiter::Result result = reachProbe_->Check(request.address);
    std::string word = result.reachable ? "REACHABLE" : "UNREACHABLE";
    return Reply(200, word + "\n",
                 word + (result.connected ? " (connected back to " : " (earlier result for ") +
                     request.address + ")");
}

}  // namespace brindle::server

namespace brindle::server {

std::array<unsigned char, 32> EventDispatcher::Digest(std::string_view userName,
                                                      std::string_view password) const {
    std::array<unsigned char, 32> digest{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, digestKey_.data(), digestKey_.size(), digest.size());
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] =
            static_cast<unsigned char>(static_cast<std::uint64_t>(userName.size()) >> (8 * i));
    }
    crypto_generichash_update(&state, length, sizeof length);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(userName.data()),
                              userName.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(password.data()),
                              password.size());
    crypto_generichash_final(&state, digest.data(), digest.size());
    return digest;
}

bool EventDispatcher::Remembered(std::string_view userName, std::string_view password,
                                 const std::string& passwordHash) {
    auto digest = Digest(userName, password);
    std::lock_guard<std::mutex> hold(credentialsLock_);
    auto found = credentials_.find(std::string(userName));
    return found != credentials_.end() && found->second.passwordHash == passwordHash &&
           sodium_memcmp(found->second.digest.data(), digest.data(), digest.size()) == 0;
}

void EventDispatcher::Remember(std::string_view userName, std::string_view password,
                               const std::string& passwordHash) {
    auto digest = Digest(userName, password);
    std::lock_guard<std::mutex> hold(credentialsLock_);
    // Bounded: past the limit everybody pays one slow check again.
    if (credentials_.size() >= 4 * limits_.push.maxWaiting) {
        credentials_.clear();
    }
    credentials_[std::string(userName)] = Credential{passwordHash, digest};
}

std::optional<EventReply> EventDispatcher::Authenticate(std::string_view userName,
                                                        std::string_view password, UserRecord& user,
                                                        bool requireLogin) {
    if (userName.empty() || userName.size() > limits_.maxFieldBytes) {
        return BadRequest("BAD-USER-NAME", "empty or too long");
    }
    StoreStatus found = store_.FindUser(userName, user, ReadFreshness::Latest);
    if (found == StoreStatus::NotFound) {
        return Reply(200, "NOT-REGISTERED\n", "NOT-REGISTERED");
    }
    if (found != StoreStatus::Ok) {
        return StoreError(found, "store lookup failed");
    }
    if (!Remembered(userName, password, user.passwordHash)) {
        if (!hasher_.Verify(user.passwordHash, password)) {
            return Reply(200, "BAD-PASSWORD\n", "BAD-PASSWORD");
        }
        Remember(userName, password, user.passwordHash);
    }
    if (requireLogin && !user.loggedIn) {
        return Reply(200, "NOT-LOGGED-IN\n", "NOT-LOGGED-IN");
    }
    return std::nullopt;
}

EventReply EventDispatcher::WaitForPush(const FormData& fields) {
    std::string_view userName = FieldOr(fields, "userName");
    UserRecord user;
    if (auto refused = Authenticate(userName, FieldOr(fields, "password"), user)) {
        return std::move(*refused);
    }
    // Pushes asked for on other nodes find this one.
    const PushRelayOptions& push = relay_.options();
    store_.NoteWaiting(userName, push.waitTimeout + push.queueKeep);
    EventReply reply = Reply(200, "", "waiting");
    reply.waitFor = std::string(userName);
    return reply;
}

EventReply EventDispatcher::RequestPush(const FormData& fields) {
    std::string_view userName = FieldOr(fields, "userName");
    // A downloader need not be serving: the address it last registered from
    // is where the sharer connects.
    UserRecord requester;
    if (auto refused = Authenticate(userName, FieldOr(fields, "password"), requester, false)) {
        return std::move(*refused);
    }
    std::string_view target = FieldOr(fields, "target");
    std::string_view file = FieldOr(fields, "file");
    std::string_view token = FieldOr(fields, "token");
    if (!IsToken(token)) {
        return BadRequest("BAD-TOKEN", "not 32 hexadecimal digits");
    }
    if (file.empty() || file.size() > limits_.maxFileNameBytes || HasLineBreakOrNul(file)) {
        return BadRequest("BAD-FILE-NAME", "empty, too long or holding a line break");
    }
    UserRecord sharer;
    StoreStatus found = store_.FindUser(target, sharer, ReadFreshness::MayLag);
    if (found == StoreStatus::NotFound) {
        return Reply(200, "NOT-REGISTERED\n", "NOT-REGISTERED (target)");
    }
    if (found != StoreStatus::Ok) {
        return StoreError(found, "store lookup failed");
    }
    if (!sharer.loggedIn) {
        return Reply(200, "NOT-LOGGED-IN\n", "NOT-LOGGED-IN (target)");
    }
    // Only the requester's own registered address: nobody can aim a sharer
    // at a third party.
    std::string line =
        "PUSH " + requester.ip + " " + std::string(token) + " " + std::string(file) + "\n";
    return HandToWaiting(userName, std::string(target), line, "push");
}

EventReply EventDispatcher::SendMessage(const FormData& fields) {
    std::string_view userName = FieldOr(fields, "userName");
    UserRecord sender;
    if (auto refused = Authenticate(userName, FieldOr(fields, "password"), sender)) {
        return std::move(*refused);
    }
    std::string_view target = FieldOr(fields, "target");
    std::string_view text = FieldOr(fields, "text");
    if (text.empty() || text.size() > limits_.maxFileNameBytes || HasLineBreakOrNul(text)) {
        return BadRequest("BAD-REQUEST", "message empty, too long or holding a line break");
    }
    std::string line = "MESSAGE " + NameWord(userName) + " " + std::string(text) + "\n";
    return HandToWaiting(userName, std::string(target), line, "message");
}

EventReply EventDispatcher::HandToWaiting(std::string_view from, const std::string& target,
                                          const std::string& line, const std::string& what) {
    PushRelay::Sent sent = relay_.Send(from, target, line);
    if (sent == PushRelay::Sent::NotWaiting && store_.ForwardToWaitingNode(target, line)) {
        return Reply(200, "OK\n", "OK, " + what + " forwarded to another node");
    }
    return SentReply(sent, what);
}

}  // namespace brindle::server
