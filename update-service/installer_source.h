// The installer path that an ordinary user hands to the service: whatever it
// names is opened by local system, so only a file on a local volume passes.
#pragma once

#include <windows.h>

using DriveTypeFn = UINT(WINAPI*)(LPCWSTR root);

// Why path must not be opened, or nullptr when it names a file on a local
// volume; then full (MAX_PATH units) holds the full path to open. Named pipes,
// device names and the device namespaces (\\.\, \\?\), UNC paths, alternate
// streams, relative paths and drives that driveType does not report as local
// are refused before anything touches them.
const wchar_t* refuseInstallerPath(const wchar_t* path, wchar_t (&full)[MAX_PATH],
                                   DriveTypeFn driveType = GetDriveTypeW);

// The flags of that open: should the name reach a pipe after all, the server
// gets an anonymous client that it cannot act as; a link is opened as itself,
// not followed.
constexpr DWORD INSTALLER_SOURCE_OPEN_FLAGS =
    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// Opens a path that refuseInstallerPath accepted, for reading, without lending
// this process's identity to whatever answers the open, and keeps the handle
// only if it is a plain disk file (not a pipe or device that took the name in
// between, not a directory or link). On failure returns nullptr with *error set
// and *why naming the reason when it is a refusal rather than a failed call.
HANDLE openInstallerSource(const wchar_t* full, DWORD* error, const wchar_t** why);
