#include "marker_file.h"

#include <aclapi.h>

#include <string>

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

    // A path of 1023 units takes at most three bytes a unit in UTF-8.
    static char bytes[3 + 3 * 1024 + 2];
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes, sizeof(bytes), &got, nullptr) || got == 0) return MarkerRead::Empty;

    std::string raw(bytes, got);
    raw = raw.substr(0, raw.find_first_of("\r\n"));
    std::wstring line;
    if (raw.compare(0, 3, reinterpret_cast<const char*>(UTF8_BOM), 3) == 0) {
        raw.erase(0, 3);
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, raw.data(), static_cast<int>(raw.size()), nullptr, 0);
        if (n <= 0 && !raw.empty()) return MarkerRead::Empty;
        line.resize(n);
        MultiByteToWideChar(CP_UTF8, 0, raw.data(), static_cast<int>(raw.size()), line.data(), n);
    } else {
        for (unsigned char c : raw) line.push_back(static_cast<wchar_t>(c));
    }
    if (line.empty()) return MarkerRead::Empty;
    if (line.size() >= units) return MarkerRead::TooLong;
    line.copy(path, line.size());
    path[line.size()] = L'\0';
    return MarkerRead::Found;
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

    std::string bytes;
    bool oneByte = true;
    for (const wchar_t* p = applicationPath; *p; ++p) oneByte = oneByte && *p <= 0xFF;
    if (oneByte) {
        for (const wchar_t* p = applicationPath; *p; ++p) bytes.push_back(static_cast<char>(*p));
    } else {
        int n = WideCharToMultiByte(CP_UTF8, 0, applicationPath, -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(n > 0 ? n - 1 : 0, '\0');
        WideCharToMultiByte(CP_UTF8, 0, applicationPath, -1, utf8.data(), n, nullptr, nullptr);
        bytes.assign(reinterpret_cast<const char*>(UTF8_BOM), 3);
        bytes += utf8;
    }
    bytes += "\r\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return GetLastError();
    return written == bytes.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}
