// The program's command line as its callers use it: exit codes, usage text,
// console lines, the log file and the event source's registry values.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "command_line.h"
#include "exit_codes.h"
#include "handoff.h"
#include "service_registration.h"
#include "service_run.h"
#include "wine_process.h"

using namespace qartest;

namespace {

// The exit codes that callers read (the Java client, setups, scripts): the
// names may change, the numbers may not.
static_assert(USAGE_EXIT_CODE == -1);
static_assert(exitCodeOf(InstallResult::Installed) == 0 && exitCodeOf(InstallResult::NoOwnPath) == 1 &&
              exitCodeOf(InstallResult::ExistingNotOpened) == 1 && exitCodeOf(InstallResult::NoManager) == 2 &&
              exitCodeOf(InstallResult::PathNotUpdated) == 2 && exitCodeOf(InstallResult::NotCreated) == 3);
static_assert(exitCodeOf(DeleteResult::Deleted) == 0 && exitCodeOf(DeleteResult::NoManager) == 1 &&
              exitCodeOf(DeleteResult::NotOpened) == 2 && exitCodeOf(DeleteResult::NotDeleted) == 3);
static_assert(exitCodeOf(UpdateRequest::ServiceRunning) == 0 && exitCodeOf(UpdateRequest::NoManager) == 1 &&
              exitCodeOf(UpdateRequest::NoService) == 2 && exitCodeOf(UpdateRequest::FirstQueryFailed) == 3 &&
              exitCodeOf(UpdateRequest::AlreadyRunning) == 4 && exitCodeOf(UpdateRequest::StopWaitQueryFailed) == 5 &&
              exitCodeOf(UpdateRequest::StopTimedOut) == 6 && exitCodeOf(UpdateRequest::StartFailed) == 7 &&
              exitCodeOf(UpdateRequest::StartQueryFailed) == 8 &&
              exitCodeOf(UpdateRequest::NotRunningAfterStart) == 9);
static_assert(exitCodeOf(RunnerResult::ApplicationStarted) == 0 && exitCodeOf(RunnerResult::NoMarker) == 1 &&
              exitCodeOf(RunnerResult::ApplicationNotStarted) == 1);
static_assert(exitCodeOf(CommitResult::Committed) == 0 && exitCodeOf(CommitResult::IdentityUnknown) == 1 &&
              exitCodeOf(CommitResult::MarkerNotWritten) == 1 && exitCodeOf(CommitResult::ApplicationNotStarted) == 1);
static_assert(exitCodeOf(ServiceRunResult::Ran) == 0 && exitCodeOf(ServiceRunResult::NoDispatcher) == 1);

const DWORD USAGE_CODE = static_cast<DWORD>(USAGE_EXIT_CODE);

const char USAGE[] =
    "\n"
    "Usage:\n"
    " qarupdateservice [options] [[command] params]\n"
    "\n"
    "Supported options:\n"
    " /?       -h --help     Display this message.\n"
    " /VERBOSE -v --verbose  Enable logging into the temp directory.\n"
    "                        If started from the SCM, we log into c:\\windows\\temp.\n"
    "\n"
    "Supported commands:\n"
    " install                Install the service in the services database and register\n"
    "                        the service executable as source for event log entry\n"
    "                        messages. Requires admin privileges.\n"
    " delete                 Remove the service from the services database. Requires\n"
    "                        admin privileges.\n"
    " software-update <path> Start the (installed) service, validate and run the\n"
    "                        installer at the specified <path>, with the following\n"
    "                        command-line arguments:\n"
    "                        /VERYSILENT /SUPPRESSMSGBOXES /LOG\n"
    "                        In addition, this binary clones itself, starts the clone\n"
    "                        and lets it wait for a marker file created by an invocation\n"
    "                        with commit-installation. The clone runs under the context\n"
    "                        of the user who has initially started the binary.\n"
    " commit-installation <path-to-application>\n"
    "                        Called by the installer to complete the installation.\n"
    "                        If we're running as SYSTEM, we create a marker file to\n"
    "                        trigger the start of the application, otherwise we start\n"
    "                        it directly.\n"
    "\n"
    "The service control manager invokes this binary without commands.\n"
    "In this case, it performs the actual software update.\n";

const std::wstring EVENT_SOURCE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QARUpdateService";

ProcessResult run(const std::vector<std::wstring>& args, const RunOptions& options = {}) {
    return runProgram(QARUPDATESERVICE_EXE, args, options);
}

// Standard output with the two event-source warnings that a non-admin run
// may print removed; everything else must be the usage text.
std::string withoutWarnings(const std::string& out) {
    std::string kept;
    for (const auto& line : lines(out)) {
        if (line.find("(OK if not run as admin)") == std::string::npos) kept += line + "\n";
    }
    return kept;
}

// Log files of this program in the temp folder.
std::vector<std::wstring> logFiles(const std::wstring& dir) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\log_qarupdateservice_*.txt").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return found;
    do found.push_back(dir + L"\\" + fd.cFileName); while (FindNextFileW(h, &fd));
    FindClose(h);
    return found;
}

