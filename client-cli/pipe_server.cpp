#include "pipe_server.h"

#include <aclapi.h>

#include <memory>
#include <vector>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
    void operator()(void* block) const { LocalFree(block); }
};

// The TOKEN_USER of token into buffer; false when it cannot be read.
bool tokenUser(HANDLE token, std::vector<BYTE>& buffer) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    buffer.resize(size);
    return GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != FALSE;
}

PSID userOf(std::vector<BYTE>& buffer) {
    return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

// The user of the process that created the pipe's server end, into buffer;
// false when the process or its token cannot be opened.
bool serverUser(HANDLE pipe, std::vector<BYTE>& buffer) {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid) || pid == 0) return false;
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &raw)) return false;
    Handle token(raw);
    return tokenUser(token.get(), buffer);
}

}  // namespace

bool pipeServerTrusted(PSID caller, PSID serverUser, PSID pipeOwner) {
    if (serverUser) return EqualSid(caller, serverUser) != FALSE;
    if (!pipeOwner) return false;
    return EqualSid(caller, pipeOwner) || IsWellKnownSid(pipeOwner, WinBuiltinAdministratorsSid);
}

DWORD checkPipeServer(HANDLE pipe) {
    std::vector<BYTE> caller;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return GetLastError();
    Handle token(raw);
    SetLastError(ERROR_SUCCESS);
    // Never ERROR_SUCCESS here: that would read as a trusted server.
    if (!tokenUser(token.get(), caller)) return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INVALID_DATA;

    std::vector<BYTE> server;
    if (serverUser(pipe, server)) {
        return pipeServerTrusted(userOf(caller), userOf(server), nullptr) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        owner = nullptr;
        descriptor = nullptr;
    }
    std::unique_ptr<void, LocalFreer> release(descriptor);
    return pipeServerTrusted(userOf(caller), nullptr, owner) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}
