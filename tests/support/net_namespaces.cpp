#include "support/net_namespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace brindle::test {

using namespace std::chrono_literals;

LoggedProcess::LoggedProcess(const std::vector<std::string>& argv,
                             const std::filesystem::path& directory,
                             const std::filesystem::path& outPath,
                             const std::filesystem::path& errPath)
    : outPath_(outPath), errPath_(errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

LoggedProcess::~LoggedProcess() {
    if (Running()) {
        Kill(SIGKILL);
        Wait(10s);
    }
}

void LoggedProcess::Kill(int signal) const {
    if (Running()) {
        ::kill(pid_, signal);
    }
}

int LoggedProcess::Wait(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) {
        return -1;
    }
    WaitFor(
        [&] {
            if (!exited_) {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    exited_ = true;
                    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                }
            }
            return exited_;
        },
        deadline);
    return exited_ ? code_ : -1;
}

void LoggedProcess::Stop(std::chrono::milliseconds deadline) {
    if (!Running()) {
        return;
    }
    Kill(SIGTERM);
    if (Wait(deadline) == -1 && Running()) {
        Kill(SIGKILL);
        Wait(10s);
    }
}

bool IsTestRange(const std::string& cidr) {
    std::string address = cidr.substr(0, cidr.find('/'));
    unsigned char bytes[16] = {};
    if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
        return bytes[0] == 10 || (bytes[0] == 192 && bytes[1] == 168);
    }
    if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
        return bytes[0] == 0xfd;
    }
    return false;
}

NetNamespaces::NetNamespaces()
    : stem_("bn" + std::to_string(::getpid()) + "x" + std::to_string(++count_)) {
    if (::geteuid() == 0) {
        RemoveLeftovers();
    }
}

namespace {

// Runs a command to its end (bounded), its output in `folder`; the exit code.
int RunIn(const std::vector<std::string>& argv, const std::filesystem::path& folder,
          std::string* out = nullptr, std::string* err = nullptr,
          std::chrono::milliseconds deadline = 20s, const std::filesystem::path& directory = {}) {
    static int counter = 0;
    std::string stem = "cmd" + std::to_string(++counter);
    LoggedProcess process(argv, directory.empty() ? folder : directory, folder / (stem + ".out"),
                          folder / (stem + ".err"));
    int code = process.Wait(deadline);
    if (out != nullptr) {
        *out = process.Out();
    }
    if (err != nullptr) {
        *err = process.Err();
    }
    std::error_code ignored;
    std::filesystem::remove(folder / (stem + ".out"), ignored);
    std::filesystem::remove(folder / (stem + ".err"), ignored);
    return code;
}

// Ends every program still running in namespace `name`, then deletes it.
void DeleteNamespace(const std::string& name, const std::filesystem::path& folder) {
    std::string pids;
    RunIn({"ip", "netns", "pids", name}, folder, &pids);
    std::istringstream list(pids);
    for (pid_t pid = 0; list >> pid;) {
        if (pid > 1 && pid != ::getpid()) {
            ::kill(pid, SIGKILL);
        }
    }
    RunIn({"ip", "netns", "del", name}, folder);
}

}  // namespace

NetNamespaces::~NetNamespaces() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        DeleteNamespace(*it, scratch_.path());
    }
}

bool NetNamespaces::Available(std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root to create network namespaces";
        return false;
    }
    TempDir folder;
    if (RunIn({"ip", "netns", "list"}, folder.path()) != 0) {
        why = "`ip netns` is not available here";
        return false;
    }
    return true;
}

// Namespaces of earlier runs whose process died before it could remove them.
void NetNamespaces::RemoveLeftovers() {
    TempDir folder;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
        std::string name = entry.path().filename().string();
        int pid = 0;
        char rest[64] = {};
        if (std::sscanf(name.c_str(), "bn%dx%63s", &pid, rest) == 2 && pid > 0 &&
            ::kill(pid, 0) != 0 && errno == ESRCH) {
            DeleteNamespace(name, folder.path());
        }
    }
}

