// Where the server's log lines go: the HTTP front's request lines, the store's
// database failures and the program's own start and stop lines.
#pragma once

#include <functional>
#include <string>

namespace brindle::server {

// Receives each finished log line, without its line feed. Called from many threads.
using LogSink = std::function<void(const std::string& line)>;

// Writes each line to standard error with one write call.
LogSink StderrLogSink();

}  // namespace brindle::server
