// Starting the other processes of the update road: installer, clone, application.
#pragma once

#include <windows.h>

// launchProcess's results. Unlike every other routine of the program, it
// reports success as 1.
enum class Launch : int {
    NotStarted = 0,  // logged, with the last error kept
    Started = 1,
};

// Starts application with commandLine (at most 255 units) in a new process
// group, on the interactive desktop "winsta0\default" when interactive is set.
// Fills information when given (the caller closes its handles).
Launch launchProcess(const wchar_t* application, const wchar_t* commandLine, bool interactive,
                     PROCESS_INFORMATION* information);
