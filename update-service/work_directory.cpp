#include "work_directory.h"

#include <aclapi.h>
#include <shlwapi.h>
#include <strsafe.h>

#include <cwctype>

#include "explicit_security.h"
#include "logging.h"
#include "scoped.h"

namespace {

bool ownedBy(HANDLE object, PSID owner) {
    PSID actual = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &actual, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool same = actual && IsValidSid(actual) && EqualSid(actual, owner);
    LocalFree(descriptor);
    return same;
}

bool plainDirectory(HANDLE directory) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(directory, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes one file through a handle to the entry itself: a link is removed,
// never what it points to. A read-only attribute does not keep it (under Wine
// the system-only DACL shows as one).
bool deleteEntry(const wchar_t* path) {
    ScopedHandle file(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO basic;
    if (!file || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        return false;
    }
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        basic.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic))) return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Deletes the plain files directly in the folder, listed through its own
// handle; false if anything else is in it or a file stays (in use).
bool emptyDirectory(HANDLE directory, const wchar_t* dir) {
    alignas(8) static BYTE listing[16 * 1024];
    bool empty = true;
    while (GetFileInformationByHandleEx(directory, FileIdBothDirectoryInfo, listing, sizeof(listing))) {
        for (BYTE* at = listing;;) {
            auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(at);
            const wchar_t* name = entry->FileName;
            int length = static_cast<int>(entry->FileNameLength / sizeof(wchar_t));
            bool dots = (length == 1 || length == 2) && name[0] == L'.' && name[length - 1] == L'.';
            if (!dots) {
                wchar_t path[MAX_PATH];
                // Sub-folders and junctions are never entered.
                if ((entry->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
                    FAILED(StringCchPrintfW(path, MAX_PATH, L"%s\\%.*s", dir, length, name)) || !deleteEntry(path)) {
                    empty = false;
                }
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return empty && GetLastError() == ERROR_NO_MORE_FILES;
}

// Copies all of source into target through open handles.
bool copyContents(HANDLE source, HANDLE target) {
    static BYTE buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, buffer, sizeof(buffer), &got, nullptr)) return false;
        if (got == 0) return true;
        DWORD written = 0;
        if (!WriteFile(target, buffer, got, &written, nullptr) || written != got) return false;
    }
}

}  // namespace

TempPathFn serviceTempPathFunction(HMODULE kernel32) {
    auto tempPath2 = kernel32 ? reinterpret_cast<TempPathFn>(
                                    reinterpret_cast<void*>(GetProcAddress(kernel32, "GetTempPath2W")))
                              : nullptr;
    return tempPath2 ? tempPath2 : GetTempPathW;
}

bool isUuidName(const wchar_t* name) {
    for (int i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        wchar_t c = name[i];
        if (dash ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return name[36] == L'\0';
}

void removeStaleWorkDirectories(const wchar_t* tempDir, PSID owner) {
    wchar_t pattern[MAX_PATH];
    if (FAILED(StringCchPrintfW(pattern, MAX_PATH, L"%s\\*-*-*-*-*", tempDir))) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!isUuidName(found.cFileName) || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            continue;
        }
        wchar_t dir[MAX_PATH];
        if (FAILED(StringCchPrintfW(dir, MAX_PATH, L"%s\\%s", tempDir, found.cFileName))) continue;
        // Held without delete sharing while it is emptied, so that nobody can
        // put a link in its place; opened as itself should it be a link.
        ScopedHandle handle(CreateFileW(dir, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!handle || !plainDirectory(handle.get()) || !ownedBy(handle.get(), owner)) continue;

        FILE_DISPOSITION_INFO disposition = {TRUE};
        wchar_t text[MAX_PATH + 64];
        if (emptyDirectory(handle.get(), dir) &&
            SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
            StringCchPrintfW(text, MAX_PATH + 64, L"Removed the work directory of an earlier update: %s", dir);
        } else {
            StringCchPrintfW(text, MAX_PATH + 64, L"Keeping the work directory of an earlier update: %s", dir);
        }
        logLine(text);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

CopyStep placePrivateCopy(HANDLE input, const wchar_t* tempDir, const wchar_t* name, PSID owner,
                          wchar_t (&target)[MAX_PATH]) {
    target[0] = L'\0';
    wchar_t workDir[MAX_PATH];
    StringCchCopyW(workDir, MAX_PATH, tempDir);
    StringCchCopyW(target, MAX_PATH, tempDir);
    // The folder and the copy in it are both named by the UUID, so the
    // installer's command line stays the UUID.
    BOOL appended = PathAppendW(workDir, name) && PathAppendW(target, name) && PathAppendW(target, name);
    DWORD appendError = GetLastError();
    if (!appended) {
        logError(L"PathAppendW failed", appendError);
        return CopyStep::NoPath;
    }

    // Folder and copy are created with their final DACL in place: there is no
    // moment in which another account could open them. The folder names this
    // account as its owner, by which a later start knows it for its own.
    const AccessEntry systemOnly[] = {{WinLocalSystemSid, GENERIC_ALL}};
    ExplicitSecurity security;
    switch (security.build(systemOnly, 1, owner)) {
    case SecurityStep::Built:
        break;
    case SecurityStep::NoSid:
        logError(L"AllocateAndInitializeSid failed", security.error());
        return CopyStep::NoSystemSid;
    case SecurityStep::NoAcl:
        logError(L"SetEntriesInAcl failed", security.error());
        return CopyStep::NoAcl;
    case SecurityStep::NoDescriptor:
        logError(L"SetNamedSecurityInfo failed", security.error());
        return CopyStep::NoDescriptor;
    }

    // Never a folder that already exists: one of that name was not made here.
    if (!CreateDirectoryW(workDir, security.attributes())) {
        DWORD dirError = GetLastError();
        logLine(L"Failed to create the private directory for the installer copy.");
        logError(L"CopyFileW failed", dirError);
        return CopyStep::FolderNotCreated;
    }
    {
        ScopedHandle output(CreateFileW(target, GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD copyError = ERROR_SUCCESS;
        if (!output) {
            copyError = GetLastError();
        } else if (!copyContents(input, output.get())) {
            copyError = GetLastError();
            output.reset();
            DeleteFileW(target);
        }
        if (copyError != ERROR_SUCCESS) {
            RemoveDirectoryW(workDir);
            logError(L"CopyFileW failed", copyError);
            return CopyStep::CopyNotWritten;
        }
    }
    return CopyStep::Copied;
}
