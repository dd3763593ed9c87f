#include "installer_source.h"

#include <cwchar>
#include <cwctype>

#include "scoped.h"

namespace {

bool isSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// The names Win32 turns into devices in any folder: CON, NUL, COM1 and so on,
// also with an extension or trailing blanks ("nul.txt", "CON ").
bool isDeviceName(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (isSlash(*p) || *p == L':') name = p + 1;
    }
    size_t length = 0;
    while (name[length] && name[length] != L'.' && name[length] != L':') ++length;
    while (length > 0 && name[length - 1] == L' ') --length;
    wchar_t base[8] = {};
    if (length == 0 || length >= 8) return false;
    for (size_t i = 0; i < length; ++i) base[i] = static_cast<wchar_t>(towupper(name[i]));
    static const wchar_t* const DEVICES[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : DEVICES) {
        if (wcscmp(base, device) == 0) return true;
    }
    return length == 4 && (wcsncmp(base, L"COM", 3) == 0 || wcsncmp(base, L"LPT", 3) == 0) && base[3] >= L'1' &&
           base[3] <= L'9';
}

bool startsWithDrive(const wchar_t* path) {
    return iswalpha(path[0]) && path[0] < 0x80 && path[1] == L':' && isSlash(path[2]);
}

}  // namespace

const wchar_t* refuseInstallerPath(const wchar_t* path, wchar_t (&full)[MAX_PATH], DriveTypeFn driveType) {
    full[0] = L'\0';
    if (!path || !*path) return L"it is empty";
    if (isSlash(path[0]) && isSlash(path[1])) {
        if ((path[2] == L'.' || path[2] == L'?') && isSlash(path[3])) return L"it names the device namespace";
        return L"it is a UNC path";
    }
    if (isDeviceName(path)) return L"it names a device";
    if (!startsWithDrive(path)) return L"it is not a full path that starts with a drive letter";
    if (wcschr(path + 2, L':')) return L"it names an alternate data stream";

    DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        full[0] = L'\0';
        return L"it is too long";
    }
    // What the system makes of the path must still be a file on that drive.
    if (!startsWithDrive(full) || towupper(full[0]) != towupper(path[0]) || wcschr(full + 2, L':') ||
        isDeviceName(full)) {
        full[0] = L'\0';
        return L"it names a device";
    }

    wchar_t root[] = {full[0], L':', L'\\', L'\0'};
    switch (driveType(root)) {
    case DRIVE_FIXED:
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
    case DRIVE_RAMDISK:
        return nullptr;
    case DRIVE_REMOTE:
        full[0] = L'\0';
        return L"it is on a network drive";
    default:
        full[0] = L'\0';
        return L"its drive is not a local volume";
    }
}

HANDLE openInstallerSource(const wchar_t* full, DWORD* error, const wchar_t** why) {
    *why = nullptr;
    ScopedHandle file(
        CreateFileW(full, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, INSTALLER_SOURCE_OPEN_FLAGS, nullptr));
    if (!file) {
        *error = GetLastError();
        DWORD attributes = GetFileAttributesW(full);
        if (*error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *why = L"it is a directory";
        }
        return nullptr;
    }
    // The path was checked before the open; the handle tells what was opened.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        *error = ERROR_BAD_FILE_TYPE;
        *why = L"it is not a file on a disk";
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) {
        *error = GetLastError();
        return nullptr;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        *error = ERROR_BAD_FILE_TYPE;
        *why = L"it is a directory";
        return nullptr;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        *error = ERROR_BAD_FILE_TYPE;
        *why = L"it is a link";
        return nullptr;
    }
    return file.release();
}
