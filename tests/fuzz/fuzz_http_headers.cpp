// SkipResponseHeaders over an arbitrary reply, then the reply lines that follow:
// never more than the stream, never a crash, and the body starts right after a
// "\r\n" line.
#include <cstdlib>

#include "fuzz_support.h"
#include "net/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string stream = brindle::fuzz::AsString(data, size);
    brindle::fuzz::FedSocket socket(stream);
    if (!brindle::SkipResponseHeaders(socket.fd())) {
        return 0;
    }
    std::string body;
    std::string line;
    while (brindle::ReceiveLine(socket.fd(), line)) {
        body += line;
    }
    if (body.size() > stream.size() ||
        stream.compare(stream.size() - body.size(), body.size(), body) != 0) {
        std::abort();
    }
    size_t headerEnd = stream.size() - body.size();
    if (headerEnd < 2 || stream.compare(headerEnd - 2, 2, "\r\n") != 0) {
        std::abort();
    }
    return 0;
}
