// Concurrent clients on loopback mixing searches and lookups, each request on
// a connection of its own as the client makes them, from ten loopback
// addresses as users of a group would come from several machines.
#pragma once

#include <vector>

namespace brindle::server::bench {

struct LoadOutcome {
    std::vector<double> latencies;  // milliseconds, first byte sent to the whole reply
    std::vector<double> searches;   // the same, of the searches only
    std::vector<double> lookups;    // and of the lookups
    long long failures = 0;         // no connection, no complete reply, or not 200
    double seconds = 0;

    double RequestsPerSecond() const;
};

// `clients` threads send requests until `seconds` have passed, client c to
// ports[c % ports.size()], every other request a search, the rest lookups of
// users "user0" ... "user<users + 19>" (the last twenty absent).
LoadOutcome RunLoad(const std::vector<int>& ports, int clients, double seconds, int users);

// One row: requests a second, median and 99th percentile latency, failures,
// and the medians of searches and lookups apart.
void PrintLoadRow(const char* label, const LoadOutcome& outcome);

}  // namespace brindle::server::bench
