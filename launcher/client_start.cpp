#include "client_start.h"

#include <windows.h>
#include <shlwapi.h>
#include <strsafe.h>

#include "console.h"
#include "scoped.h"

namespace {

const int PATH_UNITS = 260;
const int DESKTOP_UNITS = 32;
const int PATH_FAILURE = -2;
const wchar_t CLIENT_FILE_NAME[] = L"QAR Client.exe";
const wchar_t INTERACTIVE_DESKTOP[] = L"winsta0\\default";

// Writes arg as one quoted argument, in the form CommandLineToArgvW and the C
// runtime read back as exactly arg: a quote is escaped, and the backslashes
// before a quote or before the closing quote are doubled. Other backslashes
// stay as they are, so an argument without quotes and trailing backslashes is
// only put between quotes. Returns the number of units the quoted form takes;
// out (null to only count) must have room for that many.
size_t quoteArgument(const wchar_t* arg, wchar_t* out) {
    size_t units = 0;
    auto put = [&](wchar_t c, size_t times) {
        if (out) {
            for (size_t i = 0; i < times; ++i) out[units + i] = c;
        }
        units += times;
    };
    put(L'"', 1);
    size_t backslashes = 0;
    for (const wchar_t* c = arg; *c; ++c) {
        if (*c == L'\\') {
            ++backslashes;
            continue;
        }
        if (*c == L'"') backslashes = backslashes * 2 + 1;
        put(L'\\', backslashes);
        backslashes = 0;
        put(*c, 1);
    }
    put(L'\\', backslashes * 2);
    put(L'"', 1);
    return units;
}

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
    size_t fileUnits = quoteArgument(CLIENT_FILE_NAME, nullptr);
    size_t commandUnits = fileUnits + (parameter ? 1 + quoteArgument(parameter, nullptr) : 0) + 1;
    ScopedHeapBlock commandBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, commandUnits * sizeof(wchar_t)));
    if (!commandBlock) return static_cast<int>(STATUS_NO_MEMORY);
    wchar_t* commandLine = static_cast<wchar_t*>(commandBlock.get());
    quoteArgument(CLIENT_FILE_NAME, commandLine);
    if (parameter) {
        commandLine[fileUnits] = L' ';
        quoteArgument(parameter, commandLine + fileUnits + 1);
    }

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
