// What the directory keeps: users with their password hash, connection text,
// address and login state, and each user's published file list. The server's
// logic talks to this interface only: the embedded SQLite file for small
// groups, PostgreSQL shared by several server nodes for large networks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::server {

enum class StoreStatus {
    Ok,
    NotFound,  // no user of that name
    Conflict,  // the user's stored password hash is not the one expected
    Failed,    // the database failed; nothing was changed
    // The database cannot be reached just now; nothing was changed, and the
    // same request may succeed once it is back.
    Unavailable,
};

// Whether a read must see every write already answered (a password check
// before a change) or may come from a read replica a moment behind (the
// lookups and searches of other users).
enum class ReadFreshness {
    Latest,
    MayLag,
};

// What the server's metrics report of the store; -1 where it is not known.
struct StoreStatistics {
    long long usersLoggedIn = -1;
    long long filesPublished = -1;     // files of logged-in users, the ones searches see
    long long databaseErrors = 0;      // failed statements and lost connections since start
    long long reconnects = 0;          // connections made again after a failure
    long long searchesFromMemory = 0;  // searches answered from answers a node kept
};

struct UserRecord {
    std::string passwordHash;
    std::string connection;
    std::string ip;
    bool loggedIn = false;
};

struct PublishedFile {
    std::string_view name;
    std::int64_t size = 0;
};

// One accepted registration, applied as a whole or not at all.
struct Registration {
    std::string_view userName;
    // The hash the password was checked against (an existing user) or the new
    // hash (a new user).
    std::string_view passwordHash;
    std::string_view connection;
    std::string_view ip;
    std::span<const PublishedFile> files;  // the whole list, in publishing order
};

struct SearchRequest {
    std::string_view query;       // substring of the name, ASCII case ignored; empty matches all
    std::string_view pattern;     // file-type glob, ASCII case ignored
    std::string_view askingUser;  // whose files are left out
    int limit = 100;
    bool forceScan = false;     // benchmarks: skip the name index
    bool fromDatabase = false;  // benchmarks: search the database, not an answer a node kept
};

struct SearchHit {
    std::string fileName;
    std::string userName;
    std::string connection;
    std::int64_t size = 0;
    std::string ip;

    bool operator==(const SearchHit&) const = default;
};

class DirectoryStore {
  public:
    virtual ~DirectoryStore() = default;

    [[nodiscard]] virtual StoreStatus FindUser(std::string_view userName, UserRecord& out,
                                               ReadFreshness freshness) = 0;
    [[nodiscard]] StoreStatus FindUser(std::string_view userName, UserRecord& out) {
        return FindUser(userName, out, ReadFreshness::Latest);
    }

    // Creates the user when absent (with registration.passwordHash); when present
    // its stored hash must equal registration.passwordHash, else Conflict. Then
    // stores the connection and address, marks the user logged in and replaces
    // the user's whole file list, all in one transaction.
    [[nodiscard]] virtual StoreStatus Register(const Registration& registration) = 0;

    // Marks the user logged out when its stored hash equals `passwordHash`
    // (else Conflict); NotFound when there is no such user.
    [[nodiscard]] virtual StoreStatus LogOut(std::string_view userName,
                                             std::string_view passwordHash) = 0;

    // The files of logged-in users other than the asker that match, at most
    // `limit`, in the order they were published. May come from a read replica.
    [[nodiscard]] virtual StoreStatus Search(const SearchRequest& request,
                                             std::vector<SearchHit>& out) = 0;

    // True while the database answers a trivial query.
    [[nodiscard]] virtual bool Reachable() = 0;

    [[nodiscard]] virtual StoreStatistics Statistics() = 0;

    // Nodes sharing one database pass each other the pushes and messages for
    // users waiting on another node. A store of one node does nothing here.
    // Notes that `userName` keeps its waiting request on this node for `keep`.
    virtual void NoteWaiting(std::string_view /*userName*/, std::chrono::milliseconds /*keep*/) {}
    // Hands `line` to the node where `userName` waits, when that is another
    // node; false when it waits on none.
    [[nodiscard]] virtual bool ForwardToWaitingNode(std::string_view /*userName*/,
                                                    std::string_view /*line*/) {
        return false;
    }
    // Lines other nodes forwarded to users waiting here go to `sink`, on a
    // thread of the store's; null stops them, and once it returns no call
    // of the earlier sink is under way.
    using ForwardedLine = std::function<void(const std::string& userName, std::string line)>;
    virtual void OnForwardedLine(const ForwardedLine& /*sink*/) {}
};

}  // namespace brindle::server