struct UsageCase {
    std::vector<std::wstring> args;
    const char* why;
    const char* name;
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsUsageAndExitsMinusOne) {
    const UsageCase& c = GetParam();
    // A temp folder of its own shows that no log file is opened.
    std::wstring temp = makeTempDir(L"usage");
    RunOptions options;
    options.env = {{L"TEMP", temp}, {L"TMP", temp}};
    ProcessResult r = run(c.args, options);
    EXPECT_EQ(r.exitCode, USAGE_CODE) << c.why;
    EXPECT_EQ(withoutWarnings(r.out), USAGE) << c.why;
    EXPECT_EQ(r.out.find("current user"), std::string::npos) << c.why;
    EXPECT_TRUE(logFiles(temp).empty()) << c.why;
    removeTree(temp);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    testing::Values(UsageCase{{L"/?"}, "help", "Help"}, UsageCase{{L"-h"}, "short help", "ShortHelp"},
                    UsageCase{{L"--help"}, "long help", "LongHelp"},
                    UsageCase{{L"/VERBOSE", L"/?"}, "help wins over verbose, no log file", "VerboseThenHelp"},
                    UsageCase{{L"install", L"delete"}, "second command", "SecondCommand"},
                    UsageCase{{L"delete", L"delete"}, "same command twice", "SameCommandTwice"},
                    UsageCase{{L"commit-installation"}, "commit-installation without its path", "CommitWithoutPath"},
                    UsageCase{{L"commit-installation", L"install"}, "the path is examined and is a second command", "CommitPathIsACommand"},
                    UsageCase{{L"software-update", L"--help"}, "installer path that equals a help option", "InstallerPathIsHelp"},
                    UsageCase{{L"software-update", L"x", L"install"}, "software-update and install", "UpdateAndInstall"},
                    UsageCase{{L"foo", L"--help", L"install"}, "help before a command", "HelpBeforeCommand"},
                    UsageCase{{L"commit-installation", std::wstring(1024, L'a')}, "path longer than 1023", "ApplicationPathTooLong"}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

TEST(CommandLine, ProgramPathIsExaminedToo) {
    // Element 0 takes part in the scan: a program started as "/?" shows usage.
    std::wstring cmd = L"/? install";
    RunOptions options;
    options.commandLine = cmd;
    ProcessResult r = run({}, options);
    EXPECT_EQ(r.exitCode, USAGE_CODE);
    EXPECT_EQ(withoutWarnings(r.out), USAGE);
}

TEST(CommandLine, CommandWordsAreCaseSensitive) {
    // INSTALL is no command: the program takes the service path, and from a
    // console the dispatcher connection fails.
    ProcessResult r = run({L"INSTALL"});
    EXPECT_EQ(r.exitCode, exitCodeOf(ServiceRunResult::NoDispatcher));
    EXPECT_EQ(r.out.find("Installing the QAR Client Updater Service."), std::string::npos);
    EXPECT_NE(r.out.find("QAR Client Updater Service execution requested."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  StartServiceCtrlDispatcher failed. - code 0x00000427\r\n"), std::string::npos) << r.out;
}

TEST(CommandLine, ApplicationPathOfMaximumLengthIsAccepted) {
    // 1023 characters fit the buffer: the command is taken (not the usage text).
    ProcessResult r = run({L"commit-installation", std::wstring(1023, L'a')});
    EXPECT_NE(r.exitCode, USAGE_CODE);
    EXPECT_NE(r.out.find("Committing the QAR Client installation."), std::string::npos) << r.out;
}

TEST(Logging, LinesAreTimestampedAndEventsLeaveAnEmptyLine) {
    ProcessResult r = run({L"foo", L"delete"});
    ASSERT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted)) << r.out;
    std::vector<std::string> texts;
    for (const std::string& line : lines(r.out)) {
        if (line.empty()) continue;
        std::optional<std::string> text = unstamped(line);
        ASSERT_TRUE(text) << "not stamped: " << line;
        texts.push_back(*text);
    }
    // Every line of the console ends in CR LF; the event texts bring their own.
    EXPECT_NE(r.out.find("  Removing the QAR Client Updater Service.\r\n\r\n"), std::string::npos) << r.out;
    auto at = [&](const std::string& t) { return std::find(texts.begin(), texts.end(), t) - texts.begin(); };
    size_t user = at("* current user:");
    ASSERT_LT(user + 1, texts.size());
    wchar_t name[256];
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameW(name, &size));
    EXPECT_EQ(texts[user + 1], toUtf8(name));
    EXPECT_LT(user, (size_t)at("Removing the QAR Client Updater Service."));
}

TEST(Logging, VerboseWritesTheSameLinesToTheLogFile) {
    std::wstring temp = makeTempDir(L"verbose");
    RunOptions options;
    options.env = {{L"TEMP", temp}, {L"TMP", temp}};
    ProcessResult r = run({L"delete", L"--verbose"}, options);
    ASSERT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted)) << r.out;

    auto files = logFiles(temp);
    ASSERT_EQ(files.size(), 1u);
    std::regex name(R"(.*\\log_qarupdateservice_\d{8}_\d{6}\.txt$)");
    EXPECT_TRUE(std::regex_match(toUtf8(files[0]), name)) << toUtf8(files[0]);
    // The path line comes first, without a timestamp, on the console only.
    std::string firstLines = r.out.substr(r.out.find("logfile path: "));
    EXPECT_EQ(firstLines.substr(0, firstLines.find("\r\n")), "logfile path: " + toUtf8(files[0]));

    auto log = readFile(files[0]);
    ASSERT_TRUE(log);
    EXPECT_NE(log->find("  qarupdateservice logging enabled\r\n"), std::string::npos) << *log;
    EXPECT_NE(log->find("  * current user:\r\n"), std::string::npos);
    EXPECT_EQ(log->find("logfile path"), std::string::npos);
    // Each file line is a console line (the console has the warnings before it).
    // The file is a text-mode stream: event texts, which end in CR LF already,
    // keep their CR before the stream's own CR LF.
    auto withoutCr = [](std::string s) { s.erase(std::remove(s.begin(), s.end(), '\r'), s.end()); return s; };
    std::string console = withoutCr(r.out);
    for (const auto& line : lines(withoutCr(*log))) {
        if (!line.empty()) {
            EXPECT_NE(console.find(line + "\n"), std::string::npos) << line;
        }
    }
    removeTree(temp);
}

