#include "net/tls_session_cache.h"

#include <utility>

namespace brindle {

namespace {

// Far more directories than a user talks to; each session is a few hundred bytes.
constexpr std::size_t kSharedCapacity = 64;

}  // namespace

TlsSessionCache& TlsSessionCache::Shared() {
    static TlsSessionCache cache(kSharedCapacity);
    return cache;
}

std::string TlsSessionCache::Key(const std::string& host, int port, const std::string& serverName,
                                 const std::string& trust) {
    // A NUL cannot occur in a host, port or name, and the trust comes last,
    // so no two servers share a key.
    std::string key = host;
    key += '\0';
    key += std::to_string(port);
    key += '\0';
    key += serverName;
    key += '\0';
    key += trust;
    return key;
}

std::string TlsSessionCache::Find(const std::string& key) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        return {};
    }
    uses_.splice(uses_.begin(), uses_, found->second.use);
    return found->second.session;
}

void TlsSessionCache::Keep(const std::string& key, std::string session) {
    if (session.empty()) {
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        found->second.session = std::move(session);
        uses_.splice(uses_.begin(), uses_, found->second.use);
        return;
    }
    if (entries_.size() >= capacity_) {
        entries_.erase(uses_.back());
        uses_.pop_back();
    }
    uses_.push_front(key);
    entries_.emplace(key, Entry{std::move(session), uses_.begin()});
}

void TlsSessionCache::Forget(const std::string& key) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        uses_.erase(found->second.use);
        entries_.erase(found);
    }
}

std::size_t TlsSessionCache::size() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
}

}  // namespace brindle
