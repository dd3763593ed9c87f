// The update road driven the way the client drives it, against Wine's real
// service control manager: software-update as an ordinary process, the
// service started by the SCM, the clone and the marker file.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <cstdio>

#include "exit_codes.h"
#include "handoff.h"
#include "marker_file.h"
#include "pipe_recorder.h"
#include "test_pki.h"
#include "road_fixture.h"
#include "system_only_dacl.h"
#include "wine_process.h"

using namespace qartest;
using namespace road;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The text with the timestamp taken off every line, each line preceded by a
// line feed, so that expectations can span several lines.
std::string untimed(const std::string& text) {
    std::string out;
    for (const std::string& line : unstampedLines(text)) out += "\n" + line;
    return out + "\n";
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

ProcessResult run(const std::vector<std::wstring>& args) { return runProgram(QARUPDATESERVICE_EXE, args); }

std::wstring unsignedInstaller() { return winPath(QAR_TEST_INSTALLER_EXE); }

class UpdateRoad : public testing::Test {
protected:
    void SetUp() override {
        cleanUp();
        removeWorkDirectories();
        installRealService();
    }
    void TearDown() override {
        cleanUp();
        removeService();
        removeWorkDirectories();
    }
    static void cleanUp() {
        killProcesses(L"qus_clone.exe");
        DeleteFileW(MARKER);
        removeLogFiles();
        removeTree(TEST_ROOT);
    }
};

TEST_F(UpdateRoad, UnsignedInstallerIsCopiedButNeverRun) {
    writeInstallerSettings(std::wstring(TEST_ROOT) + L"\\installer-proof.txt", L"C:\\nowhere\\app.exe");
    ProcessResult r = run({L"software-update", unsignedInstaller(), L"/VERBOSE"});
    std::string out = untimed(r.out);
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << out;
    EXPECT_TRUE(contains(out, "\nCreating the clone...\n")) << out;
    EXPECT_TRUE(contains(out, "\nCloning " + toUtf8(winPath(QARUPDATESERVICE_EXE)) + " to " + toUtf8(tempDir()) +
                                  "\\qus_clone.exe...\n"))
        << out;
    EXPECT_TRUE(contains(out, "\nStarting the clone...\n"));
    EXPECT_TRUE(contains(out, "\nService start pending...\n\n"));
    EXPECT_TRUE(contains(out, "\nService started successfully.\n\n"));
    EXPECT_TRUE(contains(out, "\nQAR Client Updater Service successfully started.\n"));

    ASSERT_TRUE(waitServiceStopped(20000));
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nqarupdateservice execution callback logging enabled\n")) << log;
    EXPECT_TRUE(contains(log, "\nPath of the installer executable:\n")) << log;
    EXPECT_TRUE(contains(log, "\n" + toUtf8(unsignedInstaller()) + "\n"));
    EXPECT_TRUE(contains(log, "\nCopying the installer away to avoid TOCTOU attacks...\n"));
    EXPECT_TRUE(contains(log, "\nValidating the installer binary...\n"));
    EXPECT_TRUE(contains(log, "\nThe file is not signed or the signature is invalid - code 0x800b0100\n")) << log;
    EXPECT_FALSE(contains(log, "Signing certificate information:"));  // the signer is not examined
    EXPECT_TRUE(contains(log, "\nValidation failed! We're cancelling the installation.\n"));
    EXPECT_FALSE(contains(log, "Calling installer"));

    // The private copy: in a new folder named by a UUID, under the same
    // name, without extension, the same bytes.
    auto copies = installerCopies();
    ASSERT_EQ(copies.size(), 1u);
    ASSERT_EQ(workDirectories().size(), 1u);
    EXPECT_EQ(copies[0], workDirectories()[0] + copies[0].substr(copies[0].find_last_of(L'\\')));
    EXPECT_TRUE(contains(log, "\nPath of the copied installer executable:\n" + toUtf8(copies[0]) + "\n")) << log;
    // Folder and copy admit local system alone. (Wine keeps the DACL in the
    // Unix permissions, so the protection against inheritance and the owner
    // cannot be read back: the in-process work-area tests check them.)
    for (const std::wstring& object : {workDirectories()[0], copies[0]}) {
        ASSERT_TRUE(admitsLocalSystemAlone(object)) << toUtf8(object);
    }
    SetNamedSecurityInfoW(const_cast<wchar_t*>(copies[0].c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(readFile(copies[0]), readFile(unsignedInstaller()));
    EXPECT_FALSE(readFile(std::wstring(TEST_ROOT) + L"\\installer-proof.txt"));

    // The clone: a byte copy of the program, running as be-process-runner.
    EXPECT_EQ(readFile(tempDir() + L"\\qus_clone.exe"), readFile(winPath(QARUPDATESERVICE_EXE)));
    EXPECT_TRUE(processRunning(L"qus_clone.exe"));
}

TEST_F(UpdateRoad, SignedInstallerRunsAndTheApplicationIsRestarted) {
    ASSERT_EQ(trustTestRoot(), 0u);
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\Client Tool";
    std::wstring app = placeApplication(dir, L"Client Tool.exe");
    std::wstring installerProof = std::wstring(TEST_ROOT) + L"\\installer-proof.txt";
    writeInstallerSettings(installerProof, app);

    ProcessResult r = run({L"software-update", winPath(QAR_TEST_INSTALLER_SIGNED_EXE), L"/VERBOSE"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    std::string log = untimed(readLogFiles());
    auto copies = installerCopies();
    ASSERT_EQ(copies.size(), 1u) << log;
    std::string uuid = toUtf8(copies[0].substr(copies[0].find_last_of(L'\\') + 1));
    EXPECT_TRUE(contains(log, "\nThe file is signed and the signature is valid.\n")) << log;
    EXPECT_TRUE(contains(log, "\nSigning certificate information:\nNorvale Data AG\n"));
    EXPECT_TRUE(contains(log, "\nValidation successful. Starting the installer...\n"));
    EXPECT_TRUE(contains(log, "\nCalling installer: " + toUtf8(copies[0]) + " " + uuid +
                                  " /VERYSILENT /SUPPRESSMSGBOXES /LOG\n"))
        << log;
    // The service waits up to a second between these two lines; the requester,
    // whose log file has the same name when it started in the same second,
    // may append its own lines in between.
    size_t started = log.find("\nInstaller process started, waiting for process handle...\n");
    EXPECT_NE(started, std::string::npos) << log;
    EXPECT_NE(log.find("\nInstaller process ID: ", started), std::string::npos) << log;
    EXPECT_TRUE(contains(log, "\nQAR Client Updater Service successfully executed.\n"));

    // The installer ran as the service's child with the fixed arguments and,
    // not being local system under Wine, commit-installation started the
    // application at once.
    EXPECT_EQ(waitForFile(installerProof, 10000), uuid + " /VERYSILENT /SUPPRESSMSGBOXES /LOG\n");
    EXPECT_EQ(waitForFile(dir + L"\\app-proof.txt", 10000), "Client Tool.exe\n");

    // On Windows commit-installation runs as local system and writes the
    // marker instead; the waiting clone then starts the application.
    ASSERT_TRUE(processRunning(L"qus_clone.exe"));
    ASSERT_EQ(writeMarkerFile(MARKER, app.c_str()), 0u);
    std::string proof;
    for (int i = 0; i < 50 && count(proof, "Client Tool.exe\n") < 2; ++i) {
        Sleep(100);
        proof = readFile(dir + L"\\app-proof.txt").value_or("");
    }
    EXPECT_EQ(proof, "Client Tool.exe\nClient Tool.exe\n");
    for (int i = 0; i < 50 && processRunning(L"qus_clone.exe"); ++i) Sleep(100);
    EXPECT_FALSE(processRunning(L"qus_clone.exe")) << "the clone ends once it started the application";
}

TEST_F(UpdateRoad, MissingInstallerFailsInTheCopy) {
    ProcessResult r = run({L"-v", L"software-update", tempDir() + L"\\no-such-installer.exe"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nCopyFileW failed - code 0x00000002\n")) << log;
    EXPECT_TRUE(contains(log, "\nCopying the installer failed! We're cancelling the installation.\n"));
    EXPECT_TRUE(installerCopies().empty());
}

TEST_F(UpdateRoad, ServiceStartedWithoutInstallerPath) {
    // software-update as the last element names no installer. A marker left
    // from an earlier update is deleted by every start of the service.
    ASSERT_TRUE(writeFile(MARKER, "C:\\old\\app.exe\r\n"));
    ProcessResult r = run({L"/VERBOSE", L"software-update"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    EXPECT_FALSE(readFile(MARKER));
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nThe path of the installer is missing. - code 0x00000000\n")) << log;
    EXPECT_FALSE(contains(log, "Copying the installer away"));
}

TEST_F(UpdateRoad, LaterSoftwareUpdateElementNamesTheInstaller) {
    // The command line allows one command word; the service's own scan is
    // reached by a direct start with arguments.
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_START);
    const wchar_t* args[] = {L"QARUpdateService", L"software-update", L"C:\\first.exe",
                             L"software-update", L"C:\\second.exe", L"--verbose"};
    ASSERT_TRUE(StartServiceW(svc, 6, args)) << GetLastError();
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    ASSERT_TRUE(waitServiceStopped(20000));
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nPath of the installer executable:\n")) << log;
    EXPECT_TRUE(contains(log, "\nC:\\second.exe\n"));
    EXPECT_FALSE(contains(log, "first.exe"));
}

// A stand-in registered under the service's name holds the states that the
// real service passes through too quickly.
class ServiceStates : public UpdateRoad {
protected:
    void SetUp() override {
        cleanUp();
        removeService();
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE svc = CreateServiceW(scm, L"QARUpdateService", L"QAR Client Update Service", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       winPath(QAR_TEST_SERVICE_EXE).c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
        ASSERT_TRUE(svc) << GetLastError();
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
    }

    void startStandIn(const wchar_t* mode, DWORD expectedState) {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_START | SERVICE_QUERY_STATUS);
        const wchar_t* args[] = {L"QARUpdateService", mode};
        ASSERT_TRUE(StartServiceW(svc, 2, args)) << GetLastError();
        SERVICE_STATUS status = {};
        for (int i = 0; i < 100 && status.dwCurrentState != expectedState; ++i) {
            Sleep(100);
            QueryServiceStatus(svc, &status);
        }
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        ASSERT_EQ(status.dwCurrentState, expectedState);
    }
};

TEST_F(ServiceStates, AlreadyRunningServiceIsNotStartedAgain) {
    startStandIn(L"stay-running", SERVICE_RUNNING);
    ProcessResult r = run({L"software-update", unsignedInstaller()});
    EXPECT_EQ(r.exitCode, exitCodeOf(UpdateRequest::AlreadyRunning)) << r.out;
    EXPECT_TRUE(contains(untimed(r.out), "\nFailed to start the service because it's already running. - code 0x"))
        << r.out;
    // The clone was started before and keeps polling.
    EXPECT_TRUE(processRunning(L"qus_clone.exe"));
}

TEST_F(ServiceStates, StopThatNeverProgressesEndsTheWait) {
    startStandIn(L"stop-pending", SERVICE_STOP_PENDING);
    ProcessResult r = run({L"software-update", unsignedInstaller()});
    EXPECT_EQ(r.exitCode, exitCodeOf(UpdateRequest::StopTimedOut)) << r.out;
    EXPECT_TRUE(contains(untimed(r.out), "\nTimeout waiting for the service to stop. - code 0x")) << r.out;
}

// Installer paths that an ordinary user could hand to the service, which
// opens what they name as local system. {pipe} stands for the name of a pipe
// that a hostile server of the test serves: it records whether the service
// ever connected, and would keep it waiting if it did.
struct HostilePath {
    const char* name;
    const wchar_t* path;
    const char* refusal;
    DWORD code;  // of the "CopyFileW failed" line
};

const HostilePath HOSTILE_PATHS[] = {
    {"PipeInDeviceNamespace", L"\\\\.\\pipe\\{pipe}", "it names the device namespace", ERROR_BAD_PATHNAME},
    {"PipeInWin32Namespace", L"\\\\?\\pipe\\{pipe}", "it names the device namespace", ERROR_BAD_PATHNAME},
    {"PipeWithForwardSlashes", L"//./pipe/{pipe}", "it names the device namespace", ERROR_BAD_PATHNAME},
    {"PipeThroughGlobalRoot", L"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\{pipe}", "it names the device namespace",
     ERROR_BAD_PATHNAME},
    {"PipeThroughLoopbackShare", L"\\\\127.0.0.1\\pipe\\{pipe}", "it is a UNC path", ERROR_BAD_PATHNAME},
    {"UncShare", L"\\\\qar-attacker\\share\\setup.exe", "it is a UNC path", ERROR_BAD_PATHNAME},
    {"NulDevice", L"\\\\.\\NUL", "it names the device namespace", ERROR_BAD_PATHNAME},
    {"Console", L"CON", "it names a device", ERROR_BAD_PATHNAME},
    {"DeviceNameInAFolder", L"C:\\windows\\temp\\nul.exe", "it names a device", ERROR_BAD_PATHNAME},
    {"UnmappedDrive", L"Q:\\setup.exe", "its drive is not a local volume", ERROR_BAD_PATHNAME},
    {"RelativePath", L"setup.exe", "it is not a full path that starts with a drive letter", ERROR_BAD_PATHNAME},
    {"Directory", L"C:\\windows", "it is a directory", ERROR_ACCESS_DENIED},
};

std::wstring replacePipe(std::wstring path, const std::wstring& pipe) {
    size_t at = path.find(L"{pipe}");
    if (at != std::wstring::npos) path.replace(at, 6, pipe);
    return path;
}

std::string codeText(DWORD code) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(code));
    return text;
}

class HostileInstallerPath : public UpdateRoad, public testing::WithParamInterface<HostilePath> {};

TEST_P(HostileInstallerPath, IsRefusedAndTheNextRequestIsServed) {
    ASSERT_EQ(GetDriveTypeW(L"Q:\\"), (UINT)DRIVE_NO_ROOT_DIR) << "the prefix maps Q:";
    std::wstring pipeName = L"qar-hostile-" + std::to_wstring(GetCurrentProcessId());
    PipeRecorder recorder(pipeName);
    ASSERT_TRUE(recorder.ok());
    std::wstring path = replacePipe(GetParam().path, pipeName);

    ProcessResult r = run({L"software-update", path, L"/VERBOSE"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000)) << "the service hangs on " << toUtf8(path);
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nPath of the installer executable:\n" + toUtf8(path) + "\n")) << log;
    EXPECT_TRUE(contains(log, std::string("\nThe installer path is refused: ") + GetParam().refusal + ".\n" +
                                  "CopyFileW failed - code " + codeText(GetParam().code) + "\n" +
                                  "Copying the installer failed! We're cancelling the installation.\n"))
        << log;
    EXPECT_FALSE(contains(log, "Validating the installer binary"));
    EXPECT_FALSE(recorder.connected()) << "the service opened the pipe, impersonation level " << recorder.level();
    EXPECT_TRUE(workDirectories().empty());

    // The service is free for the next request, which is served.
    removeLogFiles();
    r = run({L"software-update", unsignedInstaller(), L"/VERBOSE"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nValidating the installer binary...\n")) << log;
    EXPECT_EQ(installerCopies().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Paths, HostileInstallerPath, testing::ValuesIn(HOSTILE_PATHS),
                         [](const testing::TestParamInfo<HostilePath>& info) { return std::string(info.param.name); });

TEST_F(UpdateRoad, WorkDirectoriesOfEarlierRunsAreRemovedAtTheNextStart) {
    // A first update shows where the service keeps its work folders.
    ProcessResult r = run({L"software-update", unsignedInstaller()});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    ASSERT_EQ(workDirectories().size(), 1u);
    const std::wstring first = workDirectories()[0];
    const std::wstring temp = first.substr(0, first.find_last_of(L'\\'));

    // Left-overs as earlier runs (or somebody else) could have left them.
    const std::wstring withLink = temp + L"\\0f8fad5b-d9cb-469f-a165-70867728950e";
    const std::wstring inUse = temp + L"\\7c9e6679-7425-40de-944b-e07fc1f90ae7";
    const std::wstring nested = temp + L"\\16fd2706-8baf-433b-82eb-8c7fada847da";
    const std::wstring other = temp + L"\\qar-not-a-work-directory";
    const std::wstring outside = std::wstring(TEST_ROOT) + L"\\outside.txt";
    // The fixture removes work folders only; a run that failed half-way left this one.
    removeTree(other);
    CreateDirectoryW(TEST_ROOT, nullptr);
    ASSERT_TRUE(writeFile(outside, "outside the temp folder"));
    for (const auto& dir : {withLink, inUse, nested, other, nested + L"\\sub"}) {
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << toUtf8(dir);
    }
    ASSERT_TRUE(CreateHardLinkW((withLink + L"\\link.txt").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(writeFile(inUse + L"\\copy", "running installer"));
    ASSERT_TRUE(writeFile(nested + L"\\sub\\keep.txt", "keep"));
    ASSERT_TRUE(writeFile(other + L"\\keep.txt", "keep"));
    // Held as the loader holds a running installer's image: not deletable.
    HANDLE running = CreateFileW((inUse + L"\\copy").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    ASSERT_NE(running, INVALID_HANDLE_VALUE);

    removeLogFiles();
    r = run({L"software-update", unsignedInstaller(), L"/VERBOSE"});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    std::string log = untimed(readLogFiles());
    EXPECT_TRUE(contains(log, "\nRemoved the work directory of an earlier update: " + toUtf8(first) + "\n")) << log;
    EXPECT_TRUE(contains(log, "\nRemoved the work directory of an earlier update: " + toUtf8(withLink) + "\n"));
    EXPECT_TRUE(contains(log, "\nKeeping the work directory of an earlier update: " + toUtf8(inUse) + "\n"));
    EXPECT_TRUE(contains(log, "\nKeeping the work directory of an earlier update: " + toUtf8(nested) + "\n"));
    EXPECT_EQ(GetFileAttributesW(first.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(withLink.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(readFile(outside), "outside the temp folder") << "a link was followed";
    EXPECT_EQ(readFile(inUse + L"\\copy"), "running installer");
    EXPECT_EQ(readFile(nested + L"\\sub\\keep.txt"), "keep") << "a sub-folder was entered";
    EXPECT_EQ(readFile(other + L"\\keep.txt"), "keep");
    auto dirs = workDirectories();
    EXPECT_EQ(dirs.size(), 3u);  // in use, nested, and this run's

    // Once the installer has ended, its folder goes at the next start.
    CloseHandle(running);
    r = run({L"software-update", unsignedInstaller()});
    ASSERT_EQ(r.exitCode, exitCodeOf(UpdateRequest::ServiceRunning)) << r.out << r.err;
    ASSERT_TRUE(waitServiceStopped(20000));
    EXPECT_EQ(GetFileAttributesW(inUse.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(workDirectories().size(), 2u);  // nested, and this run's
    removeTree(nested);
    removeTree(other);
}

TEST(Requester, ServiceNotInstalled) {
    ProcessResult r = run({L"software-update", L"C:\\x.exe"});
    killProcesses(L"qus_clone.exe");
    EXPECT_EQ(r.exitCode, exitCodeOf(UpdateRequest::NoService)) << r.out;
    EXPECT_TRUE(contains(untimed(r.out), "\nFailed to access the service. - code 0x00000424\n")) << r.out;
}

class MarkerRoad : public testing::Test {
protected:
    void SetUp() override { cleanUp(); }
    void TearDown() override { cleanUp(); }
    static void cleanUp() {
        killProcesses(L"qus_clone.exe");
        DeleteFileW(MARKER);
        removeTree(TEST_ROOT);
    }
};

TEST_F(MarkerRoad, CloneStartsTheMarkedApplicationByItsBareFileName) {
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\Client Tool";
    std::wstring app = placeApplication(dir, L"Client Tool.exe");
    ASSERT_TRUE(writeFile(MARKER, toUtf8(app) + "\r\n"));  // as commit-installation writes it

    ProcessResult r = run({L"be-process-runner"});
    std::string out = untimed(r.out);
    EXPECT_EQ(r.exitCode, exitCodeOf(RunnerResult::ApplicationStarted)) << out;
    EXPECT_TRUE(contains(out, "\nbeProcessRunner\n"));
    EXPECT_TRUE(contains(out, "\nMarker file found, path to application is:\n" + toUtf8(app) +
                                  "\nStarting application...\n"))
        << out;
    EXPECT_EQ(waitForFile(dir + L"\\app-proof.txt", 10000), "Client Tool.exe\n");
    EXPECT_TRUE(readFile(MARKER)) << "the clone never deletes the marker";
}

// Starts the program with its standard output in outPath, which the test can
// read while it runs; the caller closes the returned process handle.
HANDLE startWithOutput(const std::vector<std::wstring>& args, const std::wstring& outPath) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             &sa, CREATE_ALWAYS, 0, nullptr);
    std::wstring commandLine = quoteArg(winPath(QARUPDATESERVICE_EXE));
    for (const auto& a : args) commandLine += L" " + quoteArg(a);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(winPath(QARUPDATESERVICE_EXE).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &si, &pi);
    CloseHandle(out);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits until text occurs at least n times in the file; false after 60 s.
bool waitForOutput(const std::wstring& path, const std::string& text, size_t n) {
    for (int i = 0; i < 600; ++i) {
        if (count(stripCr(readFile(path).value_or("")), text) >= n) return true;
        Sleep(100);
    }
    return false;
}

TEST_F(MarkerRoad, ClonePollsUntilATrustworthyMarkerAppears) {
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\app";
    std::wstring app = placeApplication(dir, L"app.exe");
    std::wstring output = std::wstring(TEST_ROOT) + L"\\clone-output.txt";
    ASSERT_TRUE(writeFile(MARKER, ""));

    // Each phase lasts until the clone has polled through it, however slowly
    // it runs (under emulation a start alone takes seconds).
    HANDLE clone = startWithOutput({L"be-process-runner"}, output);
    ASSERT_TRUE(clone);
    const std::string missing = "  Path to application missing in marker file (shouldn't happen!)\n";
    const std::string ignored =
        "  Ignoring a marker file that is a link or was not written by the system, an administrator or this user\n";
    EXPECT_TRUE(waitForOutput(output, missing, 2));

    // A hard link to somebody else's file is no marker to trust.
    std::wstring planted = std::wstring(TEST_ROOT) + L"\\planted.txt";
    writeFile(planted, toUtf8(app) + "\r\n");
    DeleteFileW(MARKER);
    ASSERT_TRUE(CreateHardLinkW(MARKER, planted.c_str(), nullptr)) << GetLastError();
    EXPECT_TRUE(waitForOutput(output, ignored, 1));

    DeleteFileW(MARKER);
    ASSERT_EQ(writeMarkerFile(MARKER, app.c_str()), 0u);
    EXPECT_EQ(WaitForSingleObject(clone, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(clone, &exitCode);
    CloseHandle(clone);
    EXPECT_EQ(exitCode, exitCodeOf(RunnerResult::ApplicationStarted)) << readFile(output).value_or("");
    EXPECT_EQ(waitForFile(dir + L"\\app-proof.txt", 10000), "app.exe\n");
}

TEST_F(MarkerRoad, PathBeyondLatin1TravelsThroughTheMarker) {
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\\u041a\u043b\u0438\u0435\u043d\u0442";
    std::wstring app = placeApplication(dir, L"\u041a\u043b\u0438\u0435\u043d\u0442.exe");
    ASSERT_EQ(writeMarkerFile(MARKER, app.c_str()), 0u);
    ProcessResult r = run({L"be-process-runner"});
    EXPECT_EQ(r.exitCode, exitCodeOf(RunnerResult::ApplicationStarted)) << r.out;
    EXPECT_EQ(waitForFile(dir + L"\\app-proof.txt", 10000), toUtf8(L"\u041a\u043b\u0438\u0435\u043d\u0442.exe\n"));
}

TEST_F(MarkerRoad, CommitByAnOrdinaryUserStartsTheApplicationAtOnce) {
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\Client Tool";
    std::wstring app = placeApplication(dir, L"Client Tool.exe");
    ProcessResult r = run({L"commit-installation", app});
    std::string out = untimed(r.out);
    EXPECT_EQ(r.exitCode, exitCodeOf(CommitResult::Committed)) << out;
    EXPECT_TRUE(contains(out, "\nCommitting the QAR Client installation.\n\n"));
    EXPECT_TRUE(contains(out, "\ncommitInstallation will start the following binary:\n" + toUtf8(app) + "\n"));
    EXPECT_TRUE(contains(out, "\nStarting application directly...\n"));
    EXPECT_TRUE(contains(out, "\nQAR Client installation successfully committed.\n"));
    EXPECT_EQ(waitForFile(dir + L"\\app-proof.txt", 10000), "Client Tool.exe\n");
    EXPECT_FALSE(readFile(MARKER));
}

TEST_F(MarkerRoad, CommitOfAMissingApplicationFails) {
    std::wstring app = std::wstring(TEST_ROOT) + L"\\missing\\app.exe";
    ProcessResult r = run({L"commit-installation", app});
    std::string out = untimed(r.out);
    EXPECT_EQ(r.exitCode, exitCodeOf(CommitResult::ApplicationNotStarted)) << out;
    EXPECT_TRUE(contains(out, "\nFailed to start process: " + toUtf8(app) + " - code 0x00000003\n")) << out;
    EXPECT_TRUE(contains(out, "\nFailed to start the application - code 0x00000003\n")) << out;
    EXPECT_FALSE(contains(out, "successfully committed"));
}

}  // namespace
