#include "named_pipe.h"

#include <windows.h>
#include <strsafe.h>

#include "console.h"
#include "pipe_server.h"
#include "scoped.h"

namespace {

const int USER_NAME_UNITS = 256;
const int PIPE_NAME_UNITS = 260;
const int MESSAGE_BYTES = 1024;  // the UTF-8 parameter with its terminating NUL
const wchar_t PIPE_NAME_FORMAT[] = L"\\\\.\\pipe\\qarapp2_%ls";

int fail(int step, DWORD error) {
    printErr(L"checkNamedPipe failed (%d): %08x\r\n", step, error);
    return static_cast<int>(error);
}

// Reads USERNAME into userName. Returns 0, or the error to report as step 1.
DWORD readUserName(wchar_t (&userName)[USER_NAME_UNITS]) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(L"USERNAME", userName, USER_NAME_UNITS);
    // A value that does not fit comes back as the size it needs, not as a failure.
    if (length >= USER_NAME_UNITS) return ERROR_INSUFFICIENT_BUFFER;
    if (length == 0) {
        DWORD error = GetLastError();
        // An empty value names no user: refuse it like an unset one rather than exit with 0.
        return error != ERROR_SUCCESS ? error : ERROR_ENVVAR_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

}  // namespace

int checkNamedPipe(const wchar_t* parameter) {
    wchar_t userName[USER_NAME_UNITS];
    if (DWORD error = readUserName(userName)) return fail(1, error);

    wchar_t pipeName[PIPE_NAME_UNITS];
    // A user name that makes the pipe name too long is refused, never cut short.
    if (FAILED(StringCchPrintfW(pipeName, PIPE_NAME_UNITS, PIPE_NAME_FORMAT, userName))) {
        return fail(1, ERROR_INSUFFICIENT_BUFFER);
    }

    // Waits for a free instance as long as the client set when it created the pipe.
    if (!WaitNamedPipeW(pipeName, NMPWAIT_USE_DEFAULT_WAIT)) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return NO_CLIENT_RUNNING;
        if (error == ERROR_SEM_TIMEOUT) {
            printErr(L"%ls", L"checkNamedPipe failed with a timeout\r\n");
            return ERROR_SEM_TIMEOUT;
        }
        return fail(2, error);
    }
    if (parameter == nullptr) return 0;  // the client runs and there is nothing to tell it

    // Identification only: a server that took the name first learns who we
    // are but cannot act as us.
    ScopedHandle pipe(CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe) return fail(3, GetLastError());
    // The parameter goes to a server of this user only.
    if (DWORD error = checkPipeServer(pipe.get())) {
        if (error != ERROR_ACCESS_DENIED) return fail(3, error);
        printErr(L"checkNamedPipe failed (3): %08x (the pipe's server does not run as the current user)\r\n", error);
        return static_cast<int>(error);
    }

    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return fail(4, GetLastError());

    char message[MESSAGE_BYTES];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, parameter, -1, message, MESSAGE_BYTES, nullptr, nullptr);
    if (bytes == 0) return fail(5, GetLastError());

    // One message of the bytes without the terminating NUL; the client reads nothing more.
    DWORD written = 0;
    if (!WriteFile(pipe.get(), message, static_cast<DWORD>(bytes - 1), &written, nullptr)) {
        return fail(6, GetLastError());
    }
    return 0;
}
