#include "server/log_sink.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

namespace brindle::server {

LogSink StderrLogSink() {
    auto lock = std::make_shared<std::mutex>();
    return [lock](const std::string& line) {
        std::string out = line + "\n";
        std::lock_guard<std::mutex> hold(*lock);
        const char* data = out.data();
        std::size_t left = out.size();
        while (left > 0) {
            ssize_t written = ::write(STDERR_FILENO, data, left);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            data += written;
            left -= static_cast<std::size_t>(written);
        }
    };
}

}  // namespace brindle::server
