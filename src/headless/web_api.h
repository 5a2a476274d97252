// The JSON API and page of the web front of `serve`: login and sessions, the
// Host allow-list, the token on state-changing requests, and the routes under
// /api/v1 that read the core's snapshots and run its commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/reachability_monitor.h"
#include "base/ui_ports.h"
#include "directory/search.h"
#include "headless/web_server.h"
#include "peer/peer_options.h"
#include "peer/transfer_record.h"

namespace brindle {

class CShareApp;

inline constexpr char kSessionCookieName[] = "brindlenet_session";
inline constexpr char kTokenHeader[] = "X-Brindlenet-Token";

// The message lines of the Messages tab as the web page sees them: every line
// also goes on to the display it wraps. Keeps the newest lines, each with a
// number that grows by one per line.
class WebMessageLog : public IMessageDisplay {
  public:
    struct Entry {
        std::uint64_t id = 0;
        std::string text;  // without the line feed
    };
    explicit WebMessageLog(IMessageDisplay* next = nullptr, std::size_t keep = 1000)
        : next_(next), keep_(keep) {}
    void AppendLine(const std::string& line) override;
    // The kept lines numbered above `after`.
    [[nodiscard]] std::vector<Entry> After(std::uint64_t after) const;
    [[nodiscard]] std::uint64_t lastId() const;

  private:
    IMessageDisplay* next_;
    std::size_t keep_;
    mutable std::mutex lock_;
    std::deque<Entry> entries_;
    std::uint64_t lastId_ = 0;
};

struct WebApiOptions {
    // The host names the Host header may carry (besides the bound address).
    std::vector<std::string> hosts;
    std::string boundAddress;
    bool tls = false;
    std::string passwordHash;
    PeerOptions peer;  // for downloads and messages
    // The page: the installed file when it can be read, else the built-in copy.
    std::string pageFile;
    SteadyClock clock = [] { return std::chrono::steady_clock::now(); };
    std::chrono::seconds idleLimit = std::chrono::hours(12);
    int failedLoginsPerMinute = 5;
    // How long an event stream waits for news before it sends a keep-alive.
    std::chrono::milliseconds eventKeepAlive = std::chrono::seconds(10);
    std::chrono::milliseconds eventPoll = std::chrono::milliseconds(200);
    // Notes for the operator (failed logins); never given a secret.
    std::function<void(const std::string&)> log;
};

// "yes", "no" or "unknown": the reachability given in GET status.
[[nodiscard]] std::string ReachableText(const ReachabilityStatus& status);

class WebApi {
  public:
    WebApi(CShareApp& app, WebMessageLog& messages, WebApiOptions options);
    WebApi(const WebApi&) = delete;
    WebApi& operator=(const WebApi&) = delete;

    [[nodiscard]] WebResponse Handle(const WebRequest& request);
    [[nodiscard]] std::size_t sessionCount() const;
    [[nodiscard]] const std::string& page() const { return page_; }

  private:
    struct Session {
        std::string csrf;
        std::chrono::steady_clock::time_point lastUsed;
    };
    struct StoredResult {
        std::uint64_t id = 0;
        SearchResult result;
    };
    struct TrackedRecord {
        std::weak_ptr<TransferRecord> record;
        std::uint64_t id = 0;
        bool upload = false;
    };

    [[nodiscard]] bool HostAllowed(const std::string& host) const;
    // The session of the request's cookie, its idle time renewed; false when none.
    // Holds sessionsLock_ only inside.
    [[nodiscard]] bool FindSession(const WebRequest& request, Session& found);
    void EndSession(const WebRequest& request);

    WebResponse Login(const WebRequest& request);
    WebResponse Status();
    WebResponse Search(const WebRequest& request);
    WebResponse Download(const WebRequest& request);
    WebResponse Transfers();
    WebResponse CancelTransfer(const std::string& id);
    WebResponse ClearTransfers();
    WebResponse Messages(const WebRequest& request);
    WebResponse SendMessage(const WebRequest& request);
    WebResponse GetPreferences();
    WebResponse PutPreferences(const WebRequest& request);
    WebResponse Events(const WebRequest& request);

    // Every transfer row with its id, downloads first; gives new rows their ids.
    std::string TransfersJson();
    std::shared_ptr<TransferRecord> FindTransfer(std::uint64_t id);

    CShareApp& app_;
    WebMessageLog& messages_;
    WebApiOptions options_;
    std::string page_;

    mutable std::mutex sessionsLock_;
    std::map<std::string, Session> sessions_;
    std::map<std::string, std::deque<std::chrono::steady_clock::time_point>> failures_;

    // One command of the core at a time: searches, downloads, sends, saves.
    std::mutex commandLock_;
    std::mutex resultsLock_;
    std::deque<StoredResult> results_;
    std::uint64_t lastResultId_ = 0;

    std::mutex transfersLock_;
    std::map<const TransferRecord*, TrackedRecord> tracked_;
    std::uint64_t lastTransferId_ = 0;
};

}  // namespace brindle
