// Helpers for fuzz targets: feed bytes into a socket the code under test reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "net/socket.h"

namespace brindle::fuzz {

// A connected socket pair whose far end writes `bytes` and then closes, from a
// thread of its own so inputs larger than the socket buffers still flow.
class FedSocket {
  public:
    explicit FedSocket(std::string bytes);
    ~FedSocket();
    FedSocket(const FedSocket&) = delete;
    FedSocket& operator=(const FedSocket&) = delete;
    int fd() const { return reader_.fd(); }

  private:
    Socket reader_;
    Socket writer_;
    std::string bytes_;
    std::thread feeder_;
};

inline std::string AsString(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace brindle::fuzz