TEST(Logging, UnwritableTempFolderKeepsTheConsole) {
    std::wstring missing = L"C:\\no\\such\\folder";
    RunOptions options;
    options.env = {{L"TEMP", missing}, {L"TMP", missing}};
    ProcessResult r = run({L"-v", L"delete"}, options);
    EXPECT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted));
    EXPECT_NE(r.out.find("logfile path: C:\\no\\such\\folder\\log_qarupdateservice_"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  qarupdateservice logging enabled\r\n"), std::string::npos);
}

TEST(Logging, LogFileNeverFollowsALinkPlantedUnderItsName) {
    // Whoever can write the temp folder can guess the next names: hard links
    // to another file under each of them must not make us write into it.
    std::wstring temp = makeTempDir(L"planted");
    std::wstring victim = temp + L"\\victim.txt";
    ASSERT_TRUE(writeFile(victim, "victim"));
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    for (int second = 0; second < 6; ++second) {
        ULARGE_INTEGER at = t;
        at.QuadPart += second * 10000000ULL;
        FILETIME ft{at.LowPart, at.HighPart};
        SYSTEMTIME st;
        FileTimeToSystemTime(&ft, &st);
        wchar_t name[64];
        swprintf(name, 64, L"\\log_qarupdateservice_%04d%02d%02d_%02d%02d%02d.txt", st.wYear, st.wMonth, st.wDay,
                 st.wHour, st.wMinute, st.wSecond);
        ASSERT_TRUE(CreateHardLinkW((temp + name).c_str(), victim.c_str(), nullptr)) << GetLastError();
    }
    RunOptions options;
    options.env = {{L"TEMP", temp}, {L"TMP", temp}};
    ProcessResult r = run({L"-v", L"delete"}, options);
    EXPECT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted));
    EXPECT_NE(r.out.find("logfile path: "), std::string::npos);
    EXPECT_NE(r.out.find("  qarupdateservice logging enabled\r\n"), std::string::npos);  // the console still has it
    EXPECT_EQ(readFile(victim), "victim");
    removeTree(temp);
}

TEST(EventSource, RegistryValuesAreRewrittenOnEveryStart) {
    for (const std::vector<std::wstring>& args : {std::vector<std::wstring>{L"/?"}, {L"delete"}}) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY.c_str());
        run(args);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        wchar_t file[MAX_PATH] = {};
        DWORD type = 0, size = sizeof(file);
        EXPECT_EQ(RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, (BYTE*)file, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
        EXPECT_EQ(_wcsicmp(file, winPath(QARUPDATESERVICE_EXE).c_str()), 0) << toUtf8(file);
        EXPECT_EQ(size, (wcslen(file) + 1) * sizeof(wchar_t));
        DWORD types = 0;
        size = sizeof(types);
        EXPECT_EQ(RegQueryValueExW(key, L"TypesSupported", nullptr, &type, (BYTE*)&types, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_DWORD);
        EXPECT_EQ(types, 7u);
        RegCloseKey(key);
    }
}

}  // namespace
