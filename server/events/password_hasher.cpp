#include "server/events/password_hasher.h"

#include <sodium.h>

namespace brindle::server {

namespace {

// An empty view may hold a null pointer, which the library must not be given.
const char* NonNull(std::string_view text) {
    return text.data() != nullptr ? text.data() : "";
}

}  // namespace

// Holds one of the hasher's parallel slots for its lifetime.
class PasswordHasher::Slot {
  public:
    explicit Slot(PasswordHasher& owner) : owner_(owner) {
        std::unique_lock<std::mutex> hold(owner_.lock_);
        owner_.freed_.wait(hold, [this] { return owner_.running_ < owner_.maxParallel_; });
        ++owner_.running_;
    }
    ~Slot() {
        std::lock_guard<std::mutex> hold(owner_.lock_);
        --owner_.running_;
        owner_.freed_.notify_one();
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

  private:
    PasswordHasher& owner_;
};

PasswordHasher::Limits PasswordHasher::Interactive() {
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

PasswordHasher::Limits PasswordHasher::Minimum() {
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

PasswordHasher::PasswordHasher(Limits limits, int maxParallel)
    : limits_(limits), maxParallel_(maxParallel < 1 ? 1 : maxParallel) {}

bool PasswordHasher::Initialize() {
    return sodium_init() >= 0;
}

std::string PasswordHasher::Hash(std::string_view password) {
    char out[crypto_pwhash_STRBYTES] = {};
    Slot slot(*this);
    if (crypto_pwhash_str(out, NonNull(password), password.size(), limits_.opsLimit,
                          limits_.memLimit) != 0) {
        return {};
    }
    return out;
}

bool PasswordHasher::Verify(std::string_view hash, std::string_view password) {
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) {
        return false;
    }
    char stored[crypto_pwhash_STRBYTES] = {};
    hash.copy(stored, hash.size());
    Slot slot(*this);
    return crypto_pwhash_str_verify(stored, NonNull(password), password.size()) == 0;
}

}  // namespace brindle::server
