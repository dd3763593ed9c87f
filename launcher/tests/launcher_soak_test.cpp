// Soak: whole runs of the launcher forwarding a parameter to the running
// client's pipe, played by a peer in this process; neither the peer's handles
// nor the system's grow.
#include "launcher_peers.h"
#include "pipe_peer.h"
#include "soak.h"
#include "wine_process.h"

#include <gtest/gtest.h>

namespace {

using namespace launchertest;
using namespace qartest;

TEST(LauncherSoak, RunAfterRunAgainstThePeerStaysFlat) {
    LauncherFolder folder(L"launcher soak");
    ASSERT_TRUE(folder.ready());
    const std::wstring user = uniqueUser();
    qarfuzz::Campaign campaign("launcher", "soak");
    size_t runs = qarfuzz::scaledCount(30, 100);
    qarfuzz::SoakResult result = qarfuzz::soak(campaign, qarfuzz::peerAndSystemGauges(), 5, runs, [&](size_t i) {
        PipePeer peer(clientPipe(user));
        ASSERT_TRUE(peer.ok()) << peer.error();
        const std::wstring parameter = L"soak-" + std::to_wstring(i);
        ProcessResult r = folder.run({parameter}, user);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        PipeTraffic received = peer.finish();
        EXPECT_EQ(received.messages, std::vector<std::string>{toUtf8(parameter)});
    });
    EXPECT_FALSE(folder.clientStarted());
    for (const std::string& leak : result.leaks) ADD_FAILURE() << "launcher: " << leak;
    campaign.report(result.detail);
}

}  // namespace
