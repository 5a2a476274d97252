// Inputs the fuzzer found that once misbehaved, kept as plain tests.
#include <gtest/gtest.h>

#include <string_view>

#include "server/events/password_hasher.h"
#include "server_test_support.h"

namespace brindle::server::test {
namespace {

// A registration without a password field gave the hash library a null
// pointer for the empty password (undefined behaviour, caught by UBSan).
TEST(FuzzRegression, MissingPasswordFieldIsTheEmptyPassword) {
    ASSERT_TRUE(PasswordHasher::Initialize());
    PasswordHasher hasher(PasswordHasher::Minimum());
    std::string hash = hasher.Hash(std::string_view());
    ASSERT_FALSE(hash.empty());
    EXPECT_TRUE(hasher.Verify(hash, std::string_view()));
    EXPECT_TRUE(hasher.Verify(hash, ""));
    EXPECT_FALSE(hasher.Verify(hash, "x"));

    brindle::test::TempDir dir;
    std::string error;
    auto store = SqliteStore::Open(dir.str() + "/directory.db", error);
    ASSERT_TRUE(store) << error;
    EventDispatcher dispatcher(*store, hasher);
    const std::string ip = "127.0.0.1";
    EXPECT_EQ(dispatcher.Handle({"event=onRegisterUser&userName=ann&count=0", ip}).body, "OK\n");
    EXPECT_EQ(dispatcher.Handle({"event=onRegisterUser&userName=ann&count=0", ip}).body, "OK\n");
    EXPECT_EQ(dispatcher.Handle({"event=onRegisterUser&userName=ann&password=x&count=0", ip}).body,
              "BAD-PASSWORD\n");
    EXPECT_EQ(dispatcher.Handle({"event=onUnregisterUser&userName=ann", ip}).body, "OK\n");
}

}  // namespace
}  // namespace brindle::server::test
