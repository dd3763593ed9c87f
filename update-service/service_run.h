// The service itself: status reports, the control handler and one update.
#pragma once

#include <windows.h>

#include "work_directory.h"

// runAsService's results, the exit codes of a start without a command.
enum class ServiceRunResult : int {
    Ran = 0,
    NoDispatcher = 1,  // not started by the service control manager
};

// No command: runs as the service under the service control manager.
ServiceRunResult runAsService();

// The routine svcMain runs between the running and stopped reports.
extern void (*workRoutine)(DWORD argc, LPWSTR* argv);

// Service main routine named to the dispatcher.
void WINAPI svcMain(DWORD argc, LPWSTR* argv);

// Logs the control code; the service accepts no controls.
void WINAPI serviceControlHandler(DWORD control);

// One update: copies, validates and starts the installer named after
// "software-update" in the start arguments.
void performUpdate(DWORD argc, LPWSTR* argv);

// Copies source, which must name a file on a local volume, to a new file
// temp\<uuid>\<uuid> in a new folder of the service's temp folder; folder and
// file are created with a protected DACL that admits local system alone.
// Folders of earlier updates are removed first. On success
// target holds the copy's path and *readGuard a handle that keeps the copy
// from being written, renamed or deleted until it is closed.
CopyStep copyInstallerAway(const wchar_t* source, wchar_t (&target)[MAX_PATH], HANDLE* readGuard);

enum class InstallerRun : int {
    Started = 0,
    NotStarted = 1,
};

// Starts the copy with the silent-install arguments and waits at most one
// second for it.
InstallerRun runInstaller(const wchar_t* copyPath);
