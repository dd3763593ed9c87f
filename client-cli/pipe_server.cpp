#include "pipe_server.h"

#include <winternl.h>

#include <memory>
#include <vector>

// The token, SID and security calls go to ntdll, which every process has
// loaded already: advapi32's wrappers of them would load advapi32 and the
// DLLs it needs at each start, a sixth of a whole CLI run under Wine. Their
// failures map to Win32 codes as advapi32's do (RtlNtStatusToDosError).
extern "C" {
NTSTATUS NTAPI NtOpenProcessToken(HANDLE process, ACCESS_MASK access, HANDLE* token);
NTSTATUS NTAPI NtQueryInformationToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, ULONG size,
                                       ULONG* needed);
NTSTATUS NTAPI NtQuerySecurityObject(HANDLE object, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer,
                                     ULONG size, ULONG* needed);
NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, PSID* owner, BOOLEAN* defaulted);
BOOLEAN NTAPI RtlEqualSid(PSID a, PSID b);
}

namespace {

constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// A TOKEN_QUERY handle of process's token; the Win32 error when it cannot be opened.
DWORD openToken(HANDLE process, Handle& token) {
    HANDLE raw = nullptr;
    NTSTATUS status = NtOpenProcessToken(process, TOKEN_QUERY, &raw);
    if (status < 0) return RtlNtStatusToDosError(status);
    token.reset(raw);
    return ERROR_SUCCESS;
}

// The TOKEN_USER of token into buffer; the Win32 error when it cannot be
// read, never ERROR_SUCCESS then.
DWORD tokenUser(HANDLE token, std::vector<BYTE>& buffer) {
    ULONG size = 0;
    NTSTATUS status = NtQueryInformationToken(token, TokenUser, nullptr, 0, &size);
    if (size != 0) {
        buffer.resize(size);
        status = NtQueryInformationToken(token, TokenUser, buffer.data(), size, &size);
        if (status >= 0) return ERROR_SUCCESS;
    }
    DWORD error = status < 0 ? RtlNtStatusToDosError(status) : ERROR_SUCCESS;
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
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
    Handle token;
    return openToken(process.get(), token) == ERROR_SUCCESS && tokenUser(token.get(), buffer) == ERROR_SUCCESS;
}

// The owner of the pipe object, pointing into descriptor; null when it
// cannot be read.
PSID pipeOwner(HANDLE pipe, std::vector<BYTE>& descriptor) {
    ULONG size = 0;
    if (NtQuerySecurityObject(pipe, OWNER_SECURITY_INFORMATION, nullptr, 0, &size) != kBufferTooSmall || size == 0)
        return nullptr;
    descriptor.resize(size);
    PSID owner = nullptr;
    BOOLEAN defaulted = FALSE;
    if (NtQuerySecurityObject(pipe, OWNER_SECURITY_INFORMATION, descriptor.data(), size, &size) < 0 ||
        RtlGetOwnerSecurityDescriptor(descriptor.data(), &owner, &defaulted) < 0)
        return nullptr;
    return owner;
}

// S-1-5-32-544, laid out as a SID.
struct {
    BYTE revision = SID_REVISION;
    BYTE subAuthorityCount = 2;
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_NT_AUTHORITY};
    DWORD subAuthorities[2] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
} administrators;

}  // namespace

bool pipeServerTrusted(PSID caller, PSID serverUser, PSID pipeOwner) {
    if (serverUser) return RtlEqualSid(caller, serverUser) != FALSE;
    if (!pipeOwner) return false;
    return RtlEqualSid(caller, pipeOwner) || RtlEqualSid(pipeOwner, &administrators);
}

DWORD checkPipeServer(HANDLE pipe) {
    std::vector<BYTE> caller;
    Handle token;
    if (DWORD error = openToken(GetCurrentProcess(), token)) return error;
    // Never ERROR_SUCCESS on failure: that would read as a trusted server.
    if (DWORD error = tokenUser(token.get(), caller)) return error;

    std::vector<BYTE> server;
    if (serverUser(pipe, server)) {
        return pipeServerTrusted(userOf(caller), userOf(server), nullptr) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    std::vector<BYTE> descriptor;
    return pipeServerTrusted(userOf(caller), nullptr, pipeOwner(pipe, descriptor)) ? ERROR_SUCCESS
                                                                                    : ERROR_ACCESS_DENIED;
}
