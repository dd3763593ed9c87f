// The user's side of an update and its return path.
#pragma once

#include <windows.h>

// software-update: copies this program to the clone and starts it; result ignored.
int startClone();
// software-update: starts the service with argv as its arguments and waits for it.
int startUpdateService(int argc, wchar_t** argv);
// be-process-runner: waits for the marker file and starts the application.
int beProcessRunner();
// commit-installation: writes the marker file or starts the application.
int commitInstallation();

// Status polling interval for a service's wait hint: a tenth of it, kept
// between one and ten seconds.
DWORD pollingInterval(DWORD waitHint);

// Queries the service's state, checkpoint and polling interval (and, when
// asked, its Win32 exit code). 0, or 1 after a failure, which it has logged;
// the handle stays open either way.
int queryServiceState(SC_HANDLE service, DWORD* state, DWORD* checkPoint, DWORD* interval, DWORD* exitCode = nullptr);
