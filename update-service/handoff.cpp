#include "handoff.h"

#include <shlwapi.h>
#include <strsafe.h>

#include "command_line.h"
#include "logging.h"
#include "marker_file.h"
#include "names.h"
#include "process_launch.h"
#include "scoped.h"

namespace {

const DWORD NO_PROGRESS_TIMEOUT_MS = 30000;
const int MARKER_POLLS = 120;

}  // namespace

DWORD pollingInterval(DWORD waitHint) {
    DWORD interval = waitHint / 10;
    if (interval < 1000) return 1000;
    if (interval > 10000) return 10000;
    return interval;
}

ServiceQuery queryServiceState(SC_HANDLE service, DWORD* state, DWORD* checkPoint, DWORD* interval, DWORD* exitCode) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        logError(L"Failed to query the service status.", GetLastError());
        return ServiceQuery::Failed;
    }
    *state = status.dwCurrentState;
    *checkPoint = status.dwCheckPoint;
    *interval = pollingInterval(status.dwWaitHint);
    if (exitCode) *exitCode = status.dwWin32ExitCode;
    return ServiceQuery::Queried;
}

CloneResult startClone() {
    logLine(L"Creating the clone...");
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        logError(L"Failed to determine the path of the current executable",
                 length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return CloneResult::NotCreated;
    }
    wchar_t clone[MAX_PATH];
    length = GetTempPathW(MAX_PATH, clone);
    if (length == 0 || length > MAX_PATH) {
        logError(L"Failed to get the temporary directory", length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return CloneResult::NotCreated;
    }
    if (!PathAppendW(clone, L"qus_clone.exe")) {
        logError(L"Failed to create a temporary path to the cloned executable", GetLastError());
        return CloneResult::NotCreated;
    }
    wchar_t cloning[512];
    StringCchPrintfW(cloning, 512, L"Cloning %s to %s...", self, clone);
    logLine(cloning);
    if (!CopyFileW(self, clone, FALSE)) {
        logError(L"Failed to create the clone binary", GetLastError());
        return CloneResult::NotCreated;
    }
    logLine(L"Starting the clone...");
    if (launchProcess(clone, L"qus_clone.exe be-process-runner", true, nullptr) != Launch::Started) {
        logError(L"Failed to start the clone binary", GetLastError());
        return CloneResult::NotStarted;
    }
    return CloneResult::Started;
}

UpdateRequest startUpdateService(int argc, wchar_t** argv) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        logError(L"Failed to access the SCManager.", GetLastError());
        return UpdateRequest::NoManager;
    }
    ScopedServiceHandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_START));
    if (!service) {
        logError(L"Failed to access the service.", GetLastError());
        return UpdateRequest::NoService;
    }
    DWORD state = 0, checkPoint = 0, interval = 0;
    if (queryServiceState(service.get(), &state, &checkPoint, &interval) != ServiceQuery::Queried) {
        return UpdateRequest::FirstQueryFailed;
    }

    UpdateRequest result = UpdateRequest::ServiceRunning;
    if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
        logError(L"Failed to start the service because it's already running.", GetLastError());
        result = UpdateRequest::AlreadyRunning;
    }

    ULONGLONG since = GetTickCount64();
    DWORD lastCheckPoint = checkPoint;
    while (result == UpdateRequest::ServiceRunning && state == SERVICE_STOP_PENDING) {
        Sleep(interval);
        if (queryServiceState(service.get(), &state, &checkPoint, &interval) != ServiceQuery::Queried) {
            return UpdateRequest::StopWaitQueryFailed;
        }
        if (checkPoint > lastCheckPoint) {
            since = GetTickCount64();
            lastCheckPoint = checkPoint;
        } else if (GetTickCount64() - since > NO_PROGRESS_TIMEOUT_MS) {
            logError(L"Timeout waiting for the service to stop.", GetLastError());
            result = UpdateRequest::StopTimedOut;
        }
    }

    if (result == UpdateRequest::ServiceRunning &&
        !StartServiceW(service.get(), static_cast<DWORD>(argc), (LPCWSTR*)argv)) {
        logError(L"Failed to start the service.", GetLastError());
        result = UpdateRequest::StartFailed;
    }
    if (result == UpdateRequest::ServiceRunning) {
        logLine(L"Service start pending...\n");
        DWORD exitCode = 0;
        if (queryServiceState(service.get(), &state, &checkPoint, &interval, &exitCode) != ServiceQuery::Queried) {
            return UpdateRequest::StartQueryFailed;
        }
        since = GetTickCount64();
        lastCheckPoint = checkPoint;
        while (state == SERVICE_START_PENDING) {
            Sleep(interval);
            if (queryServiceState(service.get(), &state, &checkPoint, &interval, &exitCode) != ServiceQuery::Queried) {
                break;
            }
            if (checkPoint > lastCheckPoint) {
                since = GetTickCount64();
                lastCheckPoint = checkPoint;
            } else if (GetTickCount64() - since > NO_PROGRESS_TIMEOUT_MS) {
                break;
            }
        }
        // A short update can be over before the first poll: the service reports
        // stopped only after it reported running, and it stops cleanly with exit
        // code 0; a service that failed to start carries an error instead.
        bool ranAndStopped = state == SERVICE_STOPPED && exitCode == ERROR_SUCCESS;
        if (state == SERVICE_RUNNING || ranAndStopped) {
            logLine(L"Service started successfully.\n");
        } else {
            logError(L"Service not running after start.", GetLastError());
            result = UpdateRequest::NotRunningAfterStart;
        }
    }
    return result;
}

