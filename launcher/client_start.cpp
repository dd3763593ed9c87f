#include "client_start.h"

#include <windows.h>
#include <shlwapi.h>
#include <strsafe.h>

#include "command_line.h"
#include "console.h"
#include "scoped.h"

namespace {

const int PATH_UNITS = 260;
const int DESKTOP_UNITS = 32;
const int PATH_FAILURE = -2;
const wchar_t CLIENT_FILE_NAME[] = L"QAR Client.exe";
const wchar_t INTERACTIVE_DESKTOP[] = L"winsta0\\default";

}  // namespace

int startQarClient(const wchar_t* parameter) {
    wchar_t path[PATH_UNITS];
    DWORD length = GetModuleFileNameW(nullptr, path, PATH_UNITS);
    // A path that fills the buffer was cut short: its folder would be the wrong one.
    if (length == 0 || length >= PATH_UNITS) {
        DWORD error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        printErr(L"startQarClient failed (1): %08x\r\n", error);
        return static_cast<int>(error);
    }
    if (!PathRemoveFileSpecW(path)) {
        printErr(L"%ls", L"startQarClient failed (2): PathRemoveFileSpecW failed\r\n");
        return PATH_FAILURE;
    }
    if (!PathAppendW(path, CLIENT_FILE_NAME)) {
        printErr(L"%ls", L"startQarClient failed (3): PathAppendW failed\r\n");
        return PATH_FAILURE;
    }
    printOut(L"QAR Client exe path: %ls\r\n", path);

    // The child's first element is the quoted bare file name, not the full
    // path; the parameter follows as exactly one argument, whatever it holds.
    size_t commandUnits = clientCommandLine(CLIENT_FILE_NAME, parameter, nullptr);
    ScopedHeapBlock commandBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, commandUnits * sizeof(wchar_t)));
    if (!commandBlock) return static_cast<int>(STATUS_NO_MEMORY);
    wchar_t* commandLine = static_cast<wchar_t*>(commandBlock.get());
    clientCommandLine(CLIENT_FILE_NAME, parameter, commandLine);

    wchar_t desktop[DESKTOP_UNITS];
    StringCchPrintfW(desktop, DESKTOP_UNITS, L"%ls", INTERACTIVE_DESKTOP);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;

    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                  nullptr, &startup, &process);
    DWORD error = started ? ERROR_SUCCESS : GetLastError();
    commandBlock.reset();
    if (!started) {
        if (error == ERROR_FILE_NOT_FOUND) {
            printErr(L"startQarClient failed (4): File not found: %ls\r\n", path);
        } else {
            printErr(L"startQarClient failed (4): %08x\r\n", error);
        }
        return static_cast<int>(error);
    }
    // The client outlives the launcher, which does not wait for it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
