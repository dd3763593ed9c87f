// A test-only netapi32.dll. Wine's netapi32 only pretends to manage local
// accounts, so the account tests load this module under that name first and
// drive every result of the library's account natives through it. It keeps
// users and local groups in memory, logs each call with its arguments, and
// fails the next call of a function with a status the test chooses.
// Built twice: complete, and (WBTEST_PARTIAL) without NetUserDel and
// NetLocalGroupGetInfo, for the library's missing-function paths.
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <map>
#include <set>
#include <string>

#define STANDIN extern "C" __declspec(dllexport)

namespace {

struct User {
    std::wstring sid;
};
std::map<std::wstring, User> gUsers;
std::map<std::wstring, std::set<std::wstring>> gGroups;  // members as SID strings
std::map<std::string, std::pair<NET_API_STATUS, DWORD>> gFailNext;
std::wstring gLog;
int gNextRid = 1001;
long gOutstanding = 0;

std::wstring text(LPCWSTR s) { return s ? std::wstring(L"\"") + s + L"\"" : L"null"; }

void log(const std::wstring& line) { gLog += line + L"\n"; }

bool forced(const char* function, NET_API_STATUS* status, DWORD* parameterError = nullptr) {
    auto it = gFailNext.find(function);
    if (it == gFailNext.end()) return false;
    *status = it->second.first;
    if (parameterError) *parameterError = it->second.second;
    gFailNext.erase(it);
    return true;
}

}  // namespace

// --- the test's controls ---

STANDIN void __cdecl standinReset() {
    gUsers.clear();
    gGroups.clear();
    gFailNext.clear();
    gLog.clear();
    gNextRid = 1001;
}

// The next call of the function returns the status (and, for NetUserAdd,
// reports the parameter-error index).
STANDIN void __cdecl standinFailNext(const char* function, DWORD status, DWORD parameterError) {
    gFailNext[function] = {status, parameterError};
}

STANDIN void __cdecl standinAddGroup(LPCWSTR name) { gGroups[name]; }

STANDIN BOOL __cdecl standinHasUser(LPCWSTR name) { return gUsers.count(name) != 0; }

STANDIN BOOL __cdecl standinIsMember(LPCWSTR group, LPCWSTR sid) {
    auto it = gGroups.find(group);
    return it != gGroups.end() && it->second.count(sid) != 0;
}

STANDIN const wchar_t* __cdecl standinLog() { return gLog.c_str(); }

// Buffers handed out and not yet given back through NetApiBufferFree.
STANDIN long __cdecl standinOutstandingBuffers() { return gOutstanding; }

// --- netapi32 ---

STANDIN NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer) {
    if (buffer) {
        --gOutstanding;
        HeapFree(GetProcessHeap(), 0, buffer);
    }
    return NERR_Success;
}

STANDIN NET_API_STATUS WINAPI NetUserAdd(LPCWSTR server, DWORD level, LPBYTE buffer, LPDWORD parameterError) {
    const USER_INFO_1* info = reinterpret_cast<const USER_INFO_1*>(buffer);
    log(L"NetUserAdd " + text(server) + L" " + std::to_wstring(level) + L" " + text(info->usri1_name) + L" " +
        text(info->usri1_password) + L" age=" + std::to_wstring(info->usri1_password_age) +
        L" priv=" + std::to_wstring(info->usri1_priv) + L" home=" + text(info->usri1_home_dir) + L" " +
        text(info->usri1_comment) + L" flags=" + std::to_wstring(info->usri1_flags) +
        L" script=" + text(info->usri1_script_path));
    NET_API_STATUS status;
    DWORD index = 0;
    if (forced("NetUserAdd", &status, &index)) {
        if (parameterError) *parameterError = index;
        return status;
    }
    if (gUsers.count(info->usri1_name)) return NERR_UserExists;
    gUsers[info->usri1_name] = {L"S-1-5-21-1000-2000-3000-" + std::to_wstring(gNextRid++)};
    return NERR_Success;
}

