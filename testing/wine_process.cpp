#include "wine_process.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <map>

namespace qartest {

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value) {}
    ~Handle() { if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

// Output goes to temporary files rather than pipes: no reader thread, no deadlock
// when a child fills one stream while we wait on the other.
HANDLE inheritableTempFile(const std::wstring& dir, const wchar_t* tag) {
    wchar_t name[MAX_PATH];
    if (!GetTempFileNameW(dir.c_str(), tag, 0, name)) return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string readAll(HANDLE file) {
    std::string data;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

std::vector<wchar_t> environmentBlock(const std::vector<EnvChange>& changes) {
    // Case-insensitive names, as Windows treats them.
    struct Less {
        bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
    };
    std::map<std::wstring, std::wstring, Less> vars;
    std::vector<std::wstring> hidden;  // "=C:" style entries keep their place
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        size_t eq = entry.find(L'=', 1);
        if (entry[0] == L'=' || eq == std::wstring::npos) {
            hidden.push_back(entry);
            continue;
        }
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        if (value) vars[name] = *value;
        else vars.erase(name);
    }
    std::vector<wchar_t> out;
    auto add = [&out](const std::wstring& s) { out.insert(out.end(), s.begin(), s.end()); out.push_back(0); };
    for (const auto& h : hidden) add(h);
    for (const auto& [name, value] : vars) add(name + L"=" + value);
    out.push_back(0);
    return out;
}

}  // namespace

std::wstring quoteArg(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') { ++i; ++backslashes; }
        if (i == arg.size()) { out.append(backslashes * 2, L'\\'); break; }
        if (arg[i] == L'"') { out.append(backslashes * 2 + 1, L'\\'); out.push_back(L'"'); }
        else { out.append(backslashes, L'\\'); out.push_back(arg[i]); }
    }
    out.push_back(L'"');
    return out;
}

std::wstring winPath(const std::wstring& path) {
    std::wstring out = path;
    for (auto& c : out) if (c == L'/') c = L'\\';
    return out;
}

ProcessResult runProgram(const std::wstring& exe, const std::vector<std::wstring>& args, const RunOptions& options) {
    ProcessResult result;
    std::wstring program = winPath(exe);
    std::wstring commandLine = options.commandLine;
    if (commandLine.empty()) {
        commandLine = quoteArg(program);
        for (const auto& a : args) commandLine += L" " + quoteArg(a);
    }
    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    Handle out(inheritableTempFile(tempDir, L"out"));
    Handle err(inheritableTempFile(tempDir, L"err"));
    if (out.h == INVALID_HANDLE_VALUE || err.h == INVALID_HANDLE_VALUE) {
        result.exitCode = 0xFFFFFFF0;
        result.err = "test harness: cannot create output files";
        return result;
    }
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    Handle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.h;
    si.hStdOutput = out.h;
    si.hStdError = err.h;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> env = environmentBlock(options.env);
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    if (!CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                        options.workingDir.empty() ? nullptr : options.workingDir.c_str(), &si, &pi)) {
        result.exitCode = 0xFFFFFFF1;
        result.err = "test harness: CreateProcessW failed with " + std::to_string(GetLastError());
        return result;
    }
    Handle process(pi.hProcess);
    Handle thread(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, options.timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 0xFFFFFFF2);
        WaitForSingleObject(pi.hProcess, 5000);
        result.exitCode = 0xFFFFFFF2;
        result.err = "test harness: timed out\n";
    } else {
        GetExitCodeProcess(pi.hProcess, &result.exitCode);
    }
    result.out = readAll(out.h);
    result.err += readAll(err.h);
    return result;
}

std::string stripCr(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string clean = stripCr(text);
    size_t start = 0;
    while (start < clean.size()) {
        size_t end = clean.find('\n', start);
        if (end == std::string::npos) end = clean.size();
        out.push_back(clean.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::optional<std::string> unstamped(const std::string& line) {
    static const char kPattern[] = "0000-00-00T00:00:00  ";
    const size_t length = sizeof(kPattern) - 1;
    if (line.size() < length) return std::nullopt;
    for (size_t i = 0; i < length; ++i) {
        bool fits = kPattern[i] == '0' ? line[i] >= '0' && line[i] <= '9' : line[i] == kPattern[i];
        if (!fits) return std::nullopt;
    }
    return line.substr(length);
}

std::vector<std::string> unstampedLines(const std::string& text) {
    std::vector<std::string> out = lines(text);
    for (std::string& line : out) {
        if (auto body = unstamped(line)) line = *body;
    }
    return out;
}

std::wstring makeTempDir(const std::wstring& prefix) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
        std::wstring dir = std::wstring(base) + prefix + L"-" + std::to_wstring(n);
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return L"";
    }
}

void removeTree(const std::wstring& dir) {
    if (dir.empty()) return;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path);
            else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), n);
    return out;
}

std::optional<std::string> readFile(const std::wstring& path) {
    Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr));
    if (f.h == INVALID_HANDLE_VALUE) return std::nullopt;
    return readAll(f.h);
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (f.h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    return WriteFile(f.h, bytes.data(), (DWORD)bytes.size(), &written, nullptr) && written == bytes.size();
}

BackgroundProgram::BackgroundProgram(const std::wstring& exe, const std::vector<std::wstring>& args) {
    std::wstring line = quoteArg(winPath(exe));
    for (const auto& a : args) line += L" " + quoteArg(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &info_))
        << GetLastError();
    if (info_.hThread) CloseHandle(info_.hThread);
}

BackgroundProgram::~BackgroundProgram() {
    if (!info_.hProcess) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
    CloseHandle(info_.hProcess);
}

bool BackgroundProgram::ended(DWORD ms) { return WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0; }

DWORD BackgroundProgram::exitCode() {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

DWORD BackgroundProgram::wait(DWORD ms) { return ended(ms) ? exitCode() : STILL_ACTIVE; }

}  // namespace qartest
