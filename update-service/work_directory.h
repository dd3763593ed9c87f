// Where the service keeps its private copy of the installer: a fresh folder,
// named by a UUID, in the service's temp folder, that only local system can
// enter. Left-over folders of earlier updates are removed at the next start.
#pragma once

#include <windows.h>

// The private copy's results: 0, or the step that failed. copyInstallerAway
// and placePrivateCopy share the numbers; 5 and 6 each stand for several steps.
enum class CopyStep : int {
    Copied = 0,
    NoTempPath = 1,        // the service's temp folder
    NoUuid = 2,            // UuidCreate
    NoUuidText = 3,        // UuidToStringW
    NoPath = 4,            // the copy's path does not fit
    SourceRefused = 5,     // the path is refused, or it does not open as a disk file
    FolderNotCreated = 5,  // the work folder (also when the name is taken)
    CopyNotWritten = 5,    // the copy could not be created or written
    CopyNotGuarded = 5,    // the copy could not be held against writers
    NoOwnerSid = 6,        // this process's user, the work folder's owner
    NoSystemSid = 6,       // local system's SID for the DACL
    NoAcl = 7,
    NoDescriptor = 8,
};

using TempPathFn = DWORD(WINAPI*)(DWORD length, LPWSTR buffer);

// GetTempPath2W from module when it has it (for local system it names the
// system-only SystemTemp folder), GetTempPathW otherwise.
TempPathFn serviceTempPathFunction(HMODULE kernel32);

// Whether name is a UUID as UuidToStringW writes it (8-4-4-4-12 lower-case
// hexadecimal digits).
bool isUuidName(const wchar_t* name);

// Removes the UUID-named folders in tempDir that owner owns, with the plain
// files directly in them. Never enters or removes a link, junction or
// sub-folder, and keeps a folder whose files cannot be deleted (an installer
// still running from it). Each removal and each folder kept is logged.
void removeStaleWorkDirectories(const wchar_t* tempDir, PSID owner);

// Creates the folder tempDir\name, owned by owner, and copies input into the
// new file tempDir\name\name, both with a protected DACL that admits local
// system alone; target receives the copy's path. A folder or file that
// already exists under the name is never used.
CopyStep placePrivateCopy(HANDLE input, const wchar_t* tempDir, const wchar_t* name, PSID owner,
                          wchar_t (&target)[MAX_PATH]);
