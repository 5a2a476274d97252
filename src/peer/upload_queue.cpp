#include "peer/upload_queue.h"

#include <algorithm>
#include <tuple>

namespace brindle {

std::vector<std::size_t> ServiceOrder(const QueueState& state) {
    // Each user's requests, oldest first; users in the order of their first request.
    std::map<std::string, std::vector<std::size_t>> byUser;
    std::vector<const std::string*> users;
    for (std::size_t i = 0; i < state.waiting.size(); ++i) {
        auto [it, added] = byUser.try_emplace(state.waiting[i]);
        if (added) {
            users.push_back(&it->first);
        }
        it->second.push_back(i);
    }
    const auto lookup = [](const auto& map, const std::string& user) {
        auto found = map.find(user);
        return found == map.end() ? typename std::decay_t<decltype(map)>::mapped_type{}
                                  : found->second;
    };
    // Fewer running uploads first, then the turn served longest ago, then the
    // oldest waiting request (the order `users` already has).
    std::stable_sort(users.begin(), users.end(), [&](const std::string* a, const std::string* b) {
        return std::make_tuple(lookup(state.running, *a), lookup(state.lastTurn, *a)) <
               std::make_tuple(lookup(state.running, *b), lookup(state.lastTurn, *b));
    });
    // Round by round: every user's next request, in that user order.
    std::vector<std::size_t> order;
    order.reserve(state.waiting.size());
    for (std::size_t round = 0; order.size() < state.waiting.size(); ++round) {
        for (const std::string* user : users) {
            const std::vector<std::size_t>& requests = byUser[*user];
            if (round < requests.size()) {
                order.push_back(requests[round]);
            }
        }
    }
    return order;
}

}  // namespace brindle
