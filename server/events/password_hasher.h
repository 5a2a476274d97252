// Passwords are kept only as slow salted hashes (Argon2id through libsodium).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace brindle::server {

class PasswordHasher {
  public:
    struct Limits {
        unsigned long long opsLimit;
        std::size_t memLimit;
    };
    // The cost for a server answering people: about a tenth of a second and 64 MiB.
    static Limits Interactive();
    // The cheapest cost the library allows, for tests.
    static Limits Minimum();

    // At most `maxParallel` hashes are computed at once, which bounds the
    // memory they take however many registrations arrive together.
    explicit PasswordHasher(Limits limits, int maxParallel = 2);

    // Initialises the library; false when it cannot be used.
    static bool Initialize();

    // The hash string to store, or "" when it could not be computed.
    std::string Hash(std::string_view password);
    // True when `password` is the one `hash` was made from.
    bool Verify(std::string_view hash, std::string_view password);

  private:
    class Slot;
    Limits limits_;
    int maxParallel_;
    std::mutex lock_;
    std::condition_variable freed_;
    int running_ = 0;
};

}  // namespace brindle::server
