#include "road_fixture.h"

#include <aclapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>

using namespace qartest;

namespace road {

std::wstring tempDir() {
    wchar_t dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    std::wstring out(dir, n);
    if (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

namespace {
template <typename F>
void forEachProcess(const wchar_t* name, F f) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) f(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
}
}  // namespace

void killProcesses(const wchar_t* name) {
    forEachProcess(name, [](DWORD pid) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!process) return;
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    });
}

bool processRunning(const wchar_t* name) {
    bool found = false;
    forEachProcess(name, [&found](DWORD) { found = true; });
    return found;
}

bool waitServiceStopped(DWORD timeoutMs) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceW(scm, L"QARUpdateService", SERVICE_QUERY_STATUS) : nullptr;
    bool stopped = false;
    for (DWORD waited = 0; svc && waited <= timeoutMs; waited += 100) {
        SERVICE_STATUS status;
        if (!QueryServiceStatus(svc, &status)) break;
        if (status.dwCurrentState == SERVICE_STOPPED) {
            stopped = true;
            break;
        }
        Sleep(100);
    }
    if (svc) CloseServiceHandle(svc);
    if (scm) CloseServiceHandle(scm);
    return stopped;
}

namespace {
// The folders the service's temp path can name: the user's under Wine when the
// service manager inherited it, else the system's, else the Windows folder
// (a service manager started before the prefix had its environment).
std::vector<std::wstring> listTemp(const wchar_t* pattern) {
    std::vector<std::wstring> found;
    for (const std::wstring& dir : {tempDir(), std::wstring(L"C:\\windows\\temp"), std::wstring(L"C:\\windows")}) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((dir + L"\\" + pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) continue;
        do found.push_back(dir + L"\\" + fd.cFileName); while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return found;
}
}  // namespace

void removeLogFiles() {
    for (const auto& f : listTemp(L"log_qarupdateservice_*.txt")) DeleteFileW(f.c_str());
}

std::string readLogFiles() {
    std::string all;
    for (const auto& f : listTemp(L"log_qarupdateservice_*.txt")) all += readFile(f).value_or("");
    all.erase(std::remove(all.begin(), all.end(), '\r'), all.end());
    return all;
}

namespace {
bool uuidName(const std::wstring& name) {
    bool uuid = name.size() == 36;
    for (size_t i = 0; uuid && i < name.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        uuid = dash ? name[i] == L'-' : (iswdigit(name[i]) || (name[i] >= L'a' && name[i] <= L'f'));
    }
    return uuid;
}
}  // namespace

std::vector<std::wstring> workDirectories() {
    std::vector<std::wstring> dirs;
    for (const auto& f : listTemp(L"*-*-*-*-*")) {
        DWORD attributes = GetFileAttributesW(f.c_str());
        if (uuidName(f.substr(f.find_last_of(L'\\') + 1)) && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            dirs.push_back(f);
        }
    }
    return dirs;
}

std::vector<std::wstring> installerCopies() {
    std::vector<std::wstring> copies;
    for (const auto& dir : workDirectories()) {
        std::wstring copy = dir + L"\\" + dir.substr(dir.find_last_of(L'\\') + 1);
        if (GetFileAttributesW(copy.c_str()) != INVALID_FILE_ATTRIBUTES) copies.push_back(copy);
    }
    return copies;
}

void deleteProtectedFile(const std::wstring& path) {
    // Wine keeps a file's DACL in its Unix permissions: open it up first.
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr);
    DeleteFileW(path.c_str());
}

void removeWorkDirectories() {
    for (const auto& dir : workDirectories()) {
        deleteProtectedFile(dir + L"\\" + dir.substr(dir.find_last_of(L'\\') + 1));
        SetNamedSecurityInfoW(const_cast<wchar_t*>(dir.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr);
        removeTree(dir);
    }
}

std::string waitForFile(const std::wstring& path, DWORD timeoutMs) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
        auto content = readFile(path);
        if (content && !content->empty()) return *content;
        Sleep(100);
    }
    return "";
}

std::wstring placeApplication(const std::wstring& dir, const std::wstring& name) {
    for (size_t pos = dir.find(L'\\', 3); ; pos = dir.find(L'\\', pos + 1)) {
        CreateDirectoryW(dir.substr(0, pos).c_str(), nullptr);
        if (pos == std::wstring::npos) break;
    }
    std::wstring path = dir + L"\\" + name;
    CopyFileW(winPath(QAR_TEST_APPLICATION_EXE).c_str(), path.c_str(), FALSE);
    DeleteFileW((dir + L"\\app-proof.txt").c_str());
    return path;
}

void writeInstallerSettings(const std::wstring& proof, const std::wstring& application) {
    CreateDirectoryW(TEST_ROOT, nullptr);
    writeFile(std::wstring(TEST_ROOT) + L"\\installer.cfg",
              toUtf8(proof) + "\n" + toUtf8(winPath(QARUPDATESERVICE_EXE)) + "\n" + toUtf8(application) + "\n");
}

void removeService() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = scm ? OpenServiceW(scm, L"QARUpdateService", SERVICE_ALL_ACCESS) : nullptr;
    if (svc) {
        SERVICE_STATUS_PROCESS status;
        DWORD needed = 0;
        if (QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof(status), &needed) &&
            status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
            if (process) {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        DeleteService(svc);
        CloseServiceHandle(svc);
    }
    if (scm) CloseServiceHandle(scm);
    // The entry goes once its last handle is closed.
    for (int i = 0; i < 50; ++i) {
        scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_QUERY_STATUS);
        if (svc) CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        if (!svc) break;
        Sleep(100);
    }
}

void installRealService() {
    removeService();
    runProgram(QARUPDATESERVICE_EXE, {L"install"});
}

}  // namespace road
