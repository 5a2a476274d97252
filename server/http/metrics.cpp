#include "server/http/metrics.h"

#include <charconv>
#include <cmath>

namespace brindle::server {
namespace {

constexpr const char* kEventNames[] = {"onRegisterUser", "onUnregisterUser", "onLookupUserIP",
                                       "onSearch", "other"};
constexpr const char* kOutcomeNames[] = {"ok", "refused", "unavailable", "error", "dropped"};

// The shortest text that reads back as the same number.
std::string Number(double value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void Describe(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels,
            const std::string& value) {
    out += name;
    out += labels;
    out += ' ';
    out += value;
    out += '\n';
}

}  // namespace

MetricEvent MetricEventFromName(std::string_view name) {
    for (std::size_t i = 0; i + 1 < std::size(kEventNames); ++i) {
        if (name == kEventNames[i]) {
            return static_cast<MetricEvent>(i);
        }
    }
    return MetricEvent::Other;
}

MetricOutcome MetricOutcomeFromStatus(int status) {
    if (status >= 200 && status < 300) {
        return MetricOutcome::Ok;
    }
    if (status >= 400 && status < 500) {
        return MetricOutcome::Refused;
    }
    if (status == 503) {
        return MetricOutcome::Unavailable;
    }
    if (status <= 0) {
        return MetricOutcome::Dropped;
    }
    return MetricOutcome::Error;
}

void ServerMetrics::CountRequest(MetricEvent event, MetricOutcome outcome) {
    requests_[static_cast<std::size_t>(event) * kOutcomes + static_cast<std::size_t>(outcome)]
        .fetch_add(1, std::memory_order_relaxed);
}

void ServerMetrics::ObserveDuration(double seconds) {
    if (!(seconds >= 0)) {
        seconds = 0;
    }
    std::size_t bucket = 0;
    while (bucket < kBucketBounds.size() && seconds > kBucketBounds[bucket]) {
        ++bucket;
    }
    buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
    nanoseconds_.fetch_add(static_cast<std::uint64_t>(std::llround(seconds * 1e9)),
                           std::memory_order_relaxed);
}

std::string ServerMetrics::Render(bool databaseUp, const StoreStatistics& store,
                                  std::size_t waitingForPush) const {
    std::string out;
    Describe(out, "brindlenet_requests_total", "counter",
             "Directory requests by event and by how they ended.");
    for (std::size_t e = 0; e < kEvents; ++e) {
        for (std::size_t o = 0; o < kOutcomes; ++o) {
            Sample(out, "brindlenet_requests_total",
                   std::string("{event=\"") + kEventNames[e] + "\",outcome=\"" + kOutcomeNames[o] +
                       "\"}",
                   std::to_string(requests_[e * kOutcomes + o].load(std::memory_order_relaxed)));
        }
    }

    // The +Inf bucket and _count come from the same figures, so they agree
    // even while requests are being counted.
    Describe(out, "brindlenet_request_duration_seconds", "histogram",
             "Time from a POST request's headers to its reply.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        cumulative += buckets_[i].load(std::memory_order_relaxed);
        std::string bound = i < kBucketBounds.size() ? Number(kBucketBounds[i]) : "+Inf";
        Sample(out, "brindlenet_request_duration_seconds_bucket", "{le=\"" + bound + "\"}",
               std::to_string(cumulative));
    }
    Sample(out, "brindlenet_request_duration_seconds_sum", "",
           Number(static_cast<double>(nanoseconds_.load(std::memory_order_relaxed)) / 1e9));
    Sample(out, "brindlenet_request_duration_seconds_count", "", std::to_string(cumulative));

    if (store.usersLoggedIn >= 0) {
        Describe(out, "brindlenet_users_logged_in", "gauge", "Users logged in now.");
        Sample(out, "brindlenet_users_logged_in", "", std::to_string(store.usersLoggedIn));
    }
    if (store.filesPublished >= 0) {
        Describe(out, "brindlenet_files_published", "gauge",
                 "Files published by the users logged in now.");
        Sample(out, "brindlenet_files_published", "", std::to_string(store.filesPublished));
    }
    Describe(out, "brindlenet_waiting_for_push", "gauge",
             "Waiting requests of users that cannot accept connections, held now.");
    Sample(out, "brindlenet_waiting_for_push", "", std::to_string(waitingForPush));
    Describe(out, "brindlenet_database_errors_total", "counter",
             "Failed database statements and lost connections.");
    Sample(out, "brindlenet_database_errors_total", "", std::to_string(store.databaseErrors));
    Describe(out, "brindlenet_database_reconnects_total", "counter",
             "Database connections made again after a failure.");
    Sample(out, "brindlenet_database_reconnects_total", "", std::to_string(store.reconnects));
    Describe(out, "brindlenet_searches_from_memory_total", "counter",
             "Searches answered from an answer the node kept, without searching the database.");
    Sample(out, "brindlenet_searches_from_memory_total", "",
           std::to_string(store.searchesFromMemory));
    Describe(out, "brindlenet_database_up", "gauge", "1 while the database answers, else 0.");
    Sample(out, "brindlenet_database_up", "", databaseUp ? "1" : "0");
    return out;
}

}  // namespace brindle::server
