#include "server/store/postgres/search_cache.h"

#include "server/store/name_filter.h"

namespace brindle::server {

SearchCache::SearchCache(Limits limits) : limits_(limits) {}

std::string SearchCache::Key(const SearchRequest& request) {
    // The query's length leads, so no query and pattern make another's key.
    std::string key = std::to_string(request.query.size()) + ':';
    for (char c : request.query) {
        key += FoldAscii(c);
    }
    if (request.pattern != "*.*") {  // the same as no pattern
        for (char c : request.pattern) {
            key += FoldAscii(c);
        }
    }
    return key;
}

bool TakeOthersHits(const SearchCache::Answer& answer, std::string_view askingUser, int limit,
                    std::vector<SearchHit>& out) {
    out.clear();
    const auto wanted = static_cast<std::size_t>(limit > 0 ? limit : 0);
    for (const SearchHit& hit : answer.hits) {
        if (out.size() == wanted) {
            return true;
        }
        if (hit.userName != askingUser) {
            out.push_back(hit);
        }
    }
    if (out.size() == wanted || answer.complete()) {
        return true;
    }
    out.clear();
    return false;
}

bool SearchCache::Find(const std::string& key, std::int64_t generation,
                       const SearchRequest& request, std::vector<SearchHit>& out) {
    std::shared_ptr<const Answer> answer;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = answers_.find(key);
        if (found == answers_.end() || found->second.generation < generation ||
            !Fresh(found->second, Clock::now())) {
            return false;
        }
        byAge_.splice(byAge_.begin(), byAge_, found->second.age);
        answer = found->second.answer;
    }
    // Copied with the lock let go: other searches need not wait for it.
    if (!TakeOthersHits(*answer, request.askingUser, request.limit, out)) {
        return false;
    }
    hits_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool SearchCache::AwaitReader(const std::string& key, std::int64_t generation,
                              const SearchRequest& request, std::vector<SearchHit>& out,
                              std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            auto otherReads = [&] {
                auto reading = reading_.find(key);
                return reading != reading_.end() && reading->second >= generation;
            };
            if (!otherReads()) {
                reading_[key] = generation;  // this caller's to read
                return false;
            }
            if (!readDone_.wait_until(hold, deadline, [&] { return !otherReads(); })) {
                return false;  // read it alongside the slow one
            }
        }
        if (Find(key, generation, request, out)) {
            return true;
        }
    }
}

void SearchCache::Done(const std::string& key, std::int64_t generation) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto reading = reading_.find(key);
        if (reading != reading_.end() && reading->second == generation) {
            reading_.erase(reading);
        }
    }
    readDone_.notify_all();
}

std::size_t SearchCache::Cost(const std::string& key, const Answer& answer) {
    // Each string's bytes, and a rough share for what holds them.
    constexpr std::size_t kOverhead = 64;
    std::size_t cost = 2 * (key.size() + kOverhead);  // the map's copy and the list's
    for (const SearchHit& hit : answer.hits) {
        cost += kOverhead + sizeof hit + hit.fileName.size() + hit.userName.size() +
                hit.connection.size() + hit.ip.size();
    }
    return cost;
}

void SearchCache::Drop(std::unordered_map<std::string, Slot>::iterator slot) {
    heldBytes_ -= slot->second.cost;
    byAge_.erase(slot->second.age);
    answers_.erase(slot);
}

void SearchCache::Keep(const std::string& key, std::int64_t generation, Answer answer) {
    const std::size_t cost = Cost(key, answer);
    if (cost > limits_.maxBytes) {
        return;
    }
    auto kept = std::make_shared<const Answer>(std::move(answer));
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(lock_);
    auto found = answers_.find(key);
    if (found != answers_.end()) {
        const Slot& slot = found->second;
        bool better = slot.generation < generation ||
                      (slot.generation == generation && slot.answer->asked < kept->asked);
        if (!better && Fresh(slot, now)) {
            return;
        }
        Drop(found);
    }
    while (heldBytes_ + cost > limits_.maxBytes && !byAge_.empty()) {
        Drop(answers_.find(byAge_.back()));
    }
    heldBytes_ += cost;
    byAge_.push_front(key);
    answers_.emplace(key, Slot{std::move(kept), generation, cost, now, byAge_.begin()});
}

long long SearchCache::hits() const {
    return hits_.load(std::memory_order_relaxed);
}

}  // namespace brindle::server
