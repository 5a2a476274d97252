// The kept TLS sessions: one per server, name and trust, the least recently
// used forgotten first once the cache is full, and safe to share by threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "net/tls_session_cache.h"

namespace brindle {
namespace {

TEST(TlsSessionCacheTest, KeysTellServersNamesAndTrustApart) {
    const std::vector<std::string> keys = {
        TlsSessionCache::Key("localhost", 443, "localhost", ""),
        TlsSessionCache::Key("localhost", 8443, "localhost", ""),
        TlsSessionCache::Key("127.0.0.1", 443, "", ""),
        TlsSessionCache::Key("localhost", 443, "localhost", "/etc/ca.pem"),
        TlsSessionCache::Key("localhost", 4, "43localhost", ""),
    };
    TlsSessionCache cache(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        cache.Keep(keys[i], "session " + std::to_string(i));
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(cache.Find(keys[i]), "session " + std::to_string(i));
    }
}

TEST(TlsSessionCacheTest, TheLeastRecentlyUsedGoesFirstWhenFull) {
    TlsSessionCache cache(2);
    cache.Keep("a", "1");
    cache.Keep("b", "2");
    EXPECT_EQ(cache.Find("a"), "1");  // "b" is now the least recently used
    cache.Keep("c", "3");
    EXPECT_EQ(cache.Find("b"), "");
    EXPECT_EQ(cache.Find("a"), "1");
    cache.Keep("a", "4");  // a newer session replaces the old one
    EXPECT_EQ(cache.Find("a"), "4");
    cache.Forget("c");
    EXPECT_EQ(cache.Find("c"), "");
    cache.Keep("d", "");  // nothing to keep
    EXPECT_EQ(cache.size(), 1u);
}

TEST(TlsSessionCacheTest, ThreadsShareItWithinItsBound) {
    TlsSessionCache cache(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string key = std::to_string((t * 7 + i) % 20);
                cache.Keep(key, "s" + key);
                std::string found = cache.Find(key);
                EXPECT_TRUE(found.empty() || found == "s" + key);
                if (i % 5 == 0) {
                    cache.Forget(key);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(cache.size(), 8u);
}

}  // namespace
}  // namespace brindle
