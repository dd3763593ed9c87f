#include "service_run.h"

#include <rpc.h>
#include <shlwapi.h>
#include <strsafe.h>

#include <cwchar>

#include "command_line.h"
#include "explicit_security.h"
#include "installer_source.h"
#include "logging.h"
#include "messages.h"
#include "names.h"
#include "process_launch.h"
#include "scoped.h"
#include "signature.h"
#include "work_directory.h"

void (*workRoutine)(DWORD argc, LPWSTR* argv) = nullptr;

namespace {

// Written by the service thread only.
SERVICE_STATUS serviceStatus;
SERVICE_STATUS_HANDLE statusHandle;
DWORD checkPointCounter = 1;

// Every report advances the counter; only the first one carries it.
void reportStatus(DWORD state, DWORD waitHint, bool withCheckPoint = false) {
    DWORD checkPoint = checkPointCounter++;
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted = 0;
    serviceStatus.dwWin32ExitCode = 0;
    serviceStatus.dwServiceSpecificExitCode = 0;
    serviceStatus.dwCheckPoint = withCheckPoint ? checkPoint : 0;
    serviceStatus.dwWaitHint = waitHint;
    SetServiceStatus(statusHandle, &serviceStatus);
}

}  // namespace

void WINAPI serviceControlHandler(DWORD control) {
    wchar_t text[64];
    StringCchPrintfW(text, 64, L"serviceControlHandler: dwCtrl = %d", static_cast<int>(control));
    logLine(text);
}

void WINAPI svcMain(DWORD argc, LPWSTR* argv) {
    logLine(L"svcMain entered");
    statusHandle = RegisterServiceCtrlHandlerW(argc > 0 ? argv[0] : SERVICE_NAME, serviceControlHandler);
    if (!statusHandle) {
        logError(L"Failed to register the service control handler", GetLastError());
        return;
    }
    reportStatus(SERVICE_START_PENDING, 3000, true);
    reportStatus(SERVICE_RUNNING, 0);
    if (workRoutine) workRoutine(argc, argv);
    reportStatus(SERVICE_STOPPED, 0);
}

void performUpdate(DWORD argc, LPWSTR* argv) {
    logInfoEvent(MSG_EXECUTING);
    logLine(L"Preparing to run the installer...");
    reportStatus(SERVICE_RUNNING, 5000);
    if (argc < 2) {
        logError(L"The path of the installer is missing.", 0);
        return;
    }

    const wchar_t* installerPath = nullptr;
    bool verbose = false;
    for (DWORD i = 1; i < argc; ++i) {
        if (isVerboseOption(argv[i])) verbose = true;
        if (wcscmp(argv[i - 1], L"software-update") == 0) installerPath = argv[i];
    }
    if (verbose) {
        enableVerboseLogging(PROGRAM_NAME L" execution callback logging enabled");
        logCurrentUser();
    }
    if (!installerPath) {
        logError(L"The path of the installer is missing.", 0);
        return;
    }
    logLine(L"Path of the installer executable:");
    logLine(installerPath);
    reportStatus(SERVICE_RUNNING, 4000);

    logLine(L"Copying the installer away to avoid TOCTOU attacks...");
    wchar_t copyPath[MAX_PATH];
    ScopedHandle readGuard;
    if (copyInstallerAway(installerPath, copyPath, readGuard.receive()) != CopyStep::Copied) {
        logLine(L"Copying the installer failed! We're cancelling the installation.");
        return;
    }
    logLine(L"Path of the copied installer executable:");
    logLine(copyPath);

    logLine(L"Validating the installer binary...");
    if (!validateInstaller(copyPath).passed()) {
        logLine(L"Validation failed! We're cancelling the installation.");
        return;
    }
    logLine(L"Validation successful. Starting the installer...");
    reportStatus(SERVICE_RUNNING, 3000);
    if (runInstaller(copyPath) != InstallerRun::Started) {
        logLine(L"Running the installer failed.");
        return;
    }
    reportStatus(SERVICE_RUNNING, 0);
    logInfoEvent(MSG_EXECUTED);
}

