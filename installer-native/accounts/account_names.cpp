// Win32UserInfo: SIDs to account names and profile folders, and LSA account
// rights.
#include "wbnative.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>

namespace {

typedef BOOL(WINAPI* ConvertStringSidToSidWFn)(LPCWSTR, PSID*);
typedef BOOL(WINAPI* LogonUserWFn)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, DWORD, PHANDLE);
typedef BOOL(WINAPI* GetUserProfileDirectoryWFn)(HANDLE, LPWSTR, LPDWORD);
typedef LONG(WINAPI* LsaOpenPolicyFn)(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK, PLSA_HANDLE);
typedef LONG(WINAPI* LsaAddAccountRightsFn)(LSA_HANDLE, PSID, PLSA_UNICODE_STRING, ULONG);
typedef LONG(WINAPI* LsaRemoveAccountRightsFn)(LSA_HANDLE, PSID, BOOLEAN, PLSA_UNICODE_STRING, ULONG);
typedef LONG(WINAPI* LsaCloseFn)(LSA_HANDLE);

const DWORD kNameChars = 8192;

// The service accounts, which have neither a profile of their own nor a
// name that needs looking up.
bool isServiceSid(const wchar_t* sid) {
    return sid && (wcscmp(sid, L"S-1-5-18") == 0 || wcscmp(sid, L"S-1-5-19") == 0 || wcscmp(sid, L"S-1-5-20") == 0);
}

bool isBuiltinSid(const wchar_t* sid) { return sid && wcsncmp(sid, L"S-1-5-32-", 9) == 0; }

jstring newString(JNIEnv* env, const std::wstring& text) {
    return env->NewString(reinterpret_cast<const jchar*>(text.c_str()), static_cast<jsize>(text.size()));
}

// " <text> <GetLastError()>": every failure text starts with a blank.
std::wstring failure(const wchar_t* what) {
    DWORD error = GetLastError();
    return std::wstring(what) + std::to_wstring(static_cast<int>(error));
}

}  // namespace

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserProfileDirectory0(
    JNIEnv* env, jclass, jstring sidString, jstring password) {
    std::unique_ptr<wchar_t[]> sidText, passwordText;
    if (!jstringToWide(env, sidString, sidText) || !jstringToWide(env, password, passwordText)) return nullptr;
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    HMODULE userenv = advapi32 ? loadSystemLibrary(L"Userenv.dll") : nullptr;
    if (!advapi32 || !userenv) return newString(env, failure(L" could not load library "));

    std::wstring result;
    PSID sid = nullptr;
    auto convert = procAddress<ConvertStringSidToSidWFn>(advapi32, "ConvertStringSidToSidW");
    auto logonUser = procAddress<LogonUserWFn>(advapi32, "LogonUserW");
    auto getProfileDirectory = procAddress<GetUserProfileDirectoryWFn>(userenv, "GetUserProfileDirectoryW");
    if (isServiceSid(sidText.get())) {
        result = L" no user account";
    } else if (!convert || !logonUser || !getProfileDirectory) {
        result = failure(L" could not get functions ");
    } else if (!convert(sidText.get(), &sid)) {
        sid = nullptr;
        result = failure(L" could not convert sid ");
    } else {
        std::unique_ptr<wchar_t[]> name(new wchar_t[kNameChars]());
        std::unique_ptr<wchar_t[]> domain(new wchar_t[kNameChars]());
        DWORD nameChars = kNameChars, domainChars = kNameChars;
        SID_NAME_USE use;
        if (!LookupAccountSidW(nullptr, sid, name.get(), &nameChars, domain.get(), &domainChars, &use)) {
            result = failure(L" could not look up account name ");
        } else {
            // Built-in and domain-less accounts log on at this machine.
            const wchar_t* logonDomain = isBuiltinSid(sidText.get()) || domain[0] == L'\0' ? L"." : domain.get();
            HANDLE token = nullptr;
            if (!logonUser(name.get(), logonDomain, passwordText.get(), LOGON32_LOGON_NETWORK,
                           LOGON32_PROVIDER_DEFAULT, &token)) {
                result = failure(L" could not get token ");
            } else {
                std::unique_ptr<wchar_t[]> profile(new wchar_t[kNameChars]());
                DWORD profileChars = kNameChars;
                if (getProfileDirectory(token, profile.get(), &profileChars))
                    result = profile.get();
                else
                    result = failure(L" could not get user profile dir ");
                CloseHandle(token);
            }
        }
    }
    if (sid) LocalFree(sid);
    return newString(env, result);
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getAccountName0(
    JNIEnv* env, jclass, jstring sidString, jboolean nameOnly) {
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    if (!advapi32) return newString(env, L"");
    std::unique_ptr<wchar_t[]> sidText;
    if (!jstringToWide(env, sidString, sidText)) return nullptr;
    if (sidText) {
        // Answered without a lookup: names that differ between languages.
        if (wcscmp(sidText.get(), L"S-1-5-18") == 0) return newString(env, L"NT AUTHORITY\\System");
        if (wcscmp(sidText.get(), L"S-1-5-19") == 0) return newString(env, L"NT AUTHORITY\\LocalService");
        if (wcscmp(sidText.get(), L"S-1-5-20") == 0) return newString(env, L"NT AUTHORITY\\NetworkService");
    }
    auto convert = procAddress<ConvertStringSidToSidWFn>(advapi32, "ConvertStringSidToSidW");
    if (!convert) return newString(env, L"");
    PSID sid = nullptr;
    if (!convert(sidText.get(), &sid)) return newString(env, failure(L" "));

    std::wstring result;
    std::unique_ptr<wchar_t[]> name(new wchar_t[kNameChars]());
    std::unique_ptr<wchar_t[]> domain(new wchar_t[kNameChars]());
    DWORD nameChars = kNameChars, domainChars = kNameChars;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name.get(), &nameChars, domain.get(), &domainChars, &use))
        result = failure(L" ");
    else if (nameOnly)
        result = name.get();
    else if (isBuiltinSid(sidText.get()) || domain[0] == L'\0')
        result = std::wstring(L".\\") + name.get();
    else
        result = std::wstring(domain.get()) + L"\\" + name.get();
    LocalFree(sid);
    return newString(env, result);
}

