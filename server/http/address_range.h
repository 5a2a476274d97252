// A block of IPv4 or IPv6 addresses written as CIDR ("10.0.0.0/8", "::1/128";
// a bare address is a single host), and whether an address lies inside it;
// the canonical text of an address.
// IPv4-mapped IPv6 addresses (::ffff:a.b.c.d) count as the IPv4 address they
// carry, both as ranges and as addresses, since a dual-stack socket reports
// IPv4 peers that way.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle::server {

class AddressRange {
  public:
    // Nullopt for anything but an address with an optional "/prefix" in range.
    // Bits beyond the prefix are ignored ("10.1.2.3/8" is 10.0.0.0/8).
    [[nodiscard]] static std::optional<AddressRange> Parse(std::string_view text);

    [[nodiscard]] bool Contains(const sockaddr* address) const;
    // A textual address; false when it is not one.
    [[nodiscard]] bool Contains(std::string_view address) const;

    // "10.0.0.0/8", "::1/128".
    [[nodiscard]] std::string ToString() const;

  private:
    bool Matches(bool ipv6, const std::uint8_t* bytes) const;

    bool ipv6_ = false;
    int prefix_ = 0;
    std::array<std::uint8_t, 16> bytes_{};  // the network, first 4 bytes for IPv4
};

[[nodiscard]] bool AnyContains(const std::vector<AddressRange>& ranges, const sockaddr* address);

// The text an address is recorded and reported as: dotted decimal for IPv4
// and IPv4-mapped IPv6, the short form of RFC 5952 for other IPv6 ("fd00::2").
// "" for no address (null, or a family other than these two).
[[nodiscard]] std::string ClientAddressText(const sockaddr* address);
// The same for an address in text; "" when the text is no address.
[[nodiscard]] std::string CanonicalAddressText(std::string_view text);

}  // namespace brindle::server
