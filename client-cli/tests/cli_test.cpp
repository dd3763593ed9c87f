// The program as scripts run it: a command line in, one request over the user's
// pipe to a stand-in for the QAR Client, the answer or the error out.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "hex.h"
#include "pipe_peer.h"
#include "pipe_security.h"
#include "wine_process.h"

using namespace qartest;

namespace {

const std::string OK_REPLY = bytes("04 1A 02 6F 6B");  // error_code 0, payload "ok"
const char NOT_RUNNING[] = "CLI invocation failed (error code: 00000002). Is the QAR Client running?\r\n";

// A user name of this test process alone, so that parallel tests use separate pipes.
std::wstring uniqueUser() {
    static int counter = 0;
    return L"cli-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

std::wstring pipeOf(const std::wstring& user) {
    return L"\\\\.\\pipe\\qar-client-cli_" + user;
}

std::string programPath() {
    return toUtf8(winPath(QAR_CLIENT_CLI_EXE));
}

ProcessResult runAs(const std::optional<std::wstring>& user, const std::vector<std::wstring>& args) {
    RunOptions options;
    options.env = {{L"USERNAME", user}};
    options.timeoutMs = 20000;
    return runProgram(QAR_CLIENT_CLI_EXE, args, options);
}

// One run against a client that answers reply; received holds what it got.
struct Exchange {
    ProcessResult result;
    std::vector<std::string> received;
    size_t connections = 0;
};

Exchange runWithClient(const std::vector<std::wstring>& args, const std::optional<std::string>& reply) {
    std::wstring user = uniqueUser();
    PipePeer client(pipeOf(user), reply);
    EXPECT_TRUE(client.ok()) << "CreateNamedPipeW failed with " << client.error();
    Exchange e;
    e.result = runAs(user, args);
    e.received = client.received();
    e.connections = client.connections();
    return e;
}

// --- requests -------------------------------------------------------------------

struct RequestCase {
    std::vector<std::wstring> args;
    const char* request;  // the whole pipe message the client receives
    const char* name;
};

class Requests : public testing::TestWithParam<RequestCase> {};

TEST_P(Requests, ReachTheClientAsOnePipeMessage) {
    Exchange e = runWithClient(GetParam().args, OK_REPLY);
    EXPECT_EQ(e.result.exitCode, 0u) << e.result.err;
    EXPECT_EQ(e.result.out, "ok\r\n");
    EXPECT_EQ(e.result.err, "");
    ASSERT_EQ(e.received.size(), 1u);
    EXPECT_EQ(hex(e.received[0]), GetParam().request);
    EXPECT_EQ(e.connections, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Subcommands, Requests,
    testing::Values(
        RequestCase{{L"legacy-status"}, "00", "Status"},
        RequestCase{{L"--login-id", L"abc", L"--authenticate", L"legacy-status"}, "00", "StatusSendsNoOptions"},
        RequestCase{{L"--login-id", L"abc", L"legacy-get-identity"}, "08 08 01 82 01 03 61 62 63", "GetIdentity"},
        RequestCase{{L"--login-id=abc", L"legacy-get-identity"}, "08 08 01 82 01 03 61 62 63",
                    "GetIdentityWithEquals"},
        RequestCase{{L"legacy-get-identity"}, "05 08 01 82 01 00", "GetIdentitySendsEmptyLoginId"},
        RequestCase{{L"--login-id", L"abc", L"--authenticate", L"legacy-get-identity"}, "08 08 01 82 01 03 61 62 63",
                    "GetIdentitySendsNoAuthenticate"},
        RequestCase{{L"--login-id", L"abc", L"legacy-get-identities"}, "02 08 02", "GetIdentitiesSendsNoLoginId"},
        RequestCase{{L"--authenticate", L"legacy-get-active-identity"}, "02 08 03", "GetActiveIdentity"},
        RequestCase{{L"--login-id", L"abc", L"--authenticate", L"legacy-set-active-identity"},
                    "0B 08 04 82 01 03 61 62 63 88 01 01", "SetActiveIdentity"},
        RequestCase{{L"legacy-set-active-identity"}, "08 08 04 82 01 00 88 01 00",
                    "SetActiveIdentityWithoutOptions"},
        RequestCase{{L"--login-id", L"abc", L"legacy-set-active-identity"}, "0B 08 04 82 01 03 61 62 63 88 01 00",
                    "SetActiveIdentityNotAuthenticated"},
        RequestCase{{L"--login-id", L"abc", L"legacy-invalidate-session"}, "02 08 05", "InvalidateSession"},
        // Options after the subcommand are not the subcommand's: extras, ignored.
        RequestCase{{L"legacy-get-identity", L"--login-id", L"abc"}, "05 08 01 82 01 00",
                    "LoginIdAfterSubcommandIsIgnored"},
        RequestCase{{L"legacy-set-active-identity", L"--authenticate"}, "08 08 04 82 01 00 88 01 00",
                    "AuthenticateAfterSubcommandIsIgnored"},
        RequestCase{{L"--unknown", L"legacy-status", L"more", L"words"}, "00", "ExtrasAreIgnored"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LongRequest, TakesATwoBytePrefixAndArrivesWhole) {
    std::string loginId(123, 'q');
    Exchange e = runWithClient({L"--login-id", fromUtf8(loginId), L"legacy-get-identity"}, OK_REPLY);
    EXPECT_EQ(e.result.exitCode, 0u) << e.result.err;
    ASSERT_EQ(e.received.size(), 1u);
    EXPECT_EQ(e.received[0], bytes("80 01 08 01 82 01 7B") + loginId);
}

TEST(LoginId, NotValidUtf8IsLoggedAndSentAsItsBytes) {
    // The argument reaches the program in the system code page, unchanged.
    const wchar_t* text = L"caf\u00e9";
    char acp[16] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, acp, sizeof(acp), nullptr, nullptr);
    ASSERT_GT(n, 1);
    std::string encodedLoginId(acp, n - 1);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, acp, n - 1, nullptr, 0), 0)
        << "code page " << GetACP() << " writes this text as valid UTF-8";

    Exchange e = runWithClient({L"--login-id", text, L"legacy-get-identity"}, OK_REPLY);
    EXPECT_EQ(e.result.exitCode, 0u) << e.result.err;
    EXPECT_EQ(e.result.out, "ok\r\n");
    EXPECT_NE(e.result.err.find("String field 'ch.qar.client.cli.messages.CLIRequest.login_id' contains invalid "
                                "UTF-8 data when serializing a protocol buffer."),
              std::string::npos)
        << e.result.err;
    EXPECT_EQ(lines(e.result.err).size(), 1u) << e.result.err;
    ASSERT_EQ(e.received.size(), 1u);
    EXPECT_EQ(e.received[0], framed(bytes("08 01 82 01") + std::string(1, (char)encodedLoginId.size()) + encodedLoginId));
}

// --- responses ------------------------------------------------------------------

struct ResponseCase {
    std::string reply;  // the whole pipe message the client answers with
    const char* out;
    const char* err;
    DWORD exitCode;
    const char* name;
};

class Responses : public testing::TestWithParam<ResponseCase> {};

TEST_P(Responses, ArePrintedAsReceived) {
    Exchange e = runWithClient({L"legacy-status"}, GetParam().reply);
    EXPECT_EQ(e.result.exitCode, GetParam().exitCode);
    EXPECT_EQ(e.result.out, GetParam().out);
    EXPECT_EQ(e.result.err, GetParam().err);
    EXPECT_EQ(e.received.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Responses,
    testing::Values(
        ResponseCase{bytes("04 1A 02 6F 6B"), "ok\r\n", "", 0, "SuccessWithPayload"},
        ResponseCase{bytes("05 08 01 12 01 78"), "", "x\r\n", 1, "FailureWithMessage"},
        ResponseCase{"", "", "", 0, "ZeroBytes"},
        ResponseCase{bytes("00"), "", "", 0, "SuccessWithoutPayload"},
        ResponseCase{bytes("02 08 01"), "", "", 1, "FailureWithoutMessage"},
        ResponseCase{bytes("08 12 01 78 1A 02 6F 6B"), "ok\r\n", "", 0, "SuccessShowsOnlyPayload"},
        ResponseCase{bytes("0A 08 07 12 01 78 1A 02 6F 6B"), "", "x\r\n", 1, "FailureShowsOnlyMessage"},
        ResponseCase{bytes("0E 08 FF FF FF FF FF FF FF FF FF 01 12 01 78"), "", "x\r\n", 1, "NegativeErrorCode"},
        ResponseCase{framed(bytes("1A 07") + "a\nb\r\xC3\xA9."), "a\nb\r\xC3\xA9.\r\n", "", 0,
                     "PayloadBytesUnchanged"},
        ResponseCase{framed(bytes("08 02 12 05") + "e\n\xC3\xA9!"), "", "e\n\xC3\xA9!\r\n", 1,
                     "MessageBytesUnchanged"},
        ResponseCase{bytes("0A 20 07 1A 02 6F 6B 2A 02 68 69"), "ok\r\n", "", 0, "UnknownFieldsIgnored"},
        // error_message "x", error_code 1, then a payload that claims 5 bytes and has 1.
        ResponseCase{bytes("08 12 01 78 08 01 1A 05 61"), "", "x\r\n", 1, "MalformedKeepsFieldsBeforeTheFault"},
        ResponseCase{bytes("05 1A 02 6F 6B 08"), "ok\r\n", "", 0, "TruncatedKeepsFieldsBeforeTheFault"},
        ResponseCase{bytes("03 1A 05 61"), "", "", 0, "TruncatedPayloadIsNotPrinted"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LongReply, OfExactly65536BytesIsRead) {
    // Prefix (3 bytes) + tag (1) + length (3) + payload = 65536.
    std::string payload(65529, 'p');
    std::string reply = framed(bytes("1A") + bytes("F9 FF 03") + payload);
    ASSERT_EQ(reply.size(), 65536u);
    Exchange e = runWithClient({L"legacy-status"}, reply);
    EXPECT_EQ(e.result.exitCode, 0u) << e.result.err;
    EXPECT_EQ(e.result.out, payload + "\r\n");
}

TEST(LongReply, OfMoreThan65536BytesFailsThePipeCall) {
    std::string payload(70000, 'p');
    Exchange e = runWithClient({L"legacy-status"}, framed(bytes("1A F0 A2 04") + payload));
    EXPECT_EQ(e.result.exitCode, 1u);
    EXPECT_EQ(e.result.out, "");
    EXPECT_EQ(e.result.err, "CLI invocation failed (error code: 000000ea). Is the QAR Client running?\r\n");
}

// --- failures to reach the client ----------------------------------------------

TEST(PipeCall, NoClientRunning) {
    ProcessResult r = runAs(uniqueUser(), {L"legacy-status"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, NOT_RUNNING);
}

TEST(PipeCall, AllInstancesBusyFailsWithoutWaiting) {
    std::wstring user = uniqueUser();
    PipePeer client(pipeOf(user), OK_REPLY);
    ASSERT_TRUE(client.ok()) << client.error();
    // Another caller holds the only instance for the whole run.
    HANDLE other = CreateFileW(pipeOf(user).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    auto start = std::chrono::steady_clock::now();
    ProcessResult r = runAs(user, {L"legacy-status"});
    auto elapsed = std::chrono::steady_clock::now() - start;
    CloseHandle(other);
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "CLI invocation failed (error code: 000000e7). Is the QAR Client running?\r\n");
    // A caller that waited the pipe's default time would take the peer's 10 s.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_TRUE(client.received().empty());
}

// --- who serves the pipe ----------------------------------------------------------

struct ServerCase {
    const char* name;
    std::wstring owner;  // of the pipe, whose creating process has ended
    bool trusted;
};
void PrintTo(const ServerCase& c, std::ostream* os) { *os << c.name; }

class UnknownServer : public testing::TestWithParam<ServerCase> {};

// A server whose process cannot be opened is judged by the pipe's owner.
TEST_P(UnknownServer, IsTrustedOnlyOnAPipeOfTheCallerOrAdministrators) {
    std::wstring user = uniqueUser();
    HANDLE pipe = orphanPipe(QAR_ORPHAN_PIPE_EXE, pipeOf(user), L"O:" + GetParam().owner + L"D:(A;;GA;;;WD)");
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    PipePeer client(pipe, OK_REPLY);
    ASSERT_TRUE(client.ok());
    ProcessResult r = runAs(user, {L"legacy-status"});
    if (GetParam().trusted) {
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(r.out, "ok\r\n");
        EXPECT_EQ(client.received().size(), 1u);
    } else {
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "CLI invocation failed (error code: 00000005). The pipe's server does not run as the current "
                  "user.\r\n");
        EXPECT_TRUE(client.received().empty()) << "nothing is sent to it";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Owners, UnknownServer,
    testing::Values(ServerCase{"Caller", currentUserSid(), true}, ServerCase{"Administrators", L"BA", true},
                    ServerCase{"AnotherUser", L"S-1-5-21-1111-2222-3333-1002", false},
                    ServerCase{"LocalSystem", L"SY", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserName, UnsetIsAnError) {
    ProcessResult r = runAs(std::nullopt, {L"legacy-status"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Unable to determine current user from environment: 000000cb\r\n");
}

TEST(UserName, EmptyIsAnError) {
    // The variable exists, so there is no error code to show.
    ProcessResult r = runAs(std::wstring(), {L"legacy-status"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Unable to determine current user from environment: 00000000\r\n");
}

TEST(UserName, OfMoreThan255CharactersIsRefused) {
    ProcessResult r = runAs(std::wstring(256, L'u'), {L"legacy-status"});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Unable to determine current user from environment: the user name is longer than 255 characters\r\n");
}

TEST(UserName, ThatMakesThePipeNameLongerThan259CharactersIsRefused) {
    // "\\.\pipe\qar-client-cli_" has 24 characters.
    for (size_t length : {236u, 255u}) {
        ProcessResult r = runAs(std::wstring(length, L'u'), {L"legacy-status"});
        EXPECT_EQ(r.exitCode, 1u) << length;
        EXPECT_EQ(r.out, "") << length;
        EXPECT_EQ(r.err, "CLI invocation failed (the pipe name for this user is longer than 259 characters)\r\n")
            << length;
    }
}

TEST(UserName, ThatFillsThePipeNameExactlyIsUsed) {
    // Windows limits pipe names to 256 characters and would refuse to create
    // this one; Wine serves it, so the longest name is seen to work end to end.
    std::wstring user(235, L'u');
    ASSERT_EQ(pipeOf(user).size(), 259u);
    PipePeer client(pipeOf(user), OK_REPLY);
    ASSERT_TRUE(client.ok()) << "CreateNamedPipeW failed with " << client.error();
    ProcessResult r = runAs(user, {L"legacy-status"});
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "ok\r\n");
    EXPECT_EQ(client.received().size(), 1u);
}

// --- the command line itself ------------------------------------------------------

std::string mainHelp() {
    return "QAR Client CLI\r\n"
           "Usage: " + programPath() + " [OPTIONS] SUBCOMMAND\r\n"
           "\r\n"
           "Options:\r\n"
           "  -h,--help                   Print this help message and exit\r\n"
           "  --login-id TEXT             The QAR ID\r\n"
           "  --authenticate              Should authentication be performed\r\n"
           "\r\n"
           "Subcommands:\r\n"
           "  legacy-status               Legacy Client API GET /status\r\n"
           "  legacy-get-identity         Legacy Client API GET /identity/<loginId>\r\n"
           "  legacy-get-identities       Legacy Client API GET /identities/<loginId>\r\n"
           "  legacy-get-active-identity  Legacy Client API GET /active-identity\r\n"
           "  legacy-set-active-identity  Legacy Client API POST /active-identity\r\n"
           "  legacy-invalidate-session   Legacy Client API POST /invalidate-session\r\n"
           "\r\n";
}

struct CommandLineCase {
    std::vector<std::wstring> args;
    std::function<std::string()> out;
    const char* err;
    DWORD exitCode;
    const char* name;
};

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, IsAnsweredWithoutContactingTheClient) {
    Exchange e = runWithClient(GetParam().args, OK_REPLY);
    EXPECT_EQ(e.result.exitCode, GetParam().exitCode);
    EXPECT_EQ(e.result.out, GetParam().out());
    EXPECT_EQ(e.result.err, GetParam().err);
    EXPECT_EQ(e.connections, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    HelpAndErrors, CommandLine,
    testing::Values(
        CommandLineCase{{L"--help"}, mainHelp, "", 0, "Help"},
        CommandLineCase{{L"-h"}, mainHelp, "", 0, "ShortHelp"},
        CommandLineCase{{L"--login-id", L"abc", L"--help"}, mainHelp, "", 0, "HelpAfterOptions"},
        CommandLineCase{{L"legacy-get-identity", L"--help"},
                        [] {
                            return "Legacy Client API GET /identity/<loginId>\r\n"
                                   "Usage: " + programPath() + " legacy-get-identity [OPTIONS]\r\n"
                                   "\r\n"
                                   "Options:\r\n"
                                   "  -h,--help                   Print this help message and exit\r\n"
                                   "\r\n";
                        },
                        "", 0, "HelpAfterSubcommand"},
        // CLI11's RequiredError: exit code 106.
        CommandLineCase{{}, [] { return std::string(); },
                        "A subcommand is required\r\nRun with --help for more information.\r\n", 106,
                        "NoSubcommand"},
        CommandLineCase{{L"--login-id", L"abc"}, [] { return std::string(); },
                        "A subcommand is required\r\nRun with --help for more information.\r\n", 106,
                        "OptionsWithoutSubcommand"},
        // CLI11's ArgumentMismatch: exit code 114.
        CommandLineCase{{L"--login-id"}, [] { return std::string(); },
                        "--login-id: 1 required TEXT missing\r\nRun with --help for more information.\r\n", 114,
                        "OptionWithoutValue"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Program, RunsAloneWithoutAnyDllBesideIt) {
    std::wstring dir = makeTempDir(L"cli-alone");
    ASSERT_FALSE(dir.empty());
    std::wstring copy = dir + L"\\qar-client-cli.exe";
    ASSERT_TRUE(CopyFileW(winPath(QAR_CLIENT_CLI_EXE).c_str(), copy.c_str(), TRUE)) << GetLastError();
    ProcessResult r = runProgram(copy, {L"--help"});
    removeTree(dir);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(lines(r.out).at(0), "QAR Client CLI");
}

}  // namespace