/// Grants (add) or revokes one LSA account right, or all of them when the
/// right is null and add is false. The account is a SID string or a name.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_setLsaAccountRight0(
    JNIEnv* env, jclass, jstring account, jstring right, jboolean add) {
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    if (!advapi32) return JNI_FALSE;
    auto lsaOpenPolicy = procAddress<LsaOpenPolicyFn>(advapi32, "LsaOpenPolicy");
    auto lsaAddAccountRights = procAddress<LsaAddAccountRightsFn>(advapi32, "LsaAddAccountRights");
    auto lsaRemoveAccountRights = procAddress<LsaRemoveAccountRightsFn>(advapi32, "LsaRemoveAccountRights");
    auto lsaClose = procAddress<LsaCloseFn>(advapi32, "LsaClose");
    auto convert = procAddress<ConvertStringSidToSidWFn>(advapi32, "ConvertStringSidToSidW");
    if (!lsaOpenPolicy || !lsaAddAccountRights || !lsaRemoveAccountRights || !lsaClose) return JNI_FALSE;

    // A right that could not be copied is no null right, which would revoke all.
    std::unique_ptr<wchar_t[]> accountText, rightText;
    if (!jstringToWide(env, account, accountText) || !jstringToWide(env, right, rightText)) return JNI_FALSE;
    // An LSA string counts its bytes in 16 bits.
    if (!accountText || (rightText && wcslen(rightText.get()) > 0x7FFE)) return JNI_FALSE;
    PSID sid = nullptr;
    if (!convert || !convert(accountText.get(), &sid)) {
        const DWORD kSidBytes = 8192;
        sid = LocalAlloc(LPTR, kSidBytes);
        if (!sid) return JNI_FALSE;
        DWORD sidSize = kSidBytes, domainChars = kNameChars;
        std::unique_ptr<wchar_t[]> domain(new wchar_t[kNameChars]());
        SID_NAME_USE use;
        if (!LookupAccountNameW(nullptr, accountText.get(), sid, &sidSize, domain.get(), &domainChars, &use)) {
            LocalFree(sid);
            return JNI_FALSE;
        }
    }

    jboolean result = JNI_FALSE;
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    if (lsaOpenPolicy(nullptr, &attributes, POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, &policy) == 0) {
        wchar_t empty[1] = {L'\0'};
        wchar_t* rightName = rightText ? rightText.get() : empty;
        size_t bytes = wcslen(rightName) * sizeof(wchar_t);
        LSA_UNICODE_STRING lsaRight;
        lsaRight.Buffer = rightName;
        lsaRight.Length = static_cast<USHORT>(bytes);
        lsaRight.MaximumLength = static_cast<USHORT>(bytes + sizeof(wchar_t));
        LONG status = add ? lsaAddAccountRights(policy, sid, &lsaRight, 1)
                          : lsaRemoveAccountRights(policy, sid, rightText ? FALSE : TRUE, &lsaRight, 1);
        lsaClose(policy);
        result = status == 0 ? JNI_TRUE : JNI_FALSE;
    }
    LocalFree(sid);
    return result;
}
