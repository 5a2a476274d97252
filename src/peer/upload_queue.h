// The order in which queued upload requests get a free slot: round-robin by
// requesting user, each user's oldest request first. A user with no running
// upload goes before one with a running upload, and among those alike the
// user served longest ago (or never) goes first, so one user with many
// requests waits its turn like everybody else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace brindle {

// What the order is taken from.
struct QueueState {
    // The requesting user of each waiting request, oldest request first.
    std::vector<std::string> waiting;
    // Running uploads per user (users without one may be left out).
    std::map<std::string, std::size_t> running;
    // The turn at which each user's last upload started; higher is later.
    // Users never served may be left out.
    std::map<std::string, std::uint64_t> lastTurn;
};

// The indexes of `state.waiting` in the order they would be served when
// slots freed one at a time: element 0 is served next, and an index's place
// plus one is its position in the line.
std::vector<std::size_t> ServiceOrder(const QueueState& state);

}  // namespace brindle
