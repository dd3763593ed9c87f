// FolderInfo: special folders, the Windows and system directories, drive
// types, short and UNC forms of paths, paths kept under CurrentVersion.
#include "wbnative.h"

#include <shlobj.h>
#include <winnetwk.h>

#include <cwchar>

namespace {

typedef HRESULT(WINAPI* SHGetFolderPathWFn)(HWND, int, HANDLE, DWORD, LPWSTR);
typedef HRESULT(WINAPI* SHGetKnownFolderPathFn)(const GUID&, DWORD, HANDLE, PWSTR*);
typedef DWORD(WINAPI* WNetGetUniversalNameWFn)(LPCWSTR, DWORD, LPVOID, LPDWORD);
typedef UINT(WINAPI* GetSystemWindowsDirectoryWFn)(LPWSTR, UINT);

SHGetFolderPathWFn gSHGetFolderPathW = nullptr;
bool gFolderPathLoadAttempted = false;
SHGetKnownFolderPathFn gSHGetKnownFolderPath = nullptr;
WNetGetUniversalNameWFn gWNetGetUniversalNameW = nullptr;

const UINT kDirectoryChars = 32767;

jstring newString(JNIEnv* env, const wchar_t* text) {
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
}

struct FolderCodes {
    int perUser;
    int allUsers;
};

// Codes 1 to 11 of the caller; every other code up to 1000 is the desktop.
const FolderCodes kFolders[] = {
    {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY},
    {CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU},
    {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS},
    {CSIDL_STARTUP, CSIDL_COMMON_STARTUP},
    {CSIDL_SENDTO, CSIDL_SENDTO},
    {CSIDL_FONTS, CSIDL_FONTS},
    {CSIDL_APPDATA, CSIDL_COMMON_APPDATA},
    {CSIDL_PERSONAL, CSIDL_COMMON_DOCUMENTS},
    {CSIDL_TEMPLATES, CSIDL_COMMON_TEMPLATES},
    {CSIDL_FAVORITES, CSIDL_COMMON_FAVORITES},
    {CSIDL_LOCAL_APPDATA, CSIDL_LOCAL_APPDATA},
};

int csidlFor(int code, bool common) {
    if (code < 1 || code > static_cast<int>(sizeof kFolders / sizeof kFolders[0])) return CSIDL_DESKTOP;
    const FolderCodes& folder = kFolders[code - 1];
    return common ? folder.allUsers : folder.perUser;
}

// Codes above 1000: known folders; unknown codes are the user's profile.
const GUID kDownloads = {0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
const GUID kUserProgramFiles = {0x5CD7AEE2, 0x2219, 0x4A67, {0xB8, 0x5D, 0x6C, 0x9C, 0xE1, 0x56, 0x60, 0xCB}};
const GUID kUserProgramFilesCommon = {0xBCBD3057, 0xCA5C, 0x4622, {0xB4, 0x2D, 0xBC, 0x56, 0xDB, 0x0A, 0xE5, 0x16}};
const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const GUID kProfile = {0x5E6C858F, 0x0E22, 0x4760, {0x9A, 0xFE, 0xEA, 0x33, 0x17, 0xB6, 0x71, 0x73}};

const GUID& knownFolderFor(int code) {
    switch (code) {
    case 1001: return kDownloads;
    case 1002: return kUserProgramFiles;
    case 1003: return kUserProgramFilesCommon;
    case 1004: return kLocalAppDataLow;
    default: return kProfile;
    }
}

jstring specialFolder(JNIEnv* env, int csidl) {
    if (!gFolderPathLoadAttempted) {
        gFolderPathLoadAttempted = true;
        HMODULE shell32 = loadSystemLibrary(L"shell32.dll");
        if (shell32) gSHGetFolderPathW = procAddress<SHGetFolderPathWFn>(shell32, "SHGetFolderPathW");
    }
    if (!gSHGetFolderPathW) return nullptr;
    std::unique_ptr<wchar_t[]> path(new wchar_t[32768]());
    // CSIDL_FLAG_CREATE: a folder that does not exist yet is made now.
    if (FAILED(gSHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path.get())))
        return nullptr;
    path[32767] = L'\0';
    return newString(env, path.get());
}

jstring knownFolder(JNIEnv* env, const GUID& id) {
    if (!gSHGetKnownFolderPath) {
        // Retried on each call: older systems lack it.
        HMODULE shell32 = loadSystemLibrary(L"shell32.dll");
        if (shell32) gSHGetKnownFolderPath = procAddress<SHGetKnownFolderPathFn>(shell32, "SHGetKnownFolderPath");
        if (!gSHGetKnownFolderPath) return nullptr;
    }
    PWSTR path = nullptr;
    HRESULT hr = gSHGetKnownFolderPath(id, 0, nullptr, &path);
    jstring result = SUCCEEDED(hr) && path ? newString(env, path) : nullptr;
    CoTaskMemFree(path);  // also on failure, where it may be set
    return result;
}

}  // namespace

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSpecialFolder0(
    JNIEnv* env, jclass, jint code, jboolean common) {
    if (code > 1000) return knownFolder(env, knownFolderFor(code));
    return specialFolder(env, csidlFor(code, common != JNI_FALSE));
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getPathFromRegistry0(
    JNIEnv* env, jclass, jstring valueName) {
    std::unique_ptr<wchar_t[]> name;
    if (!jstringToWide(env, valueName, name)) return nullptr;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return nullptr;
    // 32767 bytes of data at most, in a zeroed buffer one unit longer, so the
    // text ends with a NUL whatever the value holds.
    const DWORD kDataBytes = 32767;
    std::unique_ptr<wchar_t[]> data(new wchar_t[kDataBytes / sizeof(wchar_t) + 2]());
    DWORD size = kDataBytes;
    LONG rc = RegQueryValueExW(key, name.get(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.get()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return nullptr;
    return newString(env, data.get());
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getWindowsDirectory0(
    JNIEnv* env, jclass) {
    std::unique_ptr<wchar_t[]> path(new wchar_t[kDirectoryChars + 1]());
    UINT n = 0;
    // The shared Windows directory on a terminal server; looked up each time.
    HMODULE kernel32 = loadSystemLibrary(L"Kernel32.DLL");
    GetSystemWindowsDirectoryWFn getSystemWindowsDirectory =
        kernel32 ? procAddress<GetSystemWindowsDirectoryWFn>(kernel32, "GetSystemWindowsDirectoryW") : nullptr;
    if (getSystemWindowsDirectory) n = getSystemWindowsDirectory(path.get(), kDirectoryChars);
    if (n == 0 || n >= kDirectoryChars) n = GetWindowsDirectoryW(path.get(), kDirectoryChars);
    if (n == 0 || n >= kDirectoryChars) return nullptr;
    return newString(env, path.get());
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSystemDirectory0(
    JNIEnv* env, jclass) {
    std::unique_ptr<wchar_t[]> path(new wchar_t[kDirectoryChars + 1]());
    UINT n = GetSystemDirectoryW(path.get(), kDirectoryChars);
    if (n == 0 || n >= kDirectoryChars) return nullptr;
    return newString(env, path.get());
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getDriveType0(
    JNIEnv* env, jclass, jstring root) {
    std::unique_ptr<wchar_t[]> path;
    if (!jstringToWide(env, root, path)) return DRIVE_UNKNOWN;
    return static_cast<jint>(GetDriveTypeW(path.get()));
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getShortPathName0(
    JNIEnv* env, jclass, jstring path) {
    std::unique_ptr<wchar_t[]> longPath;
    if (!jstringToWide(env, path, longPath) || !longPath) return path;
    std::unique_ptr<wchar_t[]> shortPath(new wchar_t[kDirectoryChars + 1]());
    DWORD n = GetShortPathNameW(longPath.get(), shortPath.get(), kDirectoryChars);
    // Failure (or a result too long for the buffer): the caller's own string.
    if (n == 0 || n >= kDirectoryChars) return path;
    return newString(env, shortPath.get());
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getUniversalPathName0(
    JNIEnv* env, jclass, jstring path) {
    if (!gWNetGetUniversalNameW) {
        // Retried until found, like the known-folder function.
        HMODULE mpr = loadSystemLibrary(L"mpr.dll");
        if (mpr) gWNetGetUniversalNameW = procAddress<WNetGetUniversalNameWFn>(mpr, "WNetGetUniversalNameW");
        if (!gWNetGetUniversalNameW) return path;
    }
    std::unique_ptr<wchar_t[]> local;
    if (!jstringToWide(env, path, local)) return path;
    const DWORD kBufferBytes = 65536;
    std::unique_ptr<BYTE[]> buffer(new BYTE[kBufferBytes]());
    // Two bytes short of the buffer: the text always ends inside it.
    DWORD size = 0xFFFE;
    DWORD rc = gWNetGetUniversalNameW(local.get(), UNIVERSAL_NAME_INFO_LEVEL, buffer.get(), &size);
    if (rc != NO_ERROR) {
        wchar_t text[16];
        swprintf(text, 16, L";%d", static_cast<int>(rc));
        return newString(env, text);
    }
    const UNIVERSAL_NAME_INFOW* info = reinterpret_cast<const UNIVERSAL_NAME_INFOW*>(buffer.get());
    if (!info->lpUniversalName) return newString(env, L"");
    return newString(env, info->lpUniversalName);
}
