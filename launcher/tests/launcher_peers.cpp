#include "launcher_peers.h"

#include <tlhelp32.h>

using namespace qartest;

namespace launchertest {

std::wstring uniqueUser() {
    return L"launchertest" + std::to_wstring(GetCurrentProcessId());
}

std::wstring clientPipe(const std::wstring& user) { return L"\\\\.\\pipe\\qarapp2_" + user; }

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
