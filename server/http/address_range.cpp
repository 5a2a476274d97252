#include "server/http/address_range.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace brindle::server {
namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

struct RawAddress {
    bool ipv6 = false;
    std::uint8_t bytes[16] = {};
};

// IPv4 as is, IPv4-mapped IPv6 unwrapped, other IPv6 as IPv6.
RawAddress FromIpv6(const in6_addr& address) {
    RawAddress raw;
    if (std::memcmp(address.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        std::memcpy(raw.bytes, address.s6_addr + 12, 4);
    } else {
        raw.ipv6 = true;
        std::memcpy(raw.bytes, address.s6_addr, 16);
    }
    return raw;
}

std::optional<RawAddress> ParseAddress(std::string_view text) {
    char buffer[INET6_ADDRSTRLEN + 1];
    if (text.empty() || text.size() >= sizeof buffer || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    in_addr v4;
    if (inet_pton(AF_INET, buffer, &v4) == 1) {
        RawAddress raw;
        std::memcpy(raw.bytes, &v4, 4);
        return raw;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, buffer, &v6) == 1) {
        return FromIpv6(v6);
    }
    return std::nullopt;
}

std::string Text(const RawAddress& raw) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(raw.ipv6 ? AF_INET6 : AF_INET, raw.bytes, text, sizeof text);
    return text;
}

}  // namespace

std::optional<AddressRange> AddressRange::Parse(std::string_view text) {
    std::size_t slash = text.find('/');
    bool mapped = false;
    auto address = ParseAddress(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    if (!address->ipv6 && text.substr(0, slash).find(':') != std::string_view::npos) {
        mapped = true;  // "::ffff:10.0.0.0/104" is 10.0.0.0/8
    }
    int width = address->ipv6 ? 128 : 32;
    int prefix = width;
    if (slash != std::string_view::npos) {
        std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3) {
            return std::nullopt;
        }
        prefix = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            prefix = prefix * 10 + (c - '0');
        }
        if (mapped) {
            if (prefix < 96 || prefix > 128) {
                return std::nullopt;
            }
            prefix -= 96;
        } else if (prefix > width) {
            return std::nullopt;
        }
    }
    AddressRange range;
    range.ipv6_ = address->ipv6;
    range.prefix_ = prefix;
    for (int i = 0; i < width / 8; ++i) {
        int bits = prefix - i * 8;
        std::uint8_t mask = bits >= 8   ? 0xff
                            : bits <= 0 ? 0
                                        : static_cast<std::uint8_t>(0xff << (8 - bits));
        range.bytes_[i] = address->bytes[i] & mask;
    }
    return range;
}

bool AddressRange::Matches(bool ipv6, const std::uint8_t* bytes) const {
    if (ipv6 != ipv6_) {
        return false;
    }
    int whole = prefix_ / 8;
    if (std::memcmp(bytes, bytes_.data(), static_cast<std::size_t>(whole)) != 0) {
        return false;
    }
    int rest = prefix_ % 8;
    if (rest == 0) {
        return true;
    }
    auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (bytes[whole] & mask) == bytes_[whole];
}

bool AddressRange::Contains(const sockaddr* address) const {
    if (address == nullptr) {
        return false;
    }
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        std::uint8_t bytes[4];
        std::memcpy(bytes, &in->sin_addr, 4);
        return Matches(false, bytes);
    }
    if (address->sa_family == AF_INET6) {
        RawAddress raw = FromIpv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
        return Matches(raw.ipv6, raw.bytes);
    }
    return false;
}

bool AddressRange::Contains(std::string_view address) const {
    auto raw = ParseAddress(address);
    return raw && Matches(raw->ipv6, raw->bytes);
}

std::string AddressRange::ToString() const {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(ipv6_ ? AF_INET6 : AF_INET, bytes_.data(), text, sizeof text);
    return std::string(text) + "/" + std::to_string(prefix_);
}

std::string ClientAddressText(const sockaddr* address) {
    if (address == nullptr) {
        return "";
    }
    if (address->sa_family == AF_INET) {
        RawAddress raw;
        std::memcpy(raw.bytes, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return Text(raw);
    }
    if (address->sa_family == AF_INET6) {
        return Text(FromIpv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr));
    }
    return "";
}

std::string CanonicalAddressText(std::string_view text) {
    auto raw = ParseAddress(text);
    return raw ? Text(*raw) : "";
}

bool AnyContains(const std::vector<AddressRange>& ranges, const sockaddr* address) {
    for (const auto& range : ranges) {
        if (range.Contains(address)) {
            return true;
        }
    }
    return false;
}

}  // namespace brindle::server
