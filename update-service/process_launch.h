// Starting the other processes of the update road: installer, clone, application.
#pragma once

#include <windows.h>

// Starts application with commandLine (at most 255 units) in a new process
// group, on the interactive desktop "winsta0\default" when interactive is set.
// Fills information when given (the caller closes its handles). Returns 1 when
// the process was created, 0 when not (logged).
int launchProcess(const wchar_t* application, const wchar_t* commandLine, bool interactive,
                  PROCESS_INFORMATION* information);
