// Test-only stand-in for "QAR Client.exe": records how it was started into
// "client-record.txt" beside itself, one "key=value" line each (UTF-8; the
// arguments as CommandLineToArgvW splits them: "argc", then "arg1" on), then
// ends, or first waits for the event named by QAR_TEST_CLIENT_RELEASE.
#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include <string>

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n, nullptr, nullptr);
    return out;
}

// ConsoleFlags of the process parameters: 1 when the creator asked for a new
// process group (Ctrl+C ignored). winternl.h names that field Reserved2[1].
unsigned long consoleFlags() {
    PROCESS_BASIC_INFORMATION info{};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), nullptr) != 0) {
        return 0xFFFFFFFF;
    }
    const RTL_USER_PROCESS_PARAMETERS* params = info.PebBaseAddress->ProcessParameters;
    return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(params->Reserved2[1]));
}

}  // namespace

int wmain() {
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 10;
    std::wstring dir(self);
    dir.erase(dir.find_last_of(L'\\'));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    wchar_t currentDir[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, currentDir);

    std::string record;
    record += "commandLine=" + utf8(GetCommandLineW()) + "\n";
    // The arguments as the client's runtime would split them.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    record += "argc=" + std::to_string(argv ? argc : -1) + "\n";
    for (int i = 1; argv && i < argc; ++i) record += "arg" + std::to_string(i) + "=" + utf8(argv[i]) + "\n";
    if (argv) LocalFree(argv);
    record += "desktop=" + utf8(startup.lpDesktop ? startup.lpDesktop : L"") + "\n";
    record += "flags=" + std::to_string(startup.dwFlags) + "\n";
    record += "showWindow=" + std::to_string(startup.wShowWindow) + "\n";
    record += "consoleFlags=" + std::to_string(consoleFlags()) + "\n";
    record += "currentDir=" + utf8(currentDir) + "\n";
    record += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";

    // Written under another name and renamed, so a reader never sees half of it.
    std::wstring partial = dir + L"\\client-record.partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 11;
    DWORD written = 0;
    BOOL ok = WriteFile(file, record.data(), (DWORD)record.size(), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(partial.c_str(), (dir + L"\\client-record.txt").c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return 12;
    }

    wchar_t eventName[256];
    DWORD nameLength = GetEnvironmentVariableW(L"QAR_TEST_CLIENT_RELEASE", eventName, 256);
    if (nameLength > 0 && nameLength < 256) {
        HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, eventName);
        if (release) {
            WaitForSingleObject(release, 60000);
            CloseHandle(release);
        }
    }
    return 0;
}
