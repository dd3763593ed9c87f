// ACLHandling: grants an account or a well-known group generic rights on a
// file, directory or registry key through an inheritable access-allowed entry.
#include "wbnative.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace {

typedef BOOL(WINAPI* ConvertStringSidToSidWFn)(LPCWSTR, PSID*);

// One line on standard output, in the ANSI code page, flushed at once.
void printLine(const wchar_t* format, DWORD code, const wchar_t* name = nullptr) {
    wchar_t text[1024];
    int n = name ? swprintf(text, 1024, format, static_cast<unsigned>(code), name)
                 : swprintf(text, 1024, format, static_cast<unsigned>(code));
    if (n < 0) text[1023] = L'\0';
    char line[4096];
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, line, sizeof line, nullptr, nullptr) <= 0) line[0] = '\0';
    fputs(line, stdout);
    fflush(stdout);
}

// A SID from a string or an account name; freed with LocalFree.
PSID accountSid(const wchar_t* account) {
    if (!account) return nullptr;
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    ConvertStringSidToSidWFn convert =
        advapi32 ? procAddress<ConvertStringSidToSidWFn>(advapi32, "ConvertStringSidToSidW") : nullptr;
    if (!convert) return nullptr;
    PSID sid = nullptr;
    if (convert(account, &sid)) return sid;
    const DWORD kSidBytes = 8192;
    sid = LocalAlloc(LPTR, kSidBytes);
    if (!sid) return nullptr;
    DWORD sidSize = kSidBytes;
    DWORD domainChars = 8192;
    std::unique_ptr<wchar_t[]> domain(new wchar_t[domainChars]());
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, account, sid, &sidSize, domain.get(), &domainChars, &use)) {
        LocalFree(sid);
        return nullptr;
    }
    return sid;
}

}  // namespace

/// Adds one entry for the SID to the object's DACL; returns a Windows error
/// code (0 on success) and prints the failing call's code on standard output.
static DWORD addAccessEntry(wchar_t* name, SE_OBJECT_TYPE type, PSID sid, DWORD rights, ACCESS_MODE mode,
                     DWORD inheritance) {
    if (!name) return ERROR_INVALID_PARAMETER;
    PACL oldDacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = GetNamedSecurityInfoW(name, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldDacl, nullptr,
                                     &descriptor);
    if (rc != ERROR_SUCCESS) {
        printLine(L"GetNamedSecurityInfo Error %u %ls\n", rc, name);
        return rc;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = mode;
    access.grfInheritance = inheritance;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    PACL newDacl = nullptr;
    rc = SetEntriesInAclW(1, &access, oldDacl, &newDacl);
    if (rc != ERROR_SUCCESS) {
        printLine(L"SetEntriesInAcl Error %u\n", rc);
    } else {
        rc = SetNamedSecurityInfoW(name, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, newDacl, nullptr);
        if (rc != ERROR_SUCCESS) printLine(L"SetNamedSecurityInfo Error %u\n", rc);
    }
    LocalFree(descriptor);
    if (newDacl) LocalFree(newDacl);
    return rc;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ACLHandling_addACE(
    JNIEnv* env, jclass, jstring path, jboolean registry, jboolean read, jboolean write, jboolean execute,
    jboolean all, jint kind, jstring account) {
    SE_OBJECT_TYPE type = registry ? SE_REGISTRY_KEY : SE_FILE_OBJECT;
    DWORD rights = (read ? GENERIC_READ : 0) | (write ? GENERIC_WRITE : 0) | (execute ? GENERIC_EXECUTE : 0) |
                   (all ? GENERIC_ALL : 0);

    std::unique_ptr<wchar_t[]> object;
    if (!jstringToWide(env, path, object)) return JNI_FALSE;
    PSID sid = nullptr;
    bool localSid = kind == 3;  // LocalFree for an account's SID, FreeSid otherwise
    if (localSid) {
        std::unique_ptr<wchar_t[]> name;
        if (!jstringToWide(env, account, name)) return JNI_FALSE;
        sid = accountSid(name.get());
    } else {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        BOOL ok;
        if (kind == 1) {
            ok = AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0, 0, 0, 0, &sid);
        } else if (kind == 5) {
            // The built-in Power Users group (S-1-5-32-547).
            ok = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS, 0, 0, 0,
                                          0, 0, 0, &sid);
        } else {
            ok = AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid);
        }
        if (!ok) sid = nullptr;
    }
    if (!sid) return JNI_FALSE;

    DWORD rc = addAccessEntry(object.get(), type, sid, rights, GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    if (localSid)
        LocalFree(sid);
    else
        FreeSid(sid);
    return rc == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}
