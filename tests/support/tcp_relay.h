// A TCP relay on loopback that passes bytes both ways between its clients and
// one target port, keeping a copy of every byte: what anyone on the path sees.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace brindle::test {

class TcpRelay {
  public:
    explicit TcpRelay(int targetPort);
    ~TcpRelay();  // stops accepting and ends every relayed connection
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int port() const { return port_; }
    // Every byte passed so far, both directions, in arrival order.
    std::string seen() const;

  private:
    void Accept();
    void Pump(Socket client);

    int targetPort_;
    int port_ = 0;
    Socket listener_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::string seen_;
    std::vector<std::thread> pumps_;
    std::thread acceptor_;
};

}  // namespace brindle::test
