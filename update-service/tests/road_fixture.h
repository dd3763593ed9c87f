// Shared set-up of the update-road tests: the real service installed in Wine's
// service database, the test application in a folder with a space, and
// clean-up of everything the road leaves running or lying around.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "wine_process.h"

namespace road {

const wchar_t MARKER[] = L"c:\\windows\\temp\\qa2_postinstall";
const wchar_t TEST_ROOT[] = L"C:\\qar-test";

// The temp folder of this user, which is the service's too under Wine.
std::wstring tempDir();

// Ends every process whose image name is name (case-insensitive).
void killProcesses(const wchar_t* name);

// Whether a process with that image name is running.
bool processRunning(const wchar_t* name);

// Waits until the service is stopped; false after timeoutMs.
bool waitServiceStopped(DWORD timeoutMs);

// Deletes the log files of the program in the temp folder.
void removeLogFiles();
// All log files of the program in the temp folder, concatenated, CR removed.
std::string readLogFiles();

// Folders in the temp folder named like a UUID (the service's work folders).
std::vector<std::wstring> workDirectories();
// The installer copies in them (<uuid>\<uuid>).
std::vector<std::wstring> installerCopies();
// Removes every work folder with its content.
void removeWorkDirectories();

// Deletes a file whose DACL admits nobody but local system.
void deleteProtectedFile(const std::wstring& path);

// Polls until file exists and is not empty; its content, or "" after timeoutMs.
std::string waitForFile(const std::wstring& path, DWORD timeoutMs);

// Copies the test application to dir\name (folders created) and returns the path.
std::wstring placeApplication(const std::wstring& dir, const std::wstring& name);

// Writes C:\qar-test\installer.cfg for the test installer.
void writeInstallerSettings(const std::wstring& proof, const std::wstring& application);

// Registers the real program as the service (deleting whatever has the name).
void installRealService();

// Removes the service entry, ending its process if it still runs.
void removeService();

}  // namespace road
