// The directory events: decodes a request body, consults the store and
// produces the reply body. Independent of HTTP, so it can be tested directly.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/events/form_data.h"
#include "server/events/password_hasher.h"
#include "server/events/push_relay.h"
#include "server/events/reach_probe.h"
#include "server/store/directory_store.h"

namespace brindle::server {

struct DirectoryLimits {
    // User names, connection texts and file names come back as reply lines of
    // at most 1023 bytes with their line feed, so each holds at most 1022.
    std::size_t maxFieldBytes = 1022;
    std::size_t maxFileNameBytes = 1022;
    std::size_t maxFilesPerUser = 250000;
    std::size_t maxPatternBytes = 64;
    int defaultResults = 100;
    int maxResults = 1000;
    // The waiting line of peers that cannot accept connections.
    PushRelayOptions push;
};

struct EventRequest {
    std::string_view body;
    // The address the request came from: dotted IPv4, or IPv6 in its short
    // form (RFC 5952); "" when it has none.
    std::string address;
};

struct EventReply {
    int status = 200;
    std::string body;     // the reply lines, each ending in "\n"
    std::string event;    // for the log: the event name, or a printable form of what was sent
    std::string outcome;  // for the log: what happened (never a password)
    // Not empty: the request waits in the push relay under this user name and
    // its reply body comes from there; `body` is unused.
    std::string waitFor;
};

class EventDispatcher {
  public:
    EventDispatcher(DirectoryStore& store, PasswordHasher& hasher, DirectoryLimits limits = {});
    ~EventDispatcher();
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;

    EventReply Handle(const EventRequest& request);

    // Turns on onCheckReachable, which connects back through `probe`; without
    // one the event is unknown. Set before the first request.
    void SetReachProbe(ReachProbeLimiter* probe) { reachProbe_ = probe; }

    [[nodiscard]] const DirectoryLimits& limits() const { return limits_; }
    DirectoryStore& store() { return store_; }
    PushRelay& relay() { return relay_; }

  private:
    EventReply Register(const FormData& fields, const EventRequest& request);
    // Stores a checked registration under `password`: a new user gets a new
    // hash, a known one must match its stored hash. Tried again when another
    // registration of the same name changes the user meanwhile.
    EventReply StoreRegistration(Registration registration, std::string_view password);
    EventReply Unregister(const FormData& fields);
    EventReply Lookup(const FormData& fields);
    EventReply Search(const FormData& fields);
    EventReply WaitForPush(const FormData& fields);
    EventReply RequestPush(const FormData& fields);
    EventReply SendMessage(const FormData& fields);
    // Hands a push or message line to `target`'s waiting request here, or to
    // the node it waits on.
    EventReply HandToWaiting(std::string_view from, const std::string& target,
                             const std::string& line, const std::string& what);
    // Checks the password of a user (and that it is logged in, unless not
    // required); the refusal when it is wrong or the user is not logged in.
    std::optional<EventReply> Authenticate(std::string_view userName, std::string_view password,
                                           UserRecord& user, bool requireLogin = true);
    // Waiting peers come back every minute: a password once checked against
    // a stored hash is remembered as a keyed digest, so coming back costs no
    // slow hash while that stored hash stays.
    bool Remembered(std::string_view userName, std::string_view password,
                    const std::string& passwordHash);
    void Remember(std::string_view userName, std::string_view password,
                  const std::string& passwordHash);
    std::array<unsigned char, 32> Digest(std::string_view userName,
                                         std::string_view password) const;
    // onCheckReachable: for a logged-in user with the right password, whether
    // the address the request came from accepts a connection on the peer port.
    EventReply CheckReachable(const FormData& fields, const EventRequest& request);

    DirectoryStore& store_;
    PasswordHasher& hasher_;
    DirectoryLimits limits_;
    PushRelay relay_;
    struct Credential {
        std::string passwordHash;
        std::array<unsigned char, 32> digest{};
    };
    std::array<unsigned char, 32> digestKey_{};
    std::mutex credentialsLock_;
    std::unordered_map<std::string, Credential> credentials_;
    ReachProbeLimiter* reachProbe_ = nullptr;
};

// Text made safe for one log line: printable ASCII kept, every other byte as
// \xHH, cut after `limit` bytes of input.
std::string PrintableForLog(std::string_view text, std::size_t limit = 64);

}  // namespace brindle::server
