// ReceiveLine over an arbitrary stream that ends with a close: every byte comes
// out exactly once, in order, and no line passes its line feed or its limit.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    int limit = 1 + data[0] % 64;  // small limits reach the split-line paths
    std::string stream = brindle::fuzz::AsString(data + 1, size - 1);
    brindle::fuzz::FedSocket socket(stream);
    std::string seen;
    char buffer[128];
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        int count = -1;
        bool ok = brindle::ReceiveLine(socket.fd(), buffer, limit, &count);
        if (count < 0 || count > limit) {
            std::abort();
        }
        void* lf = std::memchr(buffer, '\n', static_cast<size_t>(count));
        if (lf != nullptr && static_cast<char*>(lf) != buffer + count - 1) {
            std::abort();  // a byte past the line feed was taken
        }
        seen.append(buffer, static_cast<size_t>(count));
        if (!ok) {
            break;
        }
    }
    if (seen != stream) {
        std::abort();
    }
    return 0;
}
