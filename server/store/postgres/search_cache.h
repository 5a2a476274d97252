// Answers a node has already read from the database, kept for as long as no
// write has changed what any search could find. Every write that does bumps
// one counter in the database (the generation) in its own transaction; a
// search reads that counter first and takes a kept answer only when it was
// read under that generation or a later one, so a kept answer is never older
// than the database it is checked against. Answers also expire with age, so a
// database put back from a backup (its generation back to an earlier value)
// is searched afresh soon. Searches of one key that find no answer wait for
// the one of them already reading it from the database.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/store/directory_store.h"

namespace brindle::server {

class SearchCache {
  public:
    // One search's kept answer: the first `asked` matches of anybody's files,
    // the asking user's included.
    struct Answer {
        std::vector<SearchHit> hits;
        int asked = 0;
        // Fewer than `asked` matched: these are all of them.
        [[nodiscard]] bool complete() const {
            return hits.size() < static_cast<std::size_t>(asked);
        }
    };

    struct Limits {
        std::size_t maxBytes = std::size_t{32} << 20;  // all answers and keys together
        std::chrono::milliseconds maxAge = std::chrono::minutes(1);
    };

    SearchCache() : SearchCache(Limits{}) {}
    explicit SearchCache(Limits limits);

    // The key of a search: the query and type pattern as searches compare them.
    [[nodiscard]] static std::string Key(const SearchRequest& request);

    // The first request.limit hits of someone other than the asker, taken from
    // an answer kept under `generation` or a later one; false when none can
    // tell them.
    [[nodiscard]] bool Find(const std::string& key, std::int64_t generation,
                            const SearchRequest& request, std::vector<SearchHit>& out);
    // After a Find that failed: waits (at most `wait`) while another search
    // reads an answer for `key` under `generation` or a later one, and true
    // when that answer serves `request`. False when the caller is to read it
    // itself; it then holds the key for others until it calls Done.
    [[nodiscard]] bool AwaitReader(const std::string& key, std::int64_t generation,
                                   const SearchRequest& request, std::vector<SearchHit>& out,
                                   std::chrono::milliseconds wait);
    // The caller's reading for `key` under `generation` is over, kept or not.
    void Done(const std::string& key, std::int64_t generation);
    // Keeps `answer`, read under `generation`, in place of the key's answer
    // unless that one is newer, or as new and holds as many hits. The least
    // recently used answers make room.
    void Keep(const std::string& key, std::int64_t generation, Answer answer);

    // Searches a kept answer served.
    [[nodiscard]] long long hits() const;

    // About the memory `answer` takes when kept under `key`.
    [[nodiscard]] static std::size_t Cost(const std::string& key, const Answer& answer);

  private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        std::shared_ptr<const Answer> answer;
        std::int64_t generation = 0;
        std::size_t cost = 0;
        Clock::time_point keptAt;
        std::list<std::string>::iterator age;
    };

    [[nodiscard]] bool Fresh(const Slot& slot, Clock::time_point now) const {
        return now - slot.keptAt <= limits_.maxAge;
    }
    void Drop(std::unordered_map<std::string, Slot>::iterator slot);

    const Limits limits_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Slot> answers_;
    std::size_t heldBytes_ = 0;
    std::list<std::string> byAge_;  // most recently used first
    // Keys being read from the database, and the generation each reader read.
    std::unordered_map<std::string, std::int64_t> reading_;
    std::condition_variable readDone_;
    std::atomic<long long> hits_{0};
};

// The hits of `answer` that belong to someone other than `askingUser`, at most
// `limit` of them; false when the answer holds too few to be sure of those.
[[nodiscard]] bool TakeOthersHits(const SearchCache::Answer& answer, std::string_view askingUser,
                                  int limit, std::vector<SearchHit>& out);

}  // namespace brindle::server