RunnerResult beProcessRunner() {
    logLine(L"beProcessRunner");
    applicationPath[0] = L'\0';
    for (int poll = 0; poll < MARKER_POLLS; ++poll) {
        switch (readMarkerFile(MARKER_FILE_PATH, applicationPath, APPLICATION_PATH_UNITS)) {
        case MarkerRead::Found:
            logLine(L"Marker file found, path to application is:");
            logLine(applicationPath);
            logLine(L"Starting application...");
            if (launchProcess(applicationPath, PathFindFileNameW(applicationPath), true, nullptr) != Launch::Started) {
                logError(L"Failed to start the application", GetLastError());
                return RunnerResult::ApplicationNotStarted;
            }
            return RunnerResult::ApplicationStarted;
        case MarkerRead::Empty:
            logLine(L"Path to application missing in marker file (shouldn't happen!)");
            break;
        case MarkerRead::Untrusted:
            logLine(L"Ignoring a marker file that is a link or was not written by the system, an administrator or "
                    L"this user");
            break;
        case MarkerRead::TooLong:
            logLine(L"Ignoring a marker file whose path is too long");
            break;
        case MarkerRead::Missing:
            break;
        }
        Sleep(1000);
    }
    logLine(L"Marker file not found within timeout period, giving up");
    return RunnerResult::NoMarker;
}

CommitResult commitInstallation() {
    bool isSystem = false;
    if (isLocalSystem(&isSystem) != IdentityCheck::Checked) {
        logError(L"Failed to check if the user is SYSTEM", GetLastError());
        return CommitResult::IdentityUnknown;
    }
    logLine(L"commitInstallation will start the following binary:");
    logLine(applicationPath);
    if (isSystem) {
        logLine(L"Creating marker file to start the application...");
        DWORD error = writeMarkerFile(MARKER_FILE_PATH, applicationPath);
        if (error != ERROR_SUCCESS) {
            logError(L"Failed to create the marker file", error);
            return CommitResult::MarkerNotWritten;
        }
        return CommitResult::Committed;
    }
    logLine(L"Starting application directly...");
    if (launchProcess(applicationPath, PathFindFileNameW(applicationPath), true, nullptr) != Launch::Started) {
        logError(L"Failed to start the application", GetLastError());
        return CommitResult::ApplicationNotStarted;
    }
    return CommitResult::Committed;
}
