// nginx as the reverse proxy in front of directory nodes: a configuration of
// the test's own in a folder of the test's own, on a free loopback port.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace brindle::test {

class NginxProxy {
  public:
    // Balances over 127.0.0.1:<each of upstreamPorts>. nginx takes the user's
    // address from the X-Forwarded-For that loopback clients send (as when it
    // sits behind a load balancer of its own) and passes it on, appended to
    // that header, to the nodes. started() tells whether it runs. With
    // `alsoListenOn`, it listens on that address too, on the same port.
    NginxProxy(const std::filesystem::path& folder, const std::vector<int>& upstreamPorts,
               const std::string& alsoListenOn = "");
    ~NginxProxy();

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string errorLog() const;

    static bool Installed();

  private:
    std::filesystem::path folder_;
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace brindle::test
