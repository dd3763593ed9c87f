#include "pipe_transaction.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <stdexcept>
#include <vector>

#include "pipe_message.h"
#include "pipe_server.h"

namespace {

constexpr DWORD USER_NAME_SIZE = 256;     // UTF-16 units, terminator included
constexpr size_t PIPE_NAME_SIZE = 260;    // UTF-16 units, terminator included
constexpr DWORD REPLY_SIZE = 65536;       // the largest pipe message we accept, prefix included
const wchar_t PIPE_NAME_FORMAT[] = L"\\\\.\\pipe\\qar-client-cli_%ls";

/// Formats an error text (at most 255 characters) and throws it.
[[noreturn]] void fail(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    throw std::runtime_error(text);
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

[[noreturn]] void failPipeCall(DWORD error) {
    fail("CLI invocation failed (error code: %08x). Is the QAR Client running?", static_cast<unsigned>(error));
}

/// Fills pipeName (PIPE_NAME_SIZE units) with the pipe of the user named by the
/// environment variable USERNAME. Throws when the variable is missing or the
/// name does not fit either buffer.
void currentUserPipeName(wchar_t* pipeName) {
    wchar_t userName[USER_NAME_SIZE];
    // An empty value also returns 0 and would leave a stale code behind.
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(L"USERNAME", userName, USER_NAME_SIZE);
    if (length == 0) {
        fail("Unable to determine current user from environment: %08x", static_cast<unsigned>(GetLastError()));
    }
    // Too small a buffer: the call returns the size it needs and writes nothing.
    if (length >= USER_NAME_SIZE) {
        fail("Unable to determine current user from environment: the user name is longer than %u characters",
             static_cast<unsigned>(USER_NAME_SIZE - 1));
    }
    int written = swprintf(pipeName, PIPE_NAME_SIZE, PIPE_NAME_FORMAT, userName);
    if (written < 0 || static_cast<size_t>(written) >= PIPE_NAME_SIZE) {
        fail("CLI invocation failed (the pipe name for this user is longer than %u characters)",
             static_cast<unsigned>(PIPE_NAME_SIZE - 1));
    }
}

}  // namespace

messages::CLIResponse callClient(const messages::CLIRequest& request) {
    wchar_t pipeName[PIPE_NAME_SIZE];
    currentUserPipeName(pipeName);

    std::vector<uint8_t> message;
    if (!encodePipeMessage(request, message)) fail("CLI invocation failed (serialization error)");

    // Identification only: a server that took the name first learns who we
    // are but cannot act as us. No wait: a busy pipe fails at once (231).
    HANDLE opened = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (opened == INVALID_HANDLE_VALUE) failPipeCall(GetLastError());
    std::unique_ptr<void, HandleCloser> pipe(opened);
    // Nothing is sent to a server of another user.
    if (DWORD error = checkPipeServer(pipe.get())) {
        if (error == ERROR_ACCESS_DENIED) {
            fail("CLI invocation failed (error code: %08x). The pipe's server does not run as the current user.",
                 static_cast<unsigned>(error));
        }
        failPipeCall(error);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) failPipeCall(GetLastError());

    std::vector<uint8_t> reply(REPLY_SIZE);
    DWORD replyLength = 0;
    // One message out, one message back; a longer reply fails with ERROR_MORE_DATA.
    if (!TransactNamedPipe(pipe.get(), message.data(), static_cast<DWORD>(message.size()), reply.data(), REPLY_SIZE,
                           &replyLength, nullptr)) {
        failPipeCall(GetLastError());
    }

    messages::CLIResponse response;
    // A reply that fails to parse still counts: what was read before the fault is shown.
    decodePipeMessage(reply.data(), replyLength, response);
    return response;
}
