#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace brindle::test {

bool RunningAsRoot() {
    return ::geteuid() == 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& args, const Options& options) {
    std::vector<std::string> command;
    if (!options.user.empty() && RunningAsRoot()) {
        command = {"runuser", "-u", options.user, "--"};
    }
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : command) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // A fresh process group, so a terminal's Ctrl-C reaches the test alone.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    if (posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        Kill(SIGKILL);
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0) {
            Kill(SIGKILL);
        }
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

int ChildProcess::Kill(int signal) {
    if (pid_ <= 0) {
        return -1000;
    }
    ::kill(pid_, signal);
    auto code = WaitWithin(std::chrono::seconds(30));
    if (!code) {
        ::kill(pid_, SIGKILL);
        code = WaitWithin(std::chrono::seconds(30));
    }
    return code.value_or(-1000);
}

std::optional<int> ChildProcess::WaitWithin(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    auto end = std::chrono::steady_clock::now() + deadline;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        if (done < 0 || std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

int RunToEnd(const std::vector<std::string>& args, const ChildProcess::Options& options,
             std::chrono::milliseconds deadline) {
    ChildProcess child(args, options);
    if (!child.started()) {
        return -1000;
    }
    auto code = child.WaitWithin(deadline);
    if (!code) {
        child.Kill(SIGKILL);
        return -1000;
    }
    return *code;
}

}  // namespace brindle::test