STANDIN NET_API_STATUS WINAPI NetUserGetInfo(LPCWSTR server, LPCWSTR name, DWORD level, LPBYTE* buffer) {
    log(L"NetUserGetInfo " + text(server) + L" " + text(name) + L" " + std::to_wstring(level));
    *buffer = nullptr;
    NET_API_STATUS status;
    if (forced("NetUserGetInfo", &status)) return status;
    auto it = gUsers.find(name);
    if (it == gUsers.end()) return NERR_UserNotFound;
    if (level != 23) return ERROR_INVALID_LEVEL;
    // One block: the record, then the SID (an invalid one for the name
    // "bad-sid", whose SID cannot be written as a string).
    PSID sid = nullptr;
    ConvertStringSidToSidW(it->second.sid.c_str(), &sid);
    DWORD sidBytes = GetLengthSid(sid);
    BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(USER_INFO_23) + sidBytes));
    USER_INFO_23* info = reinterpret_cast<USER_INFO_23*>(block);
    info->usri23_user_sid = block + sizeof(USER_INFO_23);
    memcpy(info->usri23_user_sid, sid, sidBytes);
    LocalFree(sid);
    if (it->first == L"bad-sid") static_cast<BYTE*>(info->usri23_user_sid)[0] = 7;  // revision 7: not a SID
    ++gOutstanding;
    *buffer = block;
    return NERR_Success;
}

#ifndef WBTEST_PARTIAL
STANDIN NET_API_STATUS WINAPI NetUserDel(LPCWSTR server, LPCWSTR name) {
    log(L"NetUserDel " + text(server) + L" " + text(name));
    NET_API_STATUS status;
    if (forced("NetUserDel", &status)) return status;
    return gUsers.erase(name) ? NERR_Success : NERR_UserNotFound;
}

STANDIN NET_API_STATUS WINAPI NetLocalGroupGetInfo(LPCWSTR server, LPCWSTR name, DWORD level, LPBYTE* buffer) {
    log(L"NetLocalGroupGetInfo " + text(server) + L" " + text(name) + L" " + std::to_wstring(level));
    *buffer = nullptr;
    NET_API_STATUS status;
    if (forced("NetLocalGroupGetInfo", &status)) return status;
    if (!gGroups.count(name)) return NERR_GroupNotFound;
    *buffer = static_cast<LPBYTE>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(LOCALGROUP_INFO_1)));
    ++gOutstanding;
    return NERR_Success;
}
#endif

STANDIN NET_API_STATUS WINAPI NetLocalGroupAdd(LPCWSTR server, DWORD level, LPBYTE buffer, LPDWORD) {
    const LOCALGROUP_INFO_1* info = reinterpret_cast<const LOCALGROUP_INFO_1*>(buffer);
    log(L"NetLocalGroupAdd " + text(server) + L" " + std::to_wstring(level) + L" " + text(info->lgrpi1_name) + L" " +
        text(info->lgrpi1_comment));
    NET_API_STATUS status;
    if (forced("NetLocalGroupAdd", &status)) return status;
    if (gGroups.count(info->lgrpi1_name)) return ERROR_ALIAS_EXISTS;
    gGroups[info->lgrpi1_name];
    return NERR_Success;
}

STANDIN NET_API_STATUS WINAPI NetLocalGroupDel(LPCWSTR server, LPCWSTR name) {
    log(L"NetLocalGroupDel " + text(server) + L" " + text(name));
    NET_API_STATUS status;
    if (forced("NetLocalGroupDel", &status)) return status;
    return gGroups.erase(name) ? NERR_Success : NERR_GroupNotFound;
}

STANDIN NET_API_STATUS WINAPI NetLocalGroupAddMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE buffer,
                                                      DWORD count) {
    const LOCALGROUP_MEMBERS_INFO_0* member = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buffer);
    LPWSTR sid = nullptr;
    ConvertSidToStringSidW(member->lgrmi0_sid, &sid);
    log(L"NetLocalGroupAddMembers " + text(server) + L" " + text(group) + L" " + std::to_wstring(level) + L" " +
        text(sid) + L" " + std::to_wstring(count));
    std::wstring sidText = sid ? sid : L"";
    LocalFree(sid);
    NET_API_STATUS status;
    if (forced("NetLocalGroupAddMembers", &status)) return status;
    auto it = gGroups.find(group);
    if (it == gGroups.end()) return NERR_GroupNotFound;
    return it->second.insert(sidText).second ? NERR_Success : ERROR_MEMBER_IN_ALIAS;
}
