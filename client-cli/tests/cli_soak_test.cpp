// Soak: whole runs of qar-client-cli against the client's pipe played by a
// peer in this process; neither the peer's handles nor the system's grow.
#include "hex.h"
#include "pipe_peer.h"
#include "soak.h"
#include "wine_process.h"

#include <gtest/gtest.h>

namespace {

using namespace qartest;

TEST(CliSoak, RunAfterRunAgainstThePeerStaysFlat) {
    const std::wstring user = L"cli-soak-" + std::to_wstring(GetCurrentProcessId());
    const std::string okReply = bytes("04 1A 02 6F 6B");  // error_code 0, payload "ok"
    qarfuzz::Campaign campaign("qar-client-cli", "soak");
    RunOptions options;
    options.env = {{L"USERNAME", user}};
    options.timeoutMs = 60000;
    size_t runs = qarfuzz::scaledCount(30, 100);
    qarfuzz::SoakResult result = qarfuzz::soak(campaign, qarfuzz::peerAndSystemGauges(), 5, runs, [&](size_t) {
        // A peer per run, as each run of the client meets a fresh pipe instance.
        PipePeer client(L"\\\\.\\pipe\\qar-client-cli_" + user, okReply);
        ASSERT_TRUE(client.ok()) << client.error();
        ProcessResult r = runProgram(QAR_CLIENT_CLI_EXE, {L"legacy-status"}, options);
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(client.received().size(), 1u);
    });
    for (const std::string& leak : result.leaks) ADD_FAILURE() << "qar-client-cli: " << leak;
    campaign.report(result.detail);
}

}  // namespace
