// A brindlenet-directory program run by a test: started on a free loopback
// port with the test's options, its log kept in a file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace brindle::test {

class DirectoryNode {
  public:
    // Starts `binary --bind 127.0.0.1 --port 0 <options>` and waits (at most
    // 20 s) for it to say where it listens. started() tells whether it did.
    DirectoryNode(const std::filesystem::path& binary, const std::vector<std::string>& options,
                  std::filesystem::path log);

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url() const;
    std::string logText() const;
    ChildProcess& process() { return process_; }

  private:
    std::filesystem::path log_;
    ChildProcess process_;
    int port_ = 0;
};

// A free TCP port on 127.0.0.1 at the time of asking, for programs that cannot
// pick their own.
int FreeLoopbackPort();

}  // namespace brindle::test
