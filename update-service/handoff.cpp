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

int queryServiceState(SC_HANDLE service, DWORD* state, DWORD* checkPoint, DWORD* interval, DWORD* exitCode) {
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        logError(L"Failed to query the service status.", GetLastError());
        return 1;
    }
    *state = status.dwCurrentState;
    *checkPoint = status.dwCheckPoint;
    *interval = pollingInterval(status.dwWaitHint);
    if (exitCode) *exitCode = status.dwWin32ExitCode;
    return 0;
}

int startClone() {
    logLine(L"Creating the clone...");
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        logError(L"Failed to determine the path of the current executable",
                 length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return 1;
    }
    wchar_t clone[MAX_PATH];
    length = GetTempPathW(MAX_PATH, clone);
    if (length == 0 || length > MAX_PATH) {
        logError(L"Failed to get the temporary directory", length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        return 1;
    }
    if (!PathAppendW(clone, L"qus_clone.exe")) {
        logError(L"Failed to create a temporary path to the cloned executable", GetLastError());
        return 1;
    }
    wchar_t cloning[512];
    StringCchPrintfW(cloning, 512, L"Cloning %s to %s...", self, clone);
    logLine(cloning);
    if (!CopyFileW(self, clone, FALSE)) {
        logError(L"Failed to create the clone binary", GetLastError());
        return 1;
    }
    logLine(L"Starting the clone...");
    if (!launchProcess(clone, L"qus_clone.exe be-process-runner", true, nullptr)) {
        logError(L"Failed to start the clone binary", GetLastError());
        return 2;
    }
    return 0;
}

int startUpdateService(int argc, wchar_t** argv) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        logError(L"Failed to access the SCManager.", GetLastError());
        return 1;
    }
    ScopedServiceHandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_START));
    if (!service) {
        logError(L"Failed to access the service.", GetLastError());
        return 2;
    }
    DWORD state = 0, checkPoint = 0, interval = 0;
    if (queryServiceState(service.get(), &state, &checkPoint, &interval) != 0) return 3;

    int result = 0;
    if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) {
        logError(L"Failed to start the service because it's already running.", GetLastError());
        result = 4;
    }

    ULONGLONG since = GetTickCount64();
    DWORD lastCheckPoint = checkPoint;
    while (result == 0 && state == SERVICE_STOP_PENDING) {
        Sleep(interval);
        if (queryServiceState(service.get(), &state, &checkPoint, &interval) != 0) return 5;
        if (checkPoint > lastCheckPoint) {
            since = GetTickCount64();
            lastCheckPoint = checkPoint;
        } else if (GetTickCount64() - since > NO_PROGRESS_TIMEOUT_MS) {
            logError(L"Timeout waiting for the service to stop.", GetLastError());
            result = 6;
        }
    }

    if (result == 0 && !StartServiceW(service.get(), static_cast<DWORD>(argc), (LPCWSTR*)argv)) {
        logError(L"Failed to start the service.", GetLastError());
        result = 7;
    }
    if (result == 0) {
        logLine(L"Service start pending...\n");
        DWORD exitCode = 0;
        if (queryServiceState(service.get(), &state, &checkPoint, &interval, &exitCode) != 0) return 8;
        since = GetTickCount64();
        lastCheckPoint = checkPoint;
        while (state == SERVICE_START_PENDING) {
            Sleep(interval);
            if (queryServiceState(service.get(), &state, &checkPoint, &interval, &exitCode) != 0) break;
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
            result = 9;
        }
    }
    return result;
}

int beProcessRunner() {
    logLine(L"beProcessRunner");
    applicationPath[0] = L'\0';
    for (int poll = 0; poll < MARKER_POLLS; ++poll) {
        switch (readMarkerFile(MARKER_FILE_PATH, applicationPath, APPLICATION_PATH_UNITS)) {
        case MarkerRead::Found:
            logLine(L"Marker file found, path to application is:");
            logLine(applicationPath);
            logLine(L"Starting application...");
            if (!launchProcess(applicationPath, PathFindFileNameW(applicationPath), true, nullptr)) {
                logError(L"Failed to start the application", GetLastError());
                return 1;
            }
            return 0;
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
    return 1;
}

int commitInstallation() {
    bool isSystem = false;
    if (isLocalSystem(&isSystem) != 0) {
        logError(L"Failed to check if the user is SYSTEM", GetLastError());
        return 1;
    }
    logLine(L"commitInstallation will start the following binary:");
    logLine(applicationPath);
    if (isSystem) {
        logLine(L"Creating marker file to start the application...");
        DWORD error = writeMarkerFile(MARKER_FILE_PATH, applicationPath);
        if (error != ERROR_SUCCESS) {
            logError(L"Failed to create the marker file", error);
            return 1;
        }
        return 0;
    }
    logLine(L"Starting application directly...");
    if (!launchProcess(applicationPath, PathFindFileNameW(applicationPath), true, nullptr)) {
        logError(L"Failed to start the application", GetLastError());
        return 1;
    }
    return 0;
}
