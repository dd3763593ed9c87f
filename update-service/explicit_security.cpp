#include "explicit_security.h"

#include <aclapi.h>

#include "scoped.h"

ExplicitSecurity::~ExplicitSecurity() {
    if (acl_) LocalFree(acl_);
}

SecurityStep ExplicitSecurity::build(const AccessEntry* entries, DWORD count, PSID owner) {
    const DWORD MAX_ENTRIES = 4;
    if (count > MAX_ENTRIES) {
        error_ = ERROR_INVALID_PARAMETER;
        return SecurityStep::NoAcl;
    }
    alignas(8) BYTE sids[MAX_ENTRIES][SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESSW access[MAX_ENTRIES] = {};
    for (DWORD i = 0; i < count; ++i) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!CreateWellKnownSid(entries[i].who, nullptr, sids[i], &size)) {
            error_ = GetLastError();
            return SecurityStep::NoSid;
        }
        access[i].grfAccessPermissions = entries[i].mask;
        access[i].grfAccessMode = GRANT_ACCESS;
        access[i].grfInheritance = NO_INHERITANCE;
        access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[i].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        access[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i]);
    }
    if (acl_) LocalFree(acl_);
    acl_ = nullptr;
    error_ = SetEntriesInAclW(count, access, nullptr, &acl_);
    if (error_ != ERROR_SUCCESS) return SecurityStep::NoAcl;

    if (owner && !CopySid(sizeof(owner_), owner_, owner)) {
        error_ = GetLastError();
        return SecurityStep::NoDescriptor;
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
        (owner && !SetSecurityDescriptorOwner(&descriptor_, owner_, FALSE))) {
        error_ = GetLastError();
        return SecurityStep::NoDescriptor;
    }
    attributes_ = {sizeof(attributes_), &descriptor_, FALSE};
    return SecurityStep::Built;
}

namespace {

struct BuiltSid {
    alignas(8) BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD error;
};

BOOL CALLBACK buildLocalSystemSid(PINIT_ONCE, PVOID built, PVOID*) {
    BuiltSid* out = static_cast<BuiltSid*>(built);
    DWORD size = sizeof(out->sid);
    out->error = CreateWellKnownSid(WinLocalSystemSid, nullptr, out->sid, &size) ? ERROR_SUCCESS : GetLastError();
    return TRUE;
}

}  // namespace

PSID localSystemSid() {
    // Built once, however many threads ask (InitOnce rather than a C++ static,
    // whose guard would link the C++ runtime into the program).
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static BuiltSid built;
    InitOnceExecuteOnce(&once, buildLocalSystemSid, &built, nullptr);
    if (built.error != ERROR_SUCCESS) {
        SetLastError(built.error);
        return nullptr;
    }
    return built.sid;
}

bool processUserSid(BYTE* sid) {
    ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
    alignas(8) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
    return CopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}