CopyStep copyInstallerAway(const wchar_t* source, wchar_t (&target)[MAX_PATH], HANDLE* readGuard) {
    *readGuard = nullptr;
    wchar_t tempDir[MAX_PATH];
    DWORD length = serviceTempPathFunction(GetModuleHandleW(L"kernel32.dll"))(MAX_PATH, tempDir);
    if (length == 0 || length > MAX_PATH) {
        logError(L"GetTempPathW failed", GetLastError());
        return CopyStep::NoTempPath;
    }
    if (tempDir[length - 1] == L'\\') tempDir[length - 1] = L'\0';

    alignas(8) BYTE self[SECURITY_MAX_SID_SIZE];
    if (!processUserSid(self)) {
        logError(L"AllocateAndInitializeSid failed", GetLastError());
        return CopyStep::NoOwnerSid;
    }
    removeStaleWorkDirectories(tempDir, self);

    // Everything the user named is checked before it is opened; a refusal is a
    // failed copy.
    wchar_t sourcePath[MAX_PATH];
    const wchar_t* refusal = refuseInstallerPath(source, sourcePath);
    DWORD error = ERROR_BAD_PATHNAME;
    ScopedHandle input;
    if (!refusal) {
        input.reset(openInstallerSource(sourcePath, &error, &refusal));
    }
    if (!input) {
        if (refusal) {
            wchar_t text[256];
            StringCchPrintfW(text, 256, L"The installer path is refused: %s.", refusal);
            logLine(text);
        }
        logError(L"CopyFileW failed", error);
        return CopyStep::SourceRefused;
    }

    UUID uuid;
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) {
        logError(L"UuidCreate failed to create a unique id for the directory name", status);
        return CopyStep::NoUuid;
    }
    RPC_WSTR uuidText = nullptr;
    if (UuidToStringW(&uuid, &uuidText) != RPC_S_OK) {
        logError(L"UuidToStringW failed", GetLastError());
        return CopyStep::NoUuidText;
    }
    wchar_t uuidName[40];
    StringCchCopyW(uuidName, 40, reinterpret_cast<wchar_t*>(uuidText));
    RpcStringFreeW(&uuidText);
    CopyStep placed = placePrivateCopy(input.get(), tempDir, uuidName, self, target);
    if (placed != CopyStep::Copied) return placed;

    // Held until the installer has been started: readers (validation, the
    // loader) may open the copy, writers and deleters may not.
    *readGuard = CreateFileW(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (*readGuard == INVALID_HANDLE_VALUE) {
        *readGuard = nullptr;
        logError(L"CopyFileW failed", GetLastError());
        return CopyStep::CopyNotGuarded;
    }
    return CopyStep::Copied;
}

InstallerRun runInstaller(const wchar_t* copyPath) {
    wchar_t commandLine[256];
    StringCchPrintfW(commandLine, 256, L"%s %s", PathFindFileNameW(copyPath), INSTALLER_ARGUMENTS);
    wchar_t calling[512];
    StringCchPrintfW(calling, 512, L"Calling installer: %s %s", copyPath, commandLine);
    logLine(calling);

    PROCESS_INFORMATION process;
    if (launchProcess(copyPath, commandLine, false, &process) != Launch::Started) return InstallerRun::NotStarted;
    logLine(L"Installer process started, waiting for process handle...");
    WaitForSingleObject(process.hProcess, 1000);
    wchar_t idText[64];
    StringCchPrintfW(idText, 64, L"Installer process ID: %d", static_cast<int>(process.dwProcessId));
    logLine(idText);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return InstallerRun::Started;
}

ServiceRunResult runAsService() {
    // The marker of an earlier update must not be taken for this one's.
    if (!DeleteFileW(MARKER_FILE_PATH) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        logError(L"Failed to delete the marker file", GetLastError());
    }
    workRoutine = performUpdate;
    wchar_t serviceName[] = SERVICE_NAME;
    SERVICE_TABLE_ENTRYW table[] = {{serviceName, svcMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        logError(L"StartServiceCtrlDispatcher failed.", GetLastError());
        return ServiceRunResult::NoDispatcher;
    }
    logInfoEvent(MSG_EXECUTION_REQUEST_SUCCEEDED);
    return ServiceRunResult::Ran;
}
