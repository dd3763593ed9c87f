#include "launcher_peers.h"

#include <tlhelp32.h>

#include "pipe_peer.h"

using namespace qartest;

namespace launchertest {

std::wstring uniqueUser() {
    return L"launchertest" + std::to_wstring(GetCurrentProcessId());
}

PipePeer::PipePeer(const std::wstring& user, const PipeSettings& settings) : busy_(settings.busy) {
    std::wstring name = L"\\\\.\\pipe\\qarapp2_" + user;
    DWORD readMode = settings.pipeType == PIPE_TYPE_MESSAGE ? PIPE_READMODE_MESSAGE : PIPE_READMODE_BYTE;
    // Buffers far larger than any message, so the launcher's write never waits for a reader.
    server_ = settings.adopted != INVALID_HANDLE_VALUE
                  ? settings.adopted
                  : CreateNamedPipeW(name.c_str(), settings.openMode | FILE_FLAG_OVERLAPPED,
                                     settings.pipeType | readMode | PIPE_WAIT, 1, 65536, 65536,
                                     settings.defaultTimeoutMs, nullptr);
    connectEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (server_ == INVALID_HANDLE_VALUE || !connectEvent_) return;
    if (busy_) {
        otherClient_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ready_ = otherClient_ != INVALID_HANDLE_VALUE;
        return;
    }
    listen();
}

void PipePeer::listen() {
    connect_ = OVERLAPPED{};
    connect_.hEvent = connectEvent_;
    ready_ = !ConnectNamedPipe(server_, &connect_) && GetLastError() == ERROR_IO_PENDING;
}

void PipePeer::freeInstanceAfter(DWORD ms) {
    freer_ = std::thread([this, ms] {
        Sleep(ms);
        CloseHandle(otherClient_);
        otherClient_ = INVALID_HANDLE_VALUE;
        DisconnectNamedPipe(server_);
        busy_ = false;
        listen();
    });
}

PipePeer::~PipePeer() {
    if (freer_.joinable()) freer_.join();
    if (server_ != INVALID_HANDLE_VALUE) {
        CancelIo(server_);
        CloseHandle(server_);
    }
    if (otherClient_ != INVALID_HANDLE_VALUE) CloseHandle(otherClient_);
    if (connectEvent_) CloseHandle(connectEvent_);
}

Received PipePeer::finish() {
    Received received;
    if (freer_.joinable()) freer_.join();
    // A busy pipe's one instance belongs to the other client: nobody else got in.
    if (busy_ || !ready_) return received;
    if (WaitForSingleObject(connectEvent_, 0) != WAIT_OBJECT_0) return received;
    received.connected = true;

    // The launcher has ended: what it wrote waits in the pipe, then the pipe is broken.
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string message;
    for (;;) {
        char buffer[4096];
        OVERLAPPED read{};
        read.hEvent = readEvent;
        DWORD got = 0;
        BOOL ok = ReadFile(server_, buffer, sizeof(buffer), &got, &read);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(readEvent, 5000) != WAIT_OBJECT_0) {
                CancelIo(server_);
                GetOverlappedResult(server_, &read, &got, TRUE);
                break;
            }
            ok = GetOverlappedResult(server_, &read, &got, FALSE);
        }
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (ok || error == ERROR_MORE_DATA) message.append(buffer, got);
        if (ok) {
            if (received.messages.empty()) received.impersonationLevel = qartest::clientImpersonationLevel(server_);
            received.messages.push_back(message);
            message.clear();
        } else if (error != ERROR_MORE_DATA) {
            break;  // ERROR_BROKEN_PIPE: the launcher's end is closed
        }
    }
    CloseHandle(readEvent);
    return received;
}

LauncherFolder::LauncherFolder(const std::wstring& name, bool withClient) {
    dir_ = makeTempDir(name);
    if (dir_.empty()) return;
    releaseEventName_ = L"Local\\launchertest-release-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(reinterpret_cast<ULONG_PTR>(this));
    releaseEvent_ = CreateEventW(nullptr, TRUE, FALSE, releaseEventName_.c_str());
    ready_ = releaseEvent_ && CopyFileW(winPath(LAUNCHER_EXE).c_str(), launcherPath().c_str(), TRUE) &&
             (!withClient || CopyFileW(winPath(LAUNCHER_TEST_CLIENT_EXE).c_str(), clientPath().c_str(), TRUE));
}

LauncherFolder::~LauncherFolder() {
    if (releaseEvent_) SetEvent(releaseEvent_);
    // A running program's file cannot be removed: let the clients end first.
    for (DWORD pid : clientProcesses()) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (process) {
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
    if (releaseEvent_) CloseHandle(releaseEvent_);
    removeTree(dir_);
}

std::wstring LauncherFolder::workingDir() {
    return winPath(QAR_TEST_BINARY_DIR);
}

RunOptions LauncherFolder::options(const std::optional<std::wstring>& user) const {
    RunOptions options;
    options.env = {{L"USERNAME", user}, {L"QAR_TEST_CLIENT_RELEASE", releaseEventName_}};
    options.workingDir = workingDir();
    options.timeoutMs = 20000;
    return options;
}

ProcessResult LauncherFolder::run(const std::vector<std::wstring>& args, const std::optional<std::wstring>& user) const {
    return runProgram(launcherPath(), args, options(user));
}

std::optional<ClientRecord> LauncherFolder::waitForClient() const {
    std::wstring path = dir_ + L"\\client-record.txt";
    for (int i = 0; i < 300; ++i) {
        if (auto text = readFile(path)) {
            ClientRecord record;
            for (const auto& line : lines(*text)) {
                size_t eq = line.find('=');
                if (eq != std::string::npos) record[line.substr(0, eq)] = line.substr(eq + 1);
            }
            return record;
        }
        Sleep(100);
    }
    return std::nullopt;
}

bool LauncherFolder::clientStarted() const {
    // A client that already ended has left its record; one still starting is
    // found among the processes.
    return readFile(dir_ + L"\\client-record.txt").has_value() || !clientProcesses().empty();
}

std::vector<DWORD> LauncherFolder::clientProcesses() const {
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, clientPath().c_str()) == 0) {
            found.push_back(entry.th32ProcessID);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace launchertest
