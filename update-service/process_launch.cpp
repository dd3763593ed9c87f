#include "process_launch.h"

#include <strsafe.h>

#include "logging.h"

Launch launchProcess(const wchar_t* application, const wchar_t* commandLine, bool interactive,
                     PROCESS_INFORMATION* information) {
    PROCESS_INFORMATION local;
    PROCESS_INFORMATION* target = information ? information : &local;
    ZeroMemory(target, sizeof(*target));

    // CreateProcessW may write into the command line. A line that does not fit
    // is refused: a cut-off line would start the process with other arguments.
    wchar_t line[256];
    if (FAILED(StringCchCopyW(line, 256, commandLine))) {
        wchar_t message[256];
        StringCchPrintfW(message, 256, L"Failed to start process: %s", application);
        logError(message, ERROR_INSUFFICIENT_BUFFER);
        return Launch::NotStarted;
    }
    wchar_t desktop[32];
    StringCchCopyW(desktop, 32, interactive ? L"winsta0\\default" : L"");

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;

    if (!CreateProcessW(application, line, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                        &startup, target)) {
        DWORD error = GetLastError();
        wchar_t message[256];
        StringCchPrintfW(message, 256, L"Failed to start process: %s", application);
        logError(message, error);
        SetLastError(error);
        return Launch::NotStarted;
    }
    if (!information) {
        CloseHandle(local.hThread);
        CloseHandle(local.hProcess);
    }
    return Launch::Started;
}
