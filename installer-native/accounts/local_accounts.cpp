// Win32UserInfo: local users and groups through netapi32, found by name at
// call time (loaded if need be, never freed).
#include "wbnative.h"

#include <lm.h>
#include <sddl.h>

#include <cwchar>

namespace {

typedef NET_API_STATUS(WINAPI* NetDelFn)(LPCWSTR, LPCWSTR);
typedef NET_API_STATUS(WINAPI* NetLocalGroupAddFn)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
typedef NET_API_STATUS(WINAPI* NetLocalGroupGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetApiBufferFreeFn)(LPVOID);
typedef NET_API_STATUS(WINAPI* NetUserAddFn)(LPCWSTR, DWORD, LPBYTE, LPDWORD);
typedef NET_API_STATUS(WINAPI* NetUserGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetLocalGroupAddMembersFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE, DWORD);
typedef BOOL(WINAPI* ConvertSidToStringSidWFn)(PSID, LPWSTR*);

// NetUserDel or NetLocalGroupDel with (server, name); -1 when netapi32 or
// the function is missing.
jint netDelete(JNIEnv* env, const char* function, jstring server, jstring name) {
    HMODULE netapi32 = loadSystemLibrary(L"netapi32.dll");
    NetDelFn del = netapi32 ? procAddress<NetDelFn>(netapi32, function) : nullptr;
    if (!del) return -1;
    std::unique_ptr<wchar_t[]> serverText, nameText;
    if (!jstringToWide(env, server, serverText) || !jstringToWide(env, name, nameText)) return -1;
    return static_cast<jint>(del(serverText.get(), nameText.get()));
}

const size_t kResultChars = 8192;

}  // namespace

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0(
    JNIEnv* env, jclass, jstring server, jstring user) {
    return netDelete(env, "NetUserDel", server, user);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteLocalGroup0(
    JNIEnv* env, jclass, jstring server, jstring group) {
    return netDelete(env, "NetLocalGroupDel", server, group);
}

/// Creates a local user, optionally in a local group that it may create.
/// Returns the user's SID string (with the group's SID string and whether
/// the group was created, when a group is named and found), or a failure
/// text of numbers whose first names the failing step; null when a function
/// is missing.
extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0(
    JNIEnv* env, jclass, jstring user, jstring password, jstring comment, jstring group, jstring groupComment,
    jboolean createGroup, jboolean failIfGroupExists) {
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    ConvertSidToStringSidWFn convertSid =
        advapi32 ? procAddress<ConvertSidToStringSidWFn>(advapi32, "ConvertSidToStringSidW") : nullptr;
    HMODULE netapi32 = loadSystemLibrary(L"netapi32.dll");
    if (!convertSid || !netapi32) return nullptr;
    auto netLocalGroupAdd = procAddress<NetLocalGroupAddFn>(netapi32, "NetLocalGroupAdd");
    auto netLocalGroupGetInfo = procAddress<NetLocalGroupGetInfoFn>(netapi32, "NetLocalGroupGetInfo");
    auto netApiBufferFree = procAddress<NetApiBufferFreeFn>(netapi32, "NetApiBufferFree");
    auto netUserAdd = procAddress<NetUserAddFn>(netapi32, "NetUserAdd");
    auto netUserGetInfo = procAddress<NetUserGetInfoFn>(netapi32, "NetUserGetInfo");
    auto netLocalGroupAddMembers = procAddress<NetLocalGroupAddMembersFn>(netapi32, "NetLocalGroupAddMembers");
    if (!netLocalGroupAdd || !netLocalGroupGetInfo || !netApiBufferFree || !netUserAdd || !netUserGetInfo ||
        !netLocalGroupAddMembers)
        return nullptr;

    std::unique_ptr<wchar_t[]> userText, passwordText, commentText, groupText, groupCommentText;
    if (!jstringToWide(env, user, userText) || !jstringToWide(env, password, passwordText) ||
        !jstringToWide(env, comment, commentText) || !jstringToWide(env, group, groupText) ||
        !jstringToWide(env, groupComment, groupCommentText))
        return nullptr;
    wchar_t result[kResultChars] = {};
    bool groupCreated = false;

    if (groupText) {
        if (createGroup) {
            LOCALGROUP_INFO_1 info{groupText.get(), groupCommentText.get()};
            NET_API_STATUS status = netLocalGroupAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), nullptr);
            bool exists = status == ERROR_ALIAS_EXISTS || status == NERR_GroupExists;
            if (status == NERR_Success)
                groupCreated = true;
            else if (!exists || failIfGroupExists)
                swprintf(result, kResultChars, L"%d %d", 1, static_cast<int>(status));
        } else {
            LPBYTE info = nullptr;
            NET_API_STATUS status = netLocalGroupGetInfo(nullptr, groupText.get(), 1, &info);
            if (status != NERR_Success) swprintf(result, kResultChars, L"%d %d", 6, static_cast<int>(status));
            if (info) netApiBufferFree(info);
        }
    }

    if (result[0] == L'\0') {
        USER_INFO_1 info{};
        info.usri1_name = userText.get();
        info.usri1_password = passwordText.get();
        info.usri1_password_age = 0;
        info.usri1_priv = USER_PRIV_USER;
        info.usri1_home_dir = nullptr;
        info.usri1_comment = commentText.get();
        info.usri1_flags = UF_SCRIPT;
        info.usri1_script_path = nullptr;
        DWORD parameterError = 0;
        NET_API_STATUS status = netUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), &parameterError);
        if (status != NERR_Success) {
            swprintf(result, kResultChars, L"%d %d %d", 2, static_cast<int>(status), static_cast<int>(parameterError));
        } else {
            LPBYTE record = nullptr;
            status = netUserGetInfo(nullptr, userText.get(), 23, &record);
            if (status != NERR_Success) {
                swprintf(result, kResultChars, L"%d %d", 3, static_cast<int>(status));
            } else {
                PSID userSid = reinterpret_cast<USER_INFO_23*>(record)->usri23_user_sid;
                if (groupText) {
                    LOCALGROUP_MEMBERS_INFO_0 member{userSid};
                    status = netLocalGroupAddMembers(nullptr, groupText.get(), 0, reinterpret_cast<LPBYTE>(&member), 1);
                    if (status != NERR_Success && status != ERROR_MEMBER_IN_ALIAS)
                        swprintf(result, kResultChars, L"%d %d", 4, static_cast<int>(status));
                }
                if (result[0] == L'\0') {
                    LPWSTR userSidText = nullptr;
                    if (!convertSid(userSid, &userSidText)) {
                        swprintf(result, kResultChars, L"%d", 5);
                    } else {
                        swprintf(result, kResultChars, L"%ls", userSidText);
                        LocalFree(userSidText);
                        if (groupText) {
                            const DWORD kBufferSize = 8192;
                            std::unique_ptr<BYTE[]> groupSid(new BYTE[kBufferSize]());
                            std::unique_ptr<wchar_t[]> domain(new wchar_t[kBufferSize]());
                            DWORD sidSize = kBufferSize, domainChars = kBufferSize;
                            SID_NAME_USE use;
                            LPWSTR groupSidText = nullptr;
                            if (LookupAccountNameW(nullptr, groupText.get(), groupSid.get(), &sidSize, domain.get(),
                                                   &domainChars, &use) &&
                                convertSid(groupSid.get(), &groupSidText)) {
                                size_t used = wcslen(result);
                                swprintf(result + used, kResultChars - used, L" %ls %ls", groupSidText,
                                         groupCreated ? L"true" : L"false");
                                LocalFree(groupSidText);
                            }
                        }
                    }
                }
            }
            if (record) netApiBufferFree(record);
        }
    }

    if (result[0] == L'\0') return nullptr;
    return env->NewString(reinterpret_cast<const jchar*>(result), static_cast<jsize>(wcslen(result)));
}
