// The namespaced internet itself: miniupnpd on the first router maps, lists
// and removes a port for a LAN host.
#include <gtest/gtest.h>

#include "support/home_routers.h"

namespace brindle {
namespace {

using test::HomeRouters;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class HomeRouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        std::string error;
        if (!routers.Build(why, error)) {
            if (error.empty()) {
                GTEST_SKIP() << "namespaced router tests skipped: " << why;
            }
            FAIL() << error;
        }
    }
    HomeRouters routers;
};

TEST_F(HomeRouterTest, UpnpcMapsListsAndDeletesAPort) {
    auto add = routers.Upnpc(
        HomeRouters::kHome1,
        {"-e", "harness", "-a", HomeRouters::kHome1Address, "2000", "2000", "TCP", "3600"});
    ASSERT_EQ(add.code, 0) << add.out << add.err << routers.MiniupnpdLog();
    EXPECT_TRUE(Contains(add.out,
                         "external 10.200.0.2:2000 TCP is redirected to internal "
                         "192.168.10.2:2000"))
        << add.out;

    auto list = routers.Upnpc(HomeRouters::kHome1, {"-l"});
    EXPECT_TRUE(Contains(list.out, "TCP  2000->192.168.10.2:2000  'harness'")) << list.out;
    EXPECT_TRUE(Contains(list.out, "ExternalIPAddress = 10.200.0.2")) << list.out;

    auto remove = routers.Upnpc(HomeRouters::kHome1, {"-d", "2000", "TCP"});
    EXPECT_EQ(remove.code, 0) << remove.out << remove.err;
    EXPECT_TRUE(Contains(remove.out, "UPNP_DeletePortMapping() returned : 0")) << remove.out;
    EXPECT_FALSE(routers.Mapped(2000));
}

// The harness hands out addresses from the private test ranges only.
TEST(TestRange, AcceptsOnlyThePrivateRangesTheTestsUse) {
    for (const char* inside :
         {"10.0.0.1/8", "10.200.0.4", "192.168.255.1/24", "fd00::1/64", "fdff:ffff::2"}) {
        EXPECT_TRUE(test::IsTestRange(inside)) << inside;
    }
    for (const char* outside : {"11.0.0.1/8", "172.16.0.1/12", "192.169.0.1", "8.8.8.8",
                                "fc00::1/7", "fe80::1/64", "2001:db8::1", "::1", "nonsense", ""}) {
        EXPECT_FALSE(test::IsTestRange(outside)) << outside;
    }
}

}  // namespace
}  // namespace brindle
