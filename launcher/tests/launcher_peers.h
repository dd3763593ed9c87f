// Stand-ins for the launcher's surroundings: the running client's pipe, and a
// folder holding a copy of the launcher beside the test-only "QAR Client.exe".
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wine_process.h"

namespace launchertest {

// A user name of this test process's own: the pipe is named after it, so
// tests running side by side never meet on one pipe.
std::wstring uniqueUser();

// How the peer creates the pipe; the defaults are those of the real client.
struct PipeSettings {
    DWORD openMode = PIPE_ACCESS_DUPLEX;
    DWORD pipeType = PIPE_TYPE_MESSAGE;
    DWORD defaultTimeoutMs = 5000;
    bool busy = false;  // its one instance is taken by another client
    // A message-mode, overlapped server end created elsewhere, served instead
    // of a new one (the settings above then do not apply).
    HANDLE adopted = INVALID_HANDLE_VALUE;
};

struct Received {
    bool connected = false;             // a client opened the pipe
    std::vector<std::string> messages;  // each message, in order
    int impersonationLevel = -1;        // the level the client allowed, once it sent something
};

// Plays the running client: creates "\\.\pipe\qarapp2_<user>" with one
// instance and listens. finish() collects what arrived once the launcher ended.
class PipePeer {
public:
    PipePeer(const std::wstring& user, const PipeSettings& settings = {});
    ~PipePeer();
    PipePeer(const PipePeer&) = delete;
    PipePeer& operator=(const PipePeer&) = delete;

    bool ready() const { return ready_; }
    // For a busy pipe: after ms, the other client lets go and the instance listens again.
    void freeInstanceAfter(DWORD ms);
    Received finish();

private:
    void listen();

    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE otherClient_ = INVALID_HANDLE_VALUE;
    HANDLE connectEvent_ = nullptr;
    OVERLAPPED connect_{};
    bool ready_ = false;
    bool busy_ = false;
    std::thread freer_;
};

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
