// Programs the tests start and stop: the directory server, PostgreSQL's tools,
// nginx. Output goes to files; every wait has a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brindle::test {

class ChildProcess {
  public:
    struct Options {
        std::filesystem::path output = "/dev/null";  // standard output and error, appended
        std::vector<std::string> environment;        // "NAME=value" added to the test's own
        std::string user;  // run as this system user (through runuser) when the tests run as root
    };

    ChildProcess() = default;
    // Starts `args` (args[0] is the program; a name without '/' is looked up in PATH).
    ChildProcess(const std::vector<std::string>& args, const Options& options);
    ~ChildProcess();  // SIGKILL and reap when still running
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Sends `signal` and reaps the child. Its exit code, or -signal.
    int Kill(int signal);
    // The exit code (or -signal) once it ends; nullopt when it has not ended
    // within `deadline` (it is then left running).
    std::optional<int> WaitWithin(std::chrono::milliseconds deadline);

  private:
    pid_t pid_ = -1;
};

// Runs `args` to the end (at most `deadline`, then it is killed). Its exit
// code, -signal, or -1000 when it could not start or ran too long.
int RunToEnd(const std::vector<std::string>& args, const ChildProcess::Options& options,
             std::chrono::milliseconds deadline = std::chrono::seconds(60));

// True when the tests run as root: system users can then be taken on.
bool RunningAsRoot();

}  // namespace brindle::test
