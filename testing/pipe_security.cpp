#include "pipe_security.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <mutex>

#include "pipe_peer.h"
#include "wine_process.h"

namespace qartest {

namespace {

struct Sid {
    PSID sid = nullptr;
    explicit Sid(const wchar_t* text) {
        if (text && *text) ConvertStringSidToSidW(text, &sid);
    }
    ~Sid() {
        if (sid) LocalFree(sid);
    }
    Sid(const Sid&) = delete;
    Sid& operator=(const Sid&) = delete;
};

struct CreateFileCall {
    std::wstring path;
    DWORD flags;
};
std::mutex callsMutex;
std::vector<CreateFileCall> calls;
using CreateFileFn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileFn realCreateFile = nullptr;

HANDLE WINAPI recordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile) {
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        calls.push_back({path ? path : L"", flags});
    }
    return realCreateFile(path, access, share, security, disposition, flags, templateFile);
}

}  // namespace

std::wstring currentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
    BYTE buffer[256];
    DWORD size = 0;
    std::wstring result;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        wchar_t* text = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            result = text;
            LocalFree(text);
        }
    }
    CloseHandle(token);
    return result;
}

HANDLE orphanPipe(const std::wstring& orphanPipeExe, const std::wstring& name, const std::wstring& sddl) {
    ProcessResult r = runProgram(orphanPipeExe, {name, std::to_wstring(GetCurrentProcessId()), sddl});
    if (r.exitCode != 0) {
        ADD_FAILURE() << "orphan pipe helper: exit code " << r.exitCode << ", " << r.err;
        return INVALID_HANDLE_VALUE;
    }
    // Its output: the handle's value in this process, then the helper's process id.
    unsigned long long value = 0;
    unsigned long pid = 0;
    if (sscanf(r.out.c_str(), "%llu %lu", &value, &pid) != 2) {
        ADD_FAILURE() << "orphan pipe helper wrote " << r.out;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    // Wine keeps an ended process's id openable for a moment; no event tells
    // when that ends, so look until it does.
    for (int i = 0; i < 500; ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process) return pipe;
        CloseHandle(process);
        Sleep(20);
    }
    ADD_FAILURE() << "the helper's process id " << pid << " stays openable";
    CloseHandle(pipe);
    return INVALID_HANDLE_VALUE;
}

bool pipeServersSeeClientLevel() {
    static const bool seen = [] {
        std::wstring name = L"\\\\.\\pipe\\qartest-level-" + std::to_wstring(GetCurrentProcessId());
        HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE) return true;
        HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        int level = -1;
        char byte = 'x';
        DWORD n = 0;
        if (client != INVALID_HANDLE_VALUE && WriteFile(client, &byte, 1, &n, nullptr) &&
            ReadFile(server, &byte, 1, &n, nullptr)) {
            level = clientImpersonationLevel(server);
        }
        if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
        CloseHandle(server);
        return level == SecurityIdentification;
    }();
    return seen;
}

CreateFileRecorder::CreateFileRecorder(HMODULE module) : module_(module) {
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        calls.clear();
    }
    if (!redirectImport(module, "kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&recordingCreateFile),
                        &original_)) {
        original_ = nullptr;
        return;
    }
    realCreateFile = reinterpret_cast<CreateFileFn>(original_);
}

CreateFileRecorder::~CreateFileRecorder() {
    if (original_) redirectImport(module_, "kernel32.dll", "CreateFileW", original_);
}

std::vector<DWORD> CreateFileRecorder::flagsFor(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(callsMutex);
    std::vector<DWORD> flags;
    for (const CreateFileCall& call : calls) {
        if (call.path == path) flags.push_back(call.flags);
    }
    return flags;
}

bool identificationAtMost(DWORD flags) {
    if (!(flags & SECURITY_SQOS_PRESENT)) return false;
    DWORD level = flags & (SECURITY_ANONYMOUS | SECURITY_IDENTIFICATION | SECURITY_IMPERSONATION | SECURITY_DELEGATION);
    return level == SECURITY_ANONYMOUS || level == SECURITY_IDENTIFICATION;
}

const std::vector<PipeServerCase>& pipeServerCases() {
    static const wchar_t user[] = L"S-1-5-21-1111-2222-3333-1001";
    static const wchar_t other[] = L"S-1-5-21-1111-2222-3333-1002";
    static const std::vector<PipeServerCase> cases = {
        {"ServerOfTheSameUser", user, user, nullptr, true},
        {"ServerOfAnotherUser", user, other, nullptr, false},
        {"ServerOfAnotherUserOnAPipeOwnedByTheCaller", user, other, user, false},
        {"ServerOfLocalSystem", user, L"S-1-5-18", nullptr, false},
        {"UnknownServerOnAPipeOfTheCaller", user, nullptr, user, true},
        {"UnknownServerOnAPipeOfAdministrators", user, nullptr, L"S-1-5-32-544", true},
        {"UnknownServerOnAPipeOfAnotherUser", user, nullptr, other, false},
        {"UnknownServerOnAPipeOfLocalSystem", user, nullptr, L"S-1-5-18", false},
        {"UnknownServerOnAPipeOfUsers", user, nullptr, L"S-1-5-32-545", false},
        {"UnknownServerOnAPipeOfUnknownOwner", user, nullptr, nullptr, false},
    };
    return cases;
}

bool decide(const PipeServerCase& c, bool (*rule)(PSID, PSID, PSID)) {
    Sid caller(c.caller), server(c.serverUser), owner(c.pipeOwner);
    return rule(caller.sid, server.sid, owner.sid);
}

}  // namespace qartest
