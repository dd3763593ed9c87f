// The launcher as the user and the shell run it: command line, exit code,
// console output, the running client's pipe (played by a peer in this
// process) and the client it starts (a test-only "QAR Client.exe").
#include <gtest/gtest.h>

#include "launcher_peers.h"
#include "pipe_peer.h"
#include "pipe_security.h"
#include "wine_process.h"

using namespace qartest;
using namespace launchertest;

namespace {

const char USAGE[] =
    "\nUsage:\n"
    " launcher [options] [parameter]\n"
    "\nSupported options:\n"
    " /? -h --help           Display this message.\n"
    "\n[parameter]            Optional parameter to forward to the QAR client.\n";

// Parameter cases print as their names in failure lines.
template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
    return os << c.name;
}

std::wstring repeat(const std::wstring& unit, size_t count) {
    std::wstring out;
    for (size_t i = 0; i < count; ++i) out += unit;
    return out;
}

// ---- help options and argument count ----

struct UsageCase {
    const char* name;
    std::vector<std::wstring> args;
    std::wstring commandLine;  // replaces the program path and args when set
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsUsageWithoutTouchingPipeOrClient) {
    const UsageCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipePeer peer(clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    RunOptions options = folder.options(user);
    options.commandLine = c.commandLine;
    ProcessResult r = runProgram(folder.launcherPath(), c.args, options);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, USAGE);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(peer.finish().connections, 0u);
    EXPECT_FALSE(folder.clientStarted());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    testing::Values(UsageCase{"QuestionMark", {L"/?"}, L""}, UsageCase{"ShortHelp", {L"-h"}, L""},
                    UsageCase{"LongHelp", {L"--help"}, L""},
                    UsageCase{"HelpAfterParameter", {L"x", L"--help"}, L""},
                    UsageCase{"TwoArguments", {L"a", L"b"}, L""},
                    UsageCase{"ThreeArguments", {L"a", L"b", L"c"}, L""},
                    // Element 0 is scanned too: a program started as "-h" shows usage.
                    UsageCase{"ProgramNameIsHelp", {}, L"-h"}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

// ---- forwarding to the running client ----

struct ForwardCase {
    const char* name;
    std::wstring parameter;
};

class ForwardTest : public testing::TestWithParam<ForwardCase> {};

TEST_P(ForwardTest, ParameterArrivesAsOneUtf8Message) {
    const ForwardCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipePeer peer(clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({c.parameter}, user);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    PipeTraffic received = peer.finish();
    EXPECT_EQ(received.connections, 1u);
    EXPECT_EQ(received.messages, std::vector<std::string>{toUtf8(c.parameter)});
    // Wine's pipe server cannot tell (see pipe_server_test.cpp).
    if (pipeServersSeeClientLevel()) {
        for (int level : received.impersonationLevels) EXPECT_LE(level, SecurityIdentification);
    }
    EXPECT_FALSE(folder.clientStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ForwardTest,
    testing::Values(ForwardCase{"Plain", L"open-document"},
                    ForwardCase{"WithSpaces", L"C:\\My Files\\report 1.qar"},
                    ForwardCase{"NonAscii", L"Gr\u00fc\u00dfe \u03a9 \u20ac \U0001F600"},
                    ForwardCase{"EmbeddedQuote", L"say \"hi\""},
                    // Help options are compared exactly and case-sensitively.
                    ForwardCase{"UpperCaseHelp", L"--HELP"}, ForwardCase{"HelpPrefix", L"/?x"},
                    // One write of zero bytes: an empty message, not none.
                    ForwardCase{"Empty", L""},
                    ForwardCase{"LongestAscii", std::wstring(1023, L'a')},
                    ForwardCase{"LongestMultiByte", repeat(L"\u20ac", 341)}),
    [](const testing::TestParamInfo<ForwardCase>& info) { return std::string(info.param.name); });

TEST(Forward, WithoutParameterNothingIsSent) {
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipePeer peer(clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({}, user);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(peer.finish().connections, 0u);
    EXPECT_FALSE(folder.clientStarted());
}

class TooLongTest : public testing::TestWithParam<ForwardCase> {};

TEST_P(TooLongTest, MoreThan1023BytesInUtf8AreRefused) {
    const ForwardCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipePeer peer(clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({c.parameter}, user);
    EXPECT_EQ(r.exitCode, 122u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "checkNamedPipe failed (5): 0000007a\r\n");
    EXPECT_TRUE(peer.finish().messages.empty());
    EXPECT_FALSE(folder.clientStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, TooLongTest,
    testing::Values(ForwardCase{"Ascii", std::wstring(1024, L'a')},
                    ForwardCase{"MultiByte", repeat(L"\u20ac", 342)},
                    ForwardCase{"LastCharacterCrossesTheEnd", std::wstring(1022, L'a') + L"\u20ac"}),
    [](const testing::TestParamInfo<ForwardCase>& info) { return std::string(info.param.name); });

// ---- pipe failures: reported, and never a second client ----

struct PipeFailureCase {
    const char* name;
    PipeSettings settings;
    const char* err;
    DWORD exitCode;
};

class PipeFailureTest : public testing::TestWithParam<PipeFailureCase> {};

TEST_P(PipeFailureTest, ReportsTheStepAndStartsNoClient) {
    const PipeFailureCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipePeer peer(clientPipe(user), c.settings);
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({L"x"}, user);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(peer.finish().messages.empty());
    EXPECT_FALSE(folder.clientStarted());
}

PipeSettings busyPipe() {
    PipeSettings s;
    s.busyForMs = INFINITE;
    s.defaultTimeoutMs = 200;  // the wait uses the time-out the pipe was created with
    return s;
}
PipeSettings outboundPipe() {
    PipeSettings s;
    s.openMode = PIPE_ACCESS_OUTBOUND;
    return s;
}
PipeSettings bytePipe() {
    PipeSettings s;
    s.pipeType = PIPE_TYPE_BYTE;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, PipeFailureTest,
    testing::Values(PipeFailureCase{"NoFreeInstance", busyPipe(), "checkNamedPipe failed with a timeout\r\n", 121},
                    PipeFailureCase{"NotWritable", outboundPipe(), "checkNamedPipe failed (3): 00000005\r\n", 5},
                    PipeFailureCase{"NoMessageMode", bytePipe(), "checkNamedPipe failed (4): 00000057\r\n", 87}),
    [](const testing::TestParamInfo<PipeFailureCase>& info) { return std::string(info.param.name); });

// ---- who serves the pipe ----

struct ServerCase {
    const char* name;
    std::wstring owner;  // of the pipe, whose creating process has ended
    bool trusted;
};

class UnknownServerTest : public testing::TestWithParam<ServerCase> {};

// A server whose process cannot be opened is judged by the pipe's owner.
TEST_P(UnknownServerTest, IsTrustedOnlyOnAPipeOfTheCallerOrAdministrators) {
    const ServerCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipeSettings settings;
    settings.adopted =
        orphanPipe(QAR_ORPHAN_PIPE_EXE, L"\\\\.\\pipe\\qarapp2_" + user, L"O:" + c.owner + L"D:(A;;GA;;;WD)");
    ASSERT_NE(settings.adopted, INVALID_HANDLE_VALUE);
    PipePeer peer(clientPipe(user), settings);
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({L"x"}, user);
    EXPECT_EQ(r.out, "");
    if (c.trusted) {
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(peer.finish().messages, std::vector<std::string>{"x"});
    } else {
        EXPECT_EQ(r.exitCode, 5u);
        EXPECT_EQ(r.err,
                  "checkNamedPipe failed (3): 00000005 (the pipe's server does not run as the current user)\r\n");
        EXPECT_TRUE(peer.finish().messages.empty()) << "nothing is written to it";
    }
    EXPECT_FALSE(folder.clientStarted());
}

INSTANTIATE_TEST_SUITE_P(
    Owners, UnknownServerTest,
    testing::Values(ServerCase{"Caller", currentUserSid(), true}, ServerCase{"Administrators", L"BA", true},
                    ServerCase{"AnotherUser", L"S-1-5-21-1111-2222-3333-1002", false},
                    ServerCase{"LocalSystem", L"SY", false}),
    [](const testing::TestParamInfo<ServerCase>& info) { return std::string(info.param.name); });

TEST(PipeWait, WaitsForAnInstanceUpToTheClientsTimeOut) {
    // The one instance is busy at first and free again long before the
    // pipe's default time-out ends: the launcher waits and gets through.
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    PipeSettings settings;
    settings.busyForMs = 1000;
    settings.defaultTimeoutMs = 15000;
    PipePeer peer(clientPipe(user), settings);
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({L"x"}, user);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(peer.finish().messages, std::vector<std::string>{"x"});
    EXPECT_FALSE(folder.clientStarted());
}

// ---- the user name ----

struct UserNameCase {
    const char* name;
    std::optional<std::wstring> user;
    const char* err;
    DWORD exitCode;
};

class UserNameTest : public testing::TestWithParam<UserNameCase> {};

TEST_P(UserNameTest, UnusableUserNameIsRefused) {
    const UserNameCase& c = GetParam();
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    ProcessResult r = folder.run({L"x"}, c.user);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(folder.clientStarted());
}

// "\\.\pipe\qarapp2_" takes 17 of the pipe name's 259 characters.
INSTANTIATE_TEST_SUITE_P(
    Values, UserNameTest,
    testing::Values(UserNameCase{"Unset", std::nullopt, "checkNamedPipe failed (1): 000000cb\r\n", 203},
                    UserNameCase{"Empty", L"", "checkNamedPipe failed (1): 000000cb\r\n", 203},
                    UserNameCase{"LongerThanItsBuffer", std::wstring(256, L'u'),
                                 "checkNamedPipe failed (1): 0000007a\r\n", 122},
                    UserNameCase{"LongestThatFitsItsBuffer", std::wstring(255, L'u'),
                                 "checkNamedPipe failed (1): 0000007a\r\n", 122},
                    UserNameCase{"PipeNameOneTooLong", std::wstring(243, L'u'),
                                 "checkNamedPipe failed (1): 0000007a\r\n", 122}),
    [](const testing::TestParamInfo<UserNameCase>& info) { return std::string(info.param.name); });

TEST(UserName, LongestThatFitsThePipeNameIsForwarded) {
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring user = uniqueUser();
    user += std::wstring(242 - user.size(), L'u');
    PipePeer peer(clientPipe(user));
    ASSERT_TRUE(peer.ok()) << peer.error();
    ProcessResult r = folder.run({L"x"}, user);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(peer.finish().messages, std::vector<std::string>{"x"});
}

// ---- starting the client ----

struct StartCase {
    const char* name;
    std::optional<std::wstring> parameter;
    std::wstring commandLine;  // what the client receives
};

class StartTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartTest, StartsClientFromOwnFolderWithQuotedFileName) {
    const StartCase& c = GetParam();
    // A folder name with a space and characters outside ASCII.
    LauncherFolder folder(L"launcher Zo\u00eb \u03a9");
    ASSERT_TRUE(folder.ready());
    std::vector<std::wstring> args;
    if (c.parameter) args.push_back(*c.parameter);
    ProcessResult r = folder.run(args, uniqueUser());
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "QAR Client exe path: " + toUtf8(folder.clientPath()) + "\r\n");
    EXPECT_EQ(r.err, "");
    auto record = folder.waitForClient();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ((*record)["commandLine"], toUtf8(c.commandLine));
    // Read back by the client's runtime: the parameter, whole, as one argument.
    EXPECT_EQ((*record)["argc"], c.parameter ? "2" : "1");
    if (c.parameter) {
        EXPECT_EQ((*record)["arg1"], toUtf8(*c.parameter));
    }
    EXPECT_EQ((*record)["desktop"], "winsta0\\default");
    EXPECT_EQ((*record)["flags"], std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ((*record)["showWindow"], std::to_string(SW_SHOW));
    EXPECT_EQ((*record)["consoleFlags"], "1") << "CREATE_NEW_PROCESS_GROUP";
    EXPECT_EQ((*record)["currentDir"], toUtf8(LauncherFolder::workingDir()));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, StartTest,
    testing::Values(StartCase{"NoParameter", std::nullopt, L"\"QAR Client.exe\""},
                    StartCase{"Plain", L"open-document", L"\"QAR Client.exe\" \"open-document\""},
                    StartCase{"WithSpaces", L"a b", L"\"QAR Client.exe\" \"a b\""},
                    // Quotes escaped, backslashes before a quote or the end doubled.
                    StartCase{"EmbeddedQuote", L"say \"hi\"", L"\"QAR Client.exe\" \"say \\\"hi\\\"\""},
                    StartCase{"QuotesAroundAnOption", L"x\" --opt \"y", L"\"QAR Client.exe\" \"x\\\" --opt \\\"y\""},
                    StartCase{"OnlyQuotes", L"\"\"", L"\"QAR Client.exe\" \"\\\"\\\"\""},
                    StartCase{"TrailingBackslash", L"C:\\dir\\", L"\"QAR Client.exe\" \"C:\\dir\\\\\""},
                    StartCase{"BackslashesBeforeAQuote", L"a\\\\\"b", L"\"QAR Client.exe\" \"a\\\\\\\\\\\"b\""},
                    // Backslashes elsewhere stay single.
                    StartCase{"UncPath", L"\\\\server\\share\\a b", L"\"QAR Client.exe\" \"\\\\server\\share\\a b\""},
                    StartCase{"Empty", L"", L"\"QAR Client.exe\" \"\""},
                    StartCase{"NonAscii", L"Gr\u00fc\u00dfe \u20ac", L"\"QAR Client.exe\" \"Gr\u00fc\u00dfe \u20ac\""},
                    // The pipe's 1023-byte limit does not apply to the command line.
                    StartCase{"Long", std::wstring(2000, L'a'),
                              L"\"QAR Client.exe\" \"" + std::wstring(2000, L'a') + L"\""}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

TEST(Start, LauncherDoesNotWaitForTheClient) {
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    ProcessResult r = folder.run({}, uniqueUser());
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    auto record = folder.waitForClient();
    ASSERT_TRUE(record.has_value());
    // The client waits for the folder's teardown: it must still run now.
    HANDLE client = OpenProcess(SYNCHRONIZE, FALSE, std::stoul((*record)["pid"]));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(WaitForSingleObject(client, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(client);
}

TEST(Start, MissingClientIsReportedWithItsPath) {
    LauncherFolder folder(L"launcher test", false);
    ASSERT_TRUE(folder.ready());
    ProcessResult r = folder.run({L"x"}, uniqueUser());
    EXPECT_EQ(r.exitCode, 2u);
    std::string path = toUtf8(folder.clientPath());
    EXPECT_EQ(r.out, "QAR Client exe path: " + path + "\r\n");
    EXPECT_EQ(r.err, "startQarClient failed (4): File not found: " + path + "\r\n");
}

TEST(Start, ClientThatIsNoProgramIsReportedWithTheError) {
    LauncherFolder folder(L"launcher test", false);
    ASSERT_TRUE(folder.ready());
    ASSERT_TRUE(writeFile(folder.clientPath(), "not a program"));
    ProcessResult r = folder.run({}, uniqueUser());
    EXPECT_EQ(r.exitCode, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(r.out, "QAR Client exe path: " + toUtf8(folder.clientPath()) + "\r\n");
    EXPECT_EQ(r.err, "startQarClient failed (4): 000000c1\r\n");
}

// ---- the launcher's own path ----

// Runs a copy of the launcher named launcherName from a new folder inside
// folder, so that the copy's full path has launcherPathLength characters.
// Returns the new folder's path through subDir.
ProcessResult runFromDeepFolder(const LauncherFolder& folder, size_t launcherPathLength,
                                const std::wstring& launcherName, std::wstring& subDir) {
    size_t part = launcherPathLength - folder.dir().size() - 2 - launcherName.size();
    subDir = folder.dir() + L"\\" + std::wstring(part, L'd');
    // The long form lifts the 248-character limit of CreateDirectoryW and MAX_PATH.
    std::wstring longSubDir = L"\\\\?\\" + subDir;
    if (part > 255 || !CreateDirectoryW(longSubDir.c_str(), nullptr) ||
        !CopyFileW(winPath(LAUNCHER_EXE).c_str(), (longSubDir + L"\\" + launcherName).c_str(), TRUE)) {
        ProcessResult failed;
        failed.err = "test: cannot set up the deep folder";
        return failed;
    }
    // Started by a path relative to the outer folder: Wine starts no program
    // by a full path beyond MAX_PATH, but resolves the relative one.
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.dir().c_str());
    ProcessResult r = runProgram(subDir.substr(folder.dir().size() + 1) + L"\\" + launcherName, {}, folder.options(uniqueUser()));
    SetCurrentDirectoryW(previous);
    DeleteFileW((longSubDir + L"\\" + launcherName).c_str());
    RemoveDirectoryW(longSubDir.c_str());
    return r;
}

// The path buffer holds 259 characters and the terminator.
TEST(OwnPath, ClientPathOfMaximumLengthIsUsed) {
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring subDir;
    ProcessResult r = runFromDeepFolder(folder, 250, L"l.exe", subDir);
    std::string client = toUtf8(subDir + L"\\QAR Client.exe");
    ASSERT_EQ(client.size(), 259u);
    EXPECT_EQ(r.exitCode, 2u) << r.err;
    EXPECT_EQ(r.out, "QAR Client exe path: " + client + "\r\n");
    EXPECT_EQ(r.err, "startQarClient failed (4): File not found: " + client + "\r\n");
}

TEST(OwnPath, ClientPathBeyondTheBufferIsRefused) {
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring subDir;
    ProcessResult r = runFromDeepFolder(folder, 251, L"l.exe", subDir);
    EXPECT_EQ(r.exitCode, 0xFFFFFFFEu);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "startQarClient failed (3): PathAppendW failed\r\n");
}

TEST(OwnPath, OwnPathCutShortIsRefusedRatherThanNamingAnotherFolder) {
    // Cut to 259 characters, the path would end inside the deep folder's name,
    // and its folder would be the outer one, where a client waits.
    LauncherFolder folder;
    ASSERT_TRUE(folder.ready());
    std::wstring subDir;
    ProcessResult r = runFromDeepFolder(folder, 280, L"launcher.exe", subDir);
    EXPECT_EQ(r.exitCode, 122u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "startQarClient failed (1): 0000007a\r\n");
    EXPECT_FALSE(folder.clientStarted());
}

}  // namespace
