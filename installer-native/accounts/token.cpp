// Win32UserInfo: questions about the current token, and starting a program
// elevated.
#include "wbnative.h"

#include <sddl.h>

namespace {

typedef BOOL(WINAPI* AllocateAndInitializeSidFn)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                 DWORD, DWORD, DWORD, PSID*);
typedef BOOL(WINAPI* EqualSidFn)(PSID, PSID);
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI* OpenProcessTokenFn)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* OpenThreadTokenFn)(HANDLE, DWORD, BOOL, PHANDLE);
typedef BOOL(WINAPI* ConvertSidToStringSidWFn)(PSID, LPWSTR*);

AllocateAndInitializeSidFn gAllocateAndInitializeSid = nullptr;
EqualSidFn gEqualSid = nullptr;
GetTokenInformationFn gGetTokenInformation = nullptr;
OpenProcessTokenFn gOpenProcessToken = nullptr;
OpenThreadTokenFn gOpenThreadToken = nullptr;
bool gSspicliLoaded = false;

// Binds the token functions from the loaded advapi32, on every call.
bool loadTokenFunctions() {
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    if (!advapi32) return false;
    gAllocateAndInitializeSid = procAddress<AllocateAndInitializeSidFn>(advapi32, "AllocateAndInitializeSid");
    gEqualSid = procAddress<EqualSidFn>(advapi32, "EqualSid");
    gGetTokenInformation = procAddress<GetTokenInformationFn>(advapi32, "GetTokenInformation");
    gOpenProcessToken = procAddress<OpenProcessTokenFn>(advapi32, "OpenProcessToken");
    gOpenThreadToken = procAddress<OpenThreadTokenFn>(advapi32, "OpenThreadToken");
    return gAllocateAndInitializeSid && gEqualSid && gGetTokenInformation && gOpenProcessToken && gOpenThreadToken;
}

// The thread's token when it impersonates, else the process token; closed
// by the caller.
HANDLE openCurrentToken() {
    HANDLE token = nullptr;
    if (gOpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return token;
    if (gOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return token;
    return nullptr;
}

// One token information class, read into a buffer of the size it needs.
// sized tells whether the size could be learnt at all.
std::unique_ptr<BYTE[]> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, bool* sized) {
    DWORD size = 0;
    *sized = gGetTokenInformation(token, what, nullptr, 0, &size) || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (!*sized || size == 0) return nullptr;
    std::unique_ptr<BYTE[]> data(new BYTE[size]());
    if (!gGetTokenInformation(token, what, data.get(), size, &size)) return nullptr;
    return data;
}

}  // namespace

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserSid0(
    JNIEnv* env, jclass) {
    if (!loadTokenFunctions()) return nullptr;
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    ConvertSidToStringSidWFn convert = procAddress<ConvertSidToStringSidWFn>(advapi32, "ConvertSidToStringSidW");
    if (!convert) return nullptr;
    HANDLE token = openCurrentToken();
    if (!token) return nullptr;
    bool sized = false;
    std::unique_ptr<BYTE[]> data = tokenInformation(token, TokenUser, &sized);
    CloseHandle(token);
    if (!data) return nullptr;
    LPWSTR text = nullptr;
    if (!convert(reinterpret_cast<TOKEN_USER*>(data.get())->User.Sid, &text)) return nullptr;
    jstring result = env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
    LocalFree(text);
    return result;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_isMemberOfGroup0(
    JNIEnv*, jclass, jint rid) {
    // Whenever the membership cannot be checked, the answer is yes.
    if (!loadTokenFunctions()) return JNI_TRUE;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID group = nullptr;
    if (!gAllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, static_cast<DWORD>(rid), 0, 0, 0, 0, 0, 0,
                                   &group))
        return JNI_TRUE;
    jboolean result = JNI_TRUE;
    HANDLE token = openCurrentToken();
    if (token) {
        bool sized = false;
        std::unique_ptr<BYTE[]> data = tokenInformation(token, TokenGroups, &sized);
        if (sized) {
            result = JNI_FALSE;
            const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(data.get());
            for (DWORD i = 0; groups && i < groups->GroupCount; ++i) {
                // A group kept only for denying access (a filtered
                // administrator token) does not count.
                DWORD use = groups->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY);
                if (gEqualSid(groups->Groups[i].Sid, group) && use == SE_GROUP_ENABLED) {
                    result = JNI_TRUE;
                    break;
                }
            }
        }
        CloseHandle(token);
    }
    FreeSid(group);
    return result;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getElevationType0(
    JNIEnv*, jclass) {
    if (!loadTokenFunctions()) return 0;
    HANDLE token = nullptr;
    if (!gOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
    DWORD type = 0;
    DWORD size = sizeof type;
    if (!gGetTokenInformation(token, TokenElevationType, &type, sizeof type, &size)) type = 0;
    CloseHandle(token);
    return static_cast<jint>(type);
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_executeElevated0(
    JNIEnv* env, jclass, jstring file, jstring parameters, jstring directory, jint showCommand) {
    std::unique_ptr<wchar_t[]> fileText, parameterText, directoryText;
    if (!jstringToWide(env, file, fileText) || !jstringToWide(env, parameters, parameterText) ||
        !jstringToWide(env, directory, directoryText))
        return JNI_FALSE;
    // Beyond the longest path or command line Windows takes (32767 units with
    // the terminator) Windows fails; Wine's ShellExecuteW ends the calling
    // process instead, so refuse first.
    constexpr size_t kMaxChars = 32766;
    const wchar_t* texts[] = {fileText.get(), parameterText.get(), directoryText.get()};
    for (const wchar_t* text : texts)
        if (text && wcslen(text) > kMaxChars) return JNI_FALSE;
    if (!gSspicliLoaded) {
        // The elevation prompt needs it on some systems; loaded ahead once.
        gSspicliLoaded = true;
        loadSystemLibrary(L"sspicli.dll");
    }
    INT_PTR r = reinterpret_cast<INT_PTR>(
        shellExecute(nullptr, L"runas", fileText.get(), parameterText.get(), directoryText.get(), showCommand));
    return r > 32 ? JNI_TRUE : JNI_FALSE;
}
