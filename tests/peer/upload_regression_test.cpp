// Inputs the fault suites found that once misbehaved, kept as plain tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "peer_fixture.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;

// Bytes handed to the socket once stay what they were: when the shared file
// is cut short while they still wait to be read, the peer must not receive
// zeros in their place (the page-cache pages a zero-copy send refers to are
// cleared in place by the truncation), or it saves a corrupt "complete" file.
TEST(UploadRegression, BytesAlreadySentSurviveTheFileBeingCutShort) {
    test::PeerHarness peer;
    const std::string content = test::PatternBytes(256 << 10);  // fits in the socket buffers
    peer.Share("big.bin", content);
    ASSERT_TRUE(peer.StartListener());
    Socket socket = test::ConnectLoopback(peer.port());
    ASSERT_TRUE(SendAll(socket.fd(), "GET\nbig.bin\nann\nT1\n"));
    ASSERT_TRUE(test::WaitFor([&] {
        auto record = peer.listener->uploadRecords().Record(0);
        return record && record->IsFinished();
    }));
    ASSERT_EQ(peer.listener->uploadRecords().Record(0)->Cell(kColumnStatus), kStatusComplete);

    std::filesystem::resize_file(peer.shared.path() / "big.bin", 8192);
    std::string got = test::ReadUntilClosed(socket.fd(), 10s);
    ASSERT_EQ(got.size(), content.size());
    auto differ = std::mismatch(got.begin(), got.end(), content.begin());
    EXPECT_EQ(differ.first - got.begin(), static_cast<long>(content.size()))
        << "the bytes from there on changed after they were sent";
}

}  // namespace
}  // namespace brindle
