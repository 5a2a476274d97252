// The TLS sessions of the servers this process has talked to, in memory only,
// so that the next connection to a server resumes its session instead of
// paying for a full handshake. Shared by every thread; holds a bounded number
// of servers and forgets the one used least recently first.
#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace brindle {

class TlsSessionCache {
  public:
    explicit TlsSessionCache(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    TlsSessionCache(const TlsSessionCache&) = delete;
    TlsSessionCache& operator=(const TlsSessionCache&) = delete;

    // The one every TLS channel of the process uses.
    static TlsSessionCache& Shared();

    // What a session is kept under: the server's host and port, the name it
    // was asked for ("" for an address) and the trust it was checked against.
    static std::string Key(const std::string& host, int port, const std::string& serverName,
                           const std::string& trust);

    // The session kept for `key`; "" when there is none.
    [[nodiscard]] std::string Find(const std::string& key);
    // Keeps `session` for `key`, in place of any before it.
    void Keep(const std::string& key, std::string session);
    // Forgets the session of `key`, if there is one.
    void Forget(const std::string& key);
    [[nodiscard]] std::size_t size() const;

  private:
    struct Entry {
        std::string session;
        std::list<std::string>::iterator use;  // its place in uses_
    };

    const std::size_t capacity_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> uses_;  // keys, the one used last first
};

}  // namespace brindle
