// Who may serve the CLI's pipe and what it may do with the caller, in-process:
// Wine runs every process as one user, so a server of another user exists
// only as SIDs handed to the rule; and Wine's pipe server cannot tell the
// level a client allowed, so the transaction's open is watched as well.
#include <gtest/gtest.h>

#include "pipe_peer.h"
#include "pipe_security.h"
#include "pipe_server.h"
#include "pipe_transaction.h"

namespace {

class PipeServerRule : public testing::TestWithParam<qartest::PipeServerCase> {};

TEST_P(PipeServerRule, TrustsOnlyTheCallersOwnUser) {
    EXPECT_EQ(qartest::decide(GetParam(), pipeServerTrusted), GetParam().trusted);
}

INSTANTIATE_TEST_SUITE_P(Cases, PipeServerRule, testing::ValuesIn(qartest::pipeServerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PipeTransaction, ServerMayIdentifyTheCallerButNeverActAsIt) {
    std::wstring user = L"cli-open-" + std::to_wstring(GetCurrentProcessId());
    std::wstring pipe = L"\\\\.\\pipe\\qar-client-cli_" + user;
    ASSERT_TRUE(SetEnvironmentVariableW(L"USERNAME", user.c_str()));
    qartest::PipePeer client(pipe, std::string("\x04\x1A\x02ok", 5));
    ASSERT_TRUE(client.ok()) << client.error();
    qartest::CreateFileRecorder opens(GetModuleHandleW(nullptr));
    ASSERT_TRUE(opens.ok());

    messages::CLIRequest request;
    request.set_request_type(messages::REQUEST_TYPE_LEGACY_STATUS);
    messages::CLIResponse response = callClient(request);
    EXPECT_EQ(response.payload(), "ok");

    std::vector<DWORD> flags = opens.flagsFor(pipe);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_TRUE(qartest::identificationAtMost(flags[0])) << std::hex << flags[0];
    std::vector<int> levels = client.impersonationLevels();
    ASSERT_EQ(levels.size(), 1u);
    // Wine's pipe server impersonates its own token at SecurityImpersonation
    // whatever the client allowed; elsewhere the server sees the level itself.
    if (qartest::pipeServersSeeClientLevel()) {
        EXPECT_LE(levels[0], SecurityIdentification);
    }
}

}  // namespace
