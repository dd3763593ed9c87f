#include "pipe_server.h"

#include <aclapi.h>

#include "scoped.h"

namespace {

// The TOKEN_USER of token in a heap block (released by the caller's owner);
// null when it cannot be read.
void* tokenUser(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return nullptr;
    ScopedHeapBlock block(HeapAlloc(GetProcessHeap(), 0, size));
    if (!block || !GetTokenInformation(token, TokenUser, block.get(), size, &size)) return nullptr;
    void* user = block.get();
    block.release();
    return user;
}

PSID userOf(const ScopedHeapBlock& block) {
    return static_cast<TOKEN_USER*>(block.get())->User.Sid;
}

// The TOKEN_USER of the process that created the pipe's server end; null when
// the process or its token cannot be opened.
void* serverUser(HANDLE pipe) {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid) || pid == 0) return nullptr;
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &token)) return nullptr;
    ScopedHandle ownedToken(token);
    return tokenUser(token);
}

}  // namespace

bool pipeServerTrusted(PSID caller, PSID serverUser, PSID pipeOwner) {
    if (serverUser) return EqualSid(caller, serverUser) != FALSE;
    if (!pipeOwner) return false;
    return EqualSid(caller, pipeOwner) || IsWellKnownSid(pipeOwner, WinBuiltinAdministratorsSid);
}

DWORD checkPipeServer(HANDLE pipe) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
    ScopedHandle ownedToken(token);
    SetLastError(ERROR_SUCCESS);
    ScopedHeapBlock caller(tokenUser(token));
    // Never ERROR_SUCCESS here: that would read as a trusted server.
    if (!caller) return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;

    ScopedHeapBlock server(serverUser(pipe));
    if (server) return pipeServerTrusted(userOf(caller), userOf(server), nullptr) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;

    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        owner = nullptr;
        descriptor = nullptr;
    }
    bool trusted = pipeServerTrusted(userOf(caller), nullptr, owner);
    if (descriptor) LocalFree(descriptor);
    return trusted ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}
