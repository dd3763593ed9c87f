#include "listener_security.h"

namespace {

// The token the pipe is created with: the thread's while it impersonates,
// else the process's.
HANDLE creatingToken() {
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return token;
    if (GetLastError() != ERROR_NO_TOKEN) return nullptr;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ? token : nullptr;
}

bool tokenUser(std::vector<BYTE>& buffer) {
    HANDLE token = creatingToken();
    if (!token) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    bool ok = size > 0;
    if (ok) {
        buffer.resize(size);
        ok = GetTokenInformation(token, TokenUser, buffer.data(), size, &size) != FALSE;
    }
    CloseHandle(token);
    return ok;
}

}  // namespace

ListenerSecurity::ListenerSecurity() {
    if (!tokenUser(user_)) return;
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    DWORD adminsSize = sizeof(admins);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize))
        return;
    PSID sids[] = {reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid, system, admins};

    DWORD size = sizeof(ACL);
    for (PSID sid : sids) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    acl_.resize(size);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, size, ACL_REVISION)) return;
    for (PSID sid : sids) {
        if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return;
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
        return;
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ok_ = true;
}
