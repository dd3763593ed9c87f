// The user's side of an update and its return path.
#pragma once

#include <windows.h>

// Status polling interval for a service's wait hint: a tenth of it, kept
// between one and ten seconds.
DWORD pollingInterval(DWORD waitHint);

// Queries the service's state, checkpoint and polling interval (and, when
// asked, its Win32 exit code). 0, or 1 after a failure, which it has logged;
// the handle stays open either way.
int queryServiceState(SC_HANDLE service, DWORD* state, DWORD* checkPoint, DWORD* interval, DWORD* exitCode = nullptr);