std::string NetNamespaces::Name(const std::string& role) const {
    return stem_ + role;
}

bool NetNamespaces::Step(const std::vector<std::string>& argv) {
    std::string err;
    if (RunIn(argv, scratch_.path(), nullptr, &err) == 0) {
        return true;
    }
    if (error_.empty()) {
        for (const auto& arg : argv) {
            error_ += arg + " ";
        }
        error_ += "failed: " + err;
    }
    return false;
}

bool NetNamespaces::Add(const std::string& role) {
    if (!Step({"ip", "netns", "add", Name(role)})) {
        return false;
    }
    made_.push_back(Name(role));
    return Step({"ip", "-n", Name(role), "link", "set", "lo", "up"});
}

bool NetNamespaces::Link(const std::string& roleA, const std::string& ifA, const std::string& roleB,
                         const std::string& ifB) {
    return Step({"ip", "link", "add", ifA, "netns", Name(roleA), "type", "veth", "peer", "name",
                 ifB, "netns", Name(roleB)}) &&
           Step({"ip", "-n", Name(roleA), "link", "set", ifA, "up"}) &&
           Step({"ip", "-n", Name(roleB), "link", "set", ifB, "up"});
}

bool NetNamespaces::Bridge(const std::string& role, const std::string& name) {
    return Step({"ip", "-n", Name(role), "link", "add", name, "type", "bridge"}) &&
           Step({"ip", "-n", Name(role), "link", "set", name, "up"});
}

bool NetNamespaces::Enslave(const std::string& role, const std::string& device,
                            const std::string& bridge) {
    return Step({"ip", "-n", Name(role), "link", "set", device, "master", bridge, "up"});
}

bool NetNamespaces::Address(const std::string& role, const std::string& device,
                            const std::string& cidr) {
    if (!IsTestRange(cidr)) {
        if (error_.empty()) {
            error_ = cidr + " lies outside the private ranges the tests may use";
        }
        return false;
    }
    std::vector<std::string> argv = {"ip", "-n", Name(role), "addr", "add", cidr, "dev", device};
    if (cidr.find(':') != std::string::npos) {
        argv.push_back("nodad");
    }
    return Step(argv);
}

bool NetNamespaces::Route(const std::string& role, const std::string& destination,
                          const std::string& via) {
    std::vector<std::string> argv = {"ip", "-n", Name(role)};
    if (via.find(':') != std::string::npos) {
        argv.push_back("-6");
    }
    argv.insert(argv.end(), {"route", "add", destination, "via", via});
    return Step(argv);
}

bool NetNamespaces::Forward(const std::string& role) {
    return Step(In(role, {"sysctl", "-qw", "net.ipv4.ip_forward=1"})) &&
           Step(In(role, {"sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"}));
}

bool NetNamespaces::Nft(const std::string& role, const std::string& ruleset) {
    std::filesystem::path file =
        scratch_.WriteFile(Name(role) + std::to_string(++runs_) + ".nft", ruleset);
    return Step(In(role, {"nft", "-f", file.string()}));
}

std::vector<std::string> NetNamespaces::In(const std::string& role,
                                           std::vector<std::string> argv) const {
    std::vector<std::string> full = {"ip", "netns", "exec", Name(role)};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

NetNamespaces::Outcome NetNamespaces::Run(const std::string& role,
                                          const std::vector<std::string>& argv,
                                          std::chrono::milliseconds deadline,
                                          const std::filesystem::path& directory) {
    Outcome outcome;
    outcome.code =
        RunIn(In(role, argv), scratch_.path(), &outcome.out, &outcome.err, deadline, directory);
    return outcome;
}

bool NetNamespaces::RunInside(const std::string& role, const std::function<void()>& body) {
    bool entered = false;
    std::thread inside([&] {
        int fd = ::open(("/run/netns/" + Name(role)).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (entered) {
            body();
        }
    });
    inside.join();
    if (!entered && error_.empty()) {
        error_ = "cannot enter namespace " + Name(role);
    }
    return entered;
}

}  // namespace brindle::test
