// Who may receive the launcher's parameter and what it may do with the caller,
// in-process: Wine runs every process as one user, so a server of another
// user exists only as SIDs handed to the rule; and Wine's pipe server cannot
// tell the level a client allowed, so the launcher's open is watched as well.
#include <gtest/gtest.h>

#include "launcher_peers.h"
#include "named_pipe.h"
#include "pipe_peer.h"
#include "pipe_security.h"
#include "pipe_server.h"

namespace {

class PipeServerRule : public testing::TestWithParam<qartest::PipeServerCase> {};

TEST_P(PipeServerRule, TrustsOnlyTheCallersOwnUser) {
    EXPECT_EQ(qartest::decide(GetParam(), pipeServerTrusted), GetParam().trusted);
}

INSTANTIATE_TEST_SUITE_P(Cases, PipeServerRule, testing::ValuesIn(qartest::pipeServerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckNamedPipe, ServerMayIdentifyTheCallerButNeverActAsIt) {
    std::wstring user = launchertest::uniqueUser() + L"-open";
    ASSERT_TRUE(SetEnvironmentVariableW(L"USERNAME", user.c_str()));
    qartest::PipePeer peer(launchertest::clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    qartest::CreateFileRecorder opens(GetModuleHandleW(nullptr));
    ASSERT_TRUE(opens.ok());

    EXPECT_EQ(checkNamedPipe(L"x"), 0);

    std::vector<DWORD> flags = opens.flagsFor(L"\\\\.\\pipe\\qarapp2_" + user);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_TRUE(qartest::identificationAtMost(flags[0])) << std::hex << flags[0];
    qartest::PipeTraffic received = peer.finish();
    EXPECT_EQ(received.messages, std::vector<std::string>{"x"});
    // Wine's pipe server impersonates its own token at SecurityImpersonation
    // whatever the client allowed; elsewhere the server sees the level itself.
    if (qartest::pipeServersSeeClientLevel()) {
        for (int level : received.impersonationLevels) EXPECT_LE(level, SecurityIdentification);
    }
}

}  // namespace
