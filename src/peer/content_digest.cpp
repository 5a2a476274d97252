#include "peer/content_digest.h"

#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace brindle {

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// libsodium's functions may be used only once it is initialised; doing it
// here keeps every caller free of that.
bool SodiumReady() {
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

}  // namespace

std::optional<std::string> PrefixDigestHex(int fd, long long length,
                                           const std::function<bool()>& stop) {
    if (!SodiumReady() || length < 0) {
        return std::nullopt;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    std::vector<unsigned char> block(
        static_cast<std::size_t>(std::clamp<long long>(length, 1, 1 << 20)));
    long long offset = 0;
    while (offset < length) {
        if (stop && stop()) {
            return std::nullopt;
        }
        const auto want =
            static_cast<std::size_t>(std::min<long long>(length - offset, block.size()));
        ssize_t got = ::pread(fd, block.data(), want, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        crypto_generichash_update(&state, block.data(), static_cast<unsigned long long>(got));
        offset += got;
    }
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash_final(&state, digest, sizeof digest);
    return Hex(digest, sizeof digest);
}

std::string KeyedDigestHex(std::string_view key, std::string_view text) {
    unsigned char digest[16];
    if (!SodiumReady() || key.size() != kDigestKeyBytes) {
        return {};
    }
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), reinterpret_cast<const unsigned char*>(key.data()), key.size());
    return Hex(digest, sizeof digest);
}

std::string RandomBytes(std::size_t count) {
    if (!SodiumReady()) {
        return {};
    }
    std::string bytes(count, '\0');
    ::randombytes_buf(bytes.data(), count);
    return bytes;
}

}  // namespace brindle
