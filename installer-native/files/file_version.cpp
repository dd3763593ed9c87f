// FileVersion: compares the fixed version resources of two files.
#include "wbnative.h"

#include <cwchar>

namespace {

typedef DWORD(WINAPI* GetFileVersionInfoSizeWFn)(LPCWSTR, LPDWORD);
typedef BOOL(WINAPI* GetFileVersionInfoWFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueWFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

GetFileVersionInfoSizeWFn gGetFileVersionInfoSizeW = nullptr;
GetFileVersionInfoWFn gGetFileVersionInfoW = nullptr;
VerQueryValueWFn gVerQueryValueW = nullptr;
bool gVersionLoadAttempted = false;

const size_t kPathChars = 32768;

// version.dll from the system folder only, attempted once per process.
bool loadVersionFunctions() {
    if (!gVersionLoadAttempted) {
        gVersionLoadAttempted = true;
        HMODULE version = loadSystemLibrary(L"version.dll");
        if (version) {
            gGetFileVersionInfoSizeW = procAddress<GetFileVersionInfoSizeWFn>(version, "GetFileVersionInfoSizeW");
            gGetFileVersionInfoW = procAddress<GetFileVersionInfoWFn>(version, "GetFileVersionInfoW");
            gVerQueryValueW = procAddress<VerQueryValueWFn>(version, "VerQueryValueW");
        }
    }
    return gGetFileVersionInfoSizeW && gGetFileVersionInfoW && gVerQueryValueW;
}

// The file's VS_FIXEDFILEINFO; false when it has none or cannot be read.
// A path too long for the fixed path buffer has no version: cutting it
// would name another file.
bool readFixedVersion(const wchar_t* path, VS_FIXEDFILEINFO* out) {
    if (!path || !loadVersionFunctions()) return false;
    size_t length = wcslen(path);
    if (length >= kPathChars) return false;
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[kPathChars]);
    wmemcpy(buffer.get(), path, length + 1);

    DWORD handle = 0;
    DWORD size = gGetFileVersionInfoSizeW(buffer.get(), &handle);
    if (static_cast<int>(size) <= 0) return false;
    // Twice the size: the narrow and wide halves of old resources.
    std::unique_ptr<BYTE[]> data(new BYTE[2 * static_cast<size_t>(size)]());
    if (!gGetFileVersionInfoW(buffer.get(), 0, size, data.get())) return false;
    void* fixed = nullptr;
    UINT fixedSize = 0;
    if (!gVerQueryValueW(data.get(), L"\\", &fixed, &fixedSize) || !fixed || fixedSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    memcpy(out, fixed, sizeof(VS_FIXEDFILEINFO));
    return true;
}

}  // namespace

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_FileVersion_compare0(
    JNIEnv* env, jclass, jstring first, jstring second) {
    std::unique_ptr<wchar_t[]> path1, path2;
    if (!jstringToWide(env, first, path1) || !jstringToWide(env, second, path2)) return 3;
    VS_FIXEDFILEINFO v1{}, v2{};
    if (!readFixedVersion(path1.get(), &v1) || !readFixedVersion(path2.get(), &v2)) return 3;
    if (v1.dwFileVersionMS != v2.dwFileVersionMS) return v1.dwFileVersionMS > v2.dwFileVersionMS ? 1 : 2;
    if (v1.dwFileVersionLS != v2.dwFileVersionLS) return v1.dwFileVersionLS > v2.dwFileVersionLS ? 1 : 2;
    return 0;
}
