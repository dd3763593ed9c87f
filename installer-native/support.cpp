// Helpers shared by all families of natives.
#include "wbnative.h"

#include <shellapi.h>
#include <shlobj.h>


std::unique_ptr<wchar_t[]> jstringToWide(JNIEnv* env, jstring string) {
    if (!string) return nullptr;
    jsize length = env->GetStringLength(string);
    const jchar* chars = env->GetStringChars(string, nullptr);
    if (!chars) return nullptr;  // out of memory: an OutOfMemoryError is pending
    std::unique_ptr<wchar_t[]> copy(new wchar_t[length + 1]);
    for (jsize i = 0; i < length; ++i) copy[i] = static_cast<wchar_t>(chars[i]);
    copy[length] = L'\0';
    env->ReleaseStringChars(string, chars);
    return copy;
}

HMODULE loadSystemLibrary(const wchar_t* name) {
    HMODULE module = GetModuleHandleW(name);
    return module ? module : LoadLibraryW(name);
}

bool setPrivilege(const wchar_t* name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool ok = false;
    // An unknown name leaves no LUID to adjust.
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        // The call succeeds for a privilege the token lacks; only the last
        // error (ERROR_NOT_ALL_ASSIGNED) tells.
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        ok = GetLastError() == 0;
    }
    CloseHandle(token);
    return ok;
}

namespace {

typedef void(WINAPI* SHChangeNotifyFn)(LONG, UINT, LPCVOID, LPCVOID);
typedef HINSTANCE(WINAPI* ShellExecuteWFn)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

SHChangeNotifyFn gSHChangeNotify = nullptr;
ShellExecuteWFn gShellExecuteW = nullptr;
bool gShellHelpersLoaded = false;

}  // namespace

bool loadShellFunctions() {
    if (gSHChangeNotify && gShellExecuteW) return true;
    if (!gShellHelpersLoaded) {
        // Loaded ahead of shell32 on purpose: shell extensions of some
        // systems expect these helpers in the process already.
        gShellHelpersLoaded = true;
        LoadLibraryW(L"davhlpr.dll");
        LoadLibraryW(L"fwbase.dll");
    }
    HMODULE shell32 = LoadLibraryW(L"shell32.dll");
    if (!shell32) return false;
    gSHChangeNotify = procAddress<SHChangeNotifyFn>(shell32, "SHChangeNotify");
    gShellExecuteW = procAddress<ShellExecuteWFn>(shell32, "ShellExecuteW");
    return gSHChangeNotify && gShellExecuteW;
}

void shellChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2) {
    if (loadShellFunctions()) gSHChangeNotify(eventId, flags, item1, item2);
}

HINSTANCE shellExecute(HWND window, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                       const wchar_t* directory, int showCommand) {
    if (!loadShellFunctions()) return nullptr;
    return gShellExecuteW(window, verb, file, parameters, directory, showCommand);
}
