#include "marker_file.h"

#include <aclapi.h>

#include <cstring>

#include "explicit_security.h"
#include "scoped.h"

namespace {

const unsigned char UTF8_BOM[] = {0xEF, 0xBB, 0xBF};

bool ownedByTrustedAccount(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    alignas(8) BYTE self[SECURITY_MAX_SID_SIZE];
    bool trusted = owner && processUserSid(self) && isTrustedMarkerOwner(owner, self);
    LocalFree(descriptor);
    return trusted;
}

}  // namespace

SecurityStep buildMarkerSecurity(ExplicitSecurity& security) {
    // The folder's inheritable entries give Users nothing on Windows: the
    // clone runs as a standard user (or an administrator's filtered token).
    const AccessEntry entries[] = {
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ},
    };
    return security.build(entries, 3);
}

bool isTrustedMarkerOwner(PSID owner, PSID self) {
    if (!owner || !IsValidSid(owner)) return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    return self && IsValidSid(self) && EqualSid(owner, self);
}

MarkerRead readMarkerFile(const wchar_t* markerPath, wchar_t* path, DWORD units) {
    path[0] = L'\0';
    // The reader shares reads only, so a writer cannot change the file under it;
    // the marker itself is opened, never the target of a link.
    ScopedHandle file(CreateFileW(markerPath, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return MarkerRead::Missing;

    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks != 1 || !ownedByTrustedAccount(file.get())) {
        return MarkerRead::Untrusted;
    }

    static unsigned char bytes[MARKER_READ_BYTES];
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes, sizeof(bytes), &got, nullptr) || got == 0) return MarkerRead::Empty;
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units");
    return parseMarkerLine(bytes, got, reinterpret_cast<char16_t*>(path), units);
}

DWORD writeMarkerFile(const wchar_t* markerPath, const wchar_t* applicationPath) {
    // Any user can create files in the shared temp folder: remove whatever
    // stands under the marker's name (a link is removed, not followed), then
    // create a new file, which fails if somebody got in between.
    ExplicitSecurity security;
    if (buildMarkerSecurity(security) != SecurityStep::Built) return security.error();
    DeleteFileW(markerPath);
    ScopedHandle file(
        CreateFileW(markerPath, GENERIC_WRITE, 0, security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();

    // Latin-1: one byte a unit; otherwise the byte-order mark, then UTF-8
    // (at most three bytes a unit). Then CR LF.
    bool oneByte = true;
    size_t units = 0;
    for (const wchar_t* p = applicationPath; *p; ++p, ++units) oneByte = oneByte && *p <= 0xFF;
    int utf8Size = 0;  // with the terminator
    if (!oneByte) {
        utf8Size = WideCharToMultiByte(CP_UTF8, 0, applicationPath, -1, nullptr, 0, nullptr, nullptr);
        if (utf8Size < 0) utf8Size = 0;
    }
    size_t capacity = oneByte ? units + 2 : 3 + static_cast<size_t>(utf8Size) + 2;
    ScopedHeapBlock block(HeapAlloc(GetProcessHeap(), 0, capacity));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    char* bytes = static_cast<char*>(block.get());

    size_t size = 0;
    if (oneByte) {
        for (const wchar_t* p = applicationPath; *p; ++p) bytes[size++] = static_cast<char>(*p);
    } else {
        memcpy(bytes, UTF8_BOM, 3);
        size = 3;
        if (utf8Size > 0 &&
            WideCharToMultiByte(CP_UTF8, 0, applicationPath, -1, bytes + 3, utf8Size, nullptr, nullptr) == utf8Size) {
            size += static_cast<size_t>(utf8Size) - 1;
        }
    }
    bytes[size++] = '\r';
    bytes[size++] = '\n';
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes, static_cast<DWORD>(size), &written, nullptr)) return GetLastError();
    return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
