// Stand-ins for the launcher's surroundings: the running client's pipe name,
// and a folder holding a copy of the launcher beside the test-only
// "QAR Client.exe".
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wine_process.h"

namespace launchertest {

// A user name of this test process's own: the pipe is named after it, so
// tests running side by side never meet on one pipe.
std::wstring uniqueUser();

// The running client's pipe for user, "\\.\pipe\qarapp2_<user>": a
// qartest::PipePeer plays the client on it.
std::wstring clientPipe(const std::wstring& user);

// What the test-only client recorded about its start.
using ClientRecord = std::map<std::string, std::string>;

// A new folder under the temp folder with a copy of the launcher and, unless
// told otherwise, the test-only client as "QAR Client.exe". Started clients
// wait until the folder is torn down, which then removes it.
class LauncherFolder {
public:
    explicit LauncherFolder(const std::wstring& name = L"launcher test", bool withClient = true);
    ~LauncherFolder();
    LauncherFolder(const LauncherFolder&) = delete;
    LauncherFolder& operator=(const LauncherFolder&) = delete;

    bool ready() const { return ready_; }
    const std::wstring& dir() const { return dir_; }
    std::wstring clientPath() const { return dir_ + L"\\QAR Client.exe"; }
    std::wstring launcherPath() const { return dir_ + L"\\launcher.exe"; }

    // Options that run the launcher as user (no USERNAME when user is nullopt),
    // from a working folder other than its own.
    qartest::RunOptions options(const std::optional<std::wstring>& user) const;
    qartest::ProcessResult run(const std::vector<std::wstring>& args, const std::optional<std::wstring>& user) const;

    // The record of the started client, waiting for it up to 30 s.
    std::optional<ClientRecord> waitForClient() const;
    // Whether a client was started from this folder; call after the launcher ended.
    bool clientStarted() const;
    // The folder the launcher runs in (its working folder).
    static std::wstring workingDir();

private:
    std::vector<DWORD> clientProcesses() const;

    std::wstring dir_;
    std::wstring releaseEventName_;
    HANDLE releaseEvent_ = nullptr;
    bool ready_ = false;
};

}  // namespace launchertest
