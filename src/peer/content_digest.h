// Digests that prove what a file holds and name kept partial files: BLAKE2b,
// written as lower-case hex.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brindle {

// Bytes of a secret key for KeyedDigestHex.
inline constexpr std::size_t kDigestKeyBytes = 32;

// The 256-bit digest of the first `length` bytes of the open file `fd`, read
// with pread (the file position stays). None when the file holds fewer bytes,
// a read fails, or `stop` says to give up (it is asked between blocks).
[[nodiscard]] std::optional<std::string> PrefixDigestHex(int fd, long long length,
                                                         const std::function<bool()>& stop);

// The 128-bit digest of `text` under `key` (kDigestKeyBytes bytes).
[[nodiscard]] std::string KeyedDigestHex(std::string_view key, std::string_view text);

// `count` random bytes from the system's generator; empty when it failed.
[[nodiscard]] std::string RandomBytes(std::size_t count);

}  // namespace brindle
