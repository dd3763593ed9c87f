// DLLs outside the system's KnownDLLs list are not imported: the loader would
// look for them in the program's folder first, before any code of ours runs.
// They are loaded at run time from the system folder instead.
#pragma once

#include <windows.h>

// Loads name (a bare file name such as L"wintrust.dll") from the system
// folder only; nullptr with the last error set when it cannot.
HMODULE loadSystemLibrary(const wchar_t* name);
