// Network namespaces a test makes for itself: uniquely named namespaces joined
// by veth pairs and bridges, with addresses from the private ranges only, and
// programs run inside them. Everything goes when the object goes, and so do
// the namespaces (and their programs) of earlier runs that were killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace brindle::test {

// A child process with standard output and error in files of their own;
// killed and reaped when it goes.
class LoggedProcess {
  public:
    LoggedProcess(const std::vector<std::string>& argv, const std::filesystem::path& directory,
                  const std::filesystem::path& outPath, const std::filesystem::path& errPath);
    ~LoggedProcess();
    LoggedProcess(const LoggedProcess&) = delete;
    LoggedProcess& operator=(const LoggedProcess&) = delete;

    bool Running() const { return pid_ > 0 && !exited_; }
    void Kill(int signal) const;
    // The exit code, -1 when it did not end in time (or ended by a signal).
    int Wait(std::chrono::milliseconds deadline);
    // SIGTERM, then SIGKILL when it has not ended within `deadline`.
    void Stop(std::chrono::milliseconds deadline = std::chrono::seconds(3));
    std::string Out() const { return ReadWholeFile(outPath_); }
    std::string Err() const { return ReadWholeFile(errPath_); }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

// True when `cidr` ("10.1.2.3/24", "fd00::1/64", or a bare address) lies in
// 10.0.0.0/8, 192.168.0.0/16 or fd00::/8, the only ranges the tests use.
bool IsTestRange(const std::string& cidr);

class NetNamespaces {
  public:
    NetNamespaces();
    ~NetNamespaces();  // deletes every namespace made here, ending what runs in them
    NetNamespaces(const NetNamespaces&) = delete;
    NetNamespaces& operator=(const NetNamespaces&) = delete;

    // False (with `why`) when namespaces cannot be made here: not root, or no `ip netns`.
    static bool Available(std::string& why);

    // Each step is false when it failed; error() then names the first failed step.
    // A namespace for `role` ("internet", "home1", ...), with its loopback up.
    [[nodiscard]] bool Add(const std::string& role);
    // A veth pair: `ifA` in `roleA`, `ifB` in `roleB`, both up.
    [[nodiscard]] bool Link(const std::string& roleA, const std::string& ifA,
                            const std::string& roleB, const std::string& ifB);
    // A bridge `name` in `role`, up.
    [[nodiscard]] bool Bridge(const std::string& role, const std::string& name);
    // Puts `device` under `bridge`, both in `role`.
    [[nodiscard]] bool Enslave(const std::string& role, const std::string& device,
                               const std::string& bridge);
    // An address with its prefix; refused outside the test ranges. IPv6
    // addresses skip duplicate detection, so they work at once.
    [[nodiscard]] bool Address(const std::string& role, const std::string& device,
                               const std::string& cidr);
    // A route to `destination` ("default" or a prefix) through `via`.
    [[nodiscard]] bool Route(const std::string& role, const std::string& destination,
                             const std::string& via);
    // Forwards IPv4 and IPv6 between the namespace's links.
    [[nodiscard]] bool Forward(const std::string& role);
    // Loads an nftables ruleset (the text of an `nft -f` file).
    [[nodiscard]] bool Nft(const std::string& role, const std::string& ruleset);

    // `argv` wrapped so that it runs inside `role`'s namespace.
    std::vector<std::string> In(const std::string& role, std::vector<std::string> argv) const;
    struct Outcome {
        int code = -1;  // -1 when it did not end within the deadline
        std::string out;
        std::string err;
    };
    // Runs `argv` in `role` to its end, at most `deadline`, in `directory`
    // (the scratch folder when empty).
    Outcome Run(const std::string& role, const std::vector<std::string>& argv,
                std::chrono::milliseconds deadline = std::chrono::seconds(20),
                const std::filesystem::path& directory = {});

    // Runs `body` on a thread of its own that has entered `role`'s network
    // namespace: sockets it opens and programs it starts are inside. False
    // (without running `body`) when the namespace cannot be entered.
    [[nodiscard]] bool RunInside(const std::string& role, const std::function<void()>& body);

    // The namespace's full name, for `ip netns exec`.
    std::string Name(const std::string& role) const;
    const std::string& error() const { return error_; }
    const TempDir& scratch() const { return scratch_; }

  private:
    bool Step(const std::vector<std::string>& argv);
    static void RemoveLeftovers();

    static inline int count_ = 0;
    TempDir scratch_;
    std::string stem_;
    std::vector<std::string> made_;
    std::string error_;
    int runs_ = 0;
};

}  // namespace brindle::test
