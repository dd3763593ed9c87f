// The user's side of an update and its return path.
#pragma once

#include <windows.h>

enum class CloneResult : int {
    Started = 0,
    NotCreated = 1,  // no path for it, or the copy failed
    NotStarted = 2,
};

// software-update: copies this program to the clone and starts it; result ignored.
CloneResult startClone();

// startUpdateService's results, which are the exit codes of software-update.
enum class UpdateRequest : int {
    ServiceRunning = 0,        // (or it ran already and stopped cleanly)
    NoManager = 1,             // the service control manager is not reachable
    NoService = 2,             // not installed, or no right to it
    FirstQueryFailed = 3,
    AlreadyRunning = 4,        // running or starting
    StopWaitQueryFailed = 5,   // while waiting for a stop
    StopTimedOut = 6,          // the stop made no progress for 30 s
    StartFailed = 7,           // StartServiceW
    StartQueryFailed = 8,      // right after the start request
    NotRunningAfterStart = 9,
};

// software-update: starts the service with argv as its arguments and waits for it.
UpdateRequest startUpdateService(int argc, wchar_t** argv);

// beProcessRunner's results, its exit codes.
enum class RunnerResult : int {
    ApplicationStarted = 0,
    NoMarker = 1,               // none to trust within 120 polls
    ApplicationNotStarted = 1,
};

// be-process-runner: waits for the marker file and starts the application.
RunnerResult beProcessRunner();

// commitInstallation's results, the exit codes of commit-installation.
enum class CommitResult : int {
    Committed = 0,              // the marker written, or the application started
    IdentityUnknown = 1,        // whether this is local system
    MarkerNotWritten = 1,
    ApplicationNotStarted = 1,
};

// commit-installation: writes the marker file or starts the application.
CommitResult commitInstallation();

// Status polling interval for a service's wait hint: a tenth of it, kept
// between one and ten seconds.
DWORD pollingInterval(DWORD waitHint);

enum class ServiceQuery : int {
    Queried = 0,
    Failed = 1,  // logged
};

// Queries the service's state, checkpoint and polling interval (and, when
// asked, its Win32 exit code). The handle stays open either way.
ServiceQuery queryServiceState(SC_HANDLE service, DWORD* state, DWORD* checkPoint, DWORD* interval,
                               DWORD* exitCode = nullptr);
