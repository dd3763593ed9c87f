// Helpers shared by all families of natives.
#include "wbnative.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <new>


bool jstringToWide(JNIEnv* env, jstring string, std::unique_ptr<wchar_t[]>& copy) {
    copy.reset();
    if (!string) return true;
    jsize length = env->GetStringLength(string);
    const jchar* chars = env->GetStringChars(string, nullptr);
    if (!chars) return false;  // out of memory: an OutOfMemoryError is pending
    copy.reset(new (std::nothrow) wchar_t[length + 1]);
    if (copy) {
        for (jsize i = 0; i < length; ++i) copy[i] = static_cast<wchar_t>(chars[i]);
        copy[length] = L'\0';
    }
    env->ReleaseStringChars(string, chars);
    return copy != nullptr;
}

HMODULE loadSystemLibraryFrom(const wchar_t* name, bool searchFlagSupported) {
    if (searchFlagSupported) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Without the search flag (Windows 7 and older lacking its update): the
    // full path, so that no search happens at all.
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    size_t nameLength = wcslen(name);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, nameLength + 1);
    // Dependencies of the DLL are looked up beside it, in the system directory.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE loadSystemLibrary(const wchar_t* name) {
    if (HMODULE module = GetModuleHandleW(name)) return module;
    // The flag came with AddDllDirectory: where that is missing, so is the flag.
    static const bool searchFlagSupported =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
    return loadSystemLibraryFrom(name, searchFlagSupported);
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
        loadSystemLibrary(L"davhlpr.dll");
        loadSystemLibrary(L"fwbase.dll");
    }
    HMODULE shell32 = loadSystemLibrary(L"shell32.dll");
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
