// The running processes as lines of "<id> <image path>".
#include "wbnative.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

typedef BOOL(WINAPI* EnumProcessesFn)(DWORD*, DWORD, DWORD*);
typedef DWORD(WINAPI* GetModuleFileNameExWFn)(HANDLE, HMODULE, LPWSTR, DWORD);
typedef BOOL(WINAPI* QueryFullProcessImageNameWFn)(HANDLE, DWORD, LPWSTR, PDWORD);
typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD, DWORD);
typedef BOOL(WINAPI* Process32FirstFn)(HANDLE, PROCESSENTRY32*);
typedef BOOL(WINAPI* Process32NextFn)(HANDLE, PROCESSENTRY32*);
typedef BOOL(WINAPI* Module32FirstWFn)(HANDLE, MODULEENTRY32W*);

constexpr DWORD kLineUnits = 4096;
constexpr DWORD kMaxIds = 8196;

// Through EnumProcesses and the image-name queries; appends to lines.
void enumerateProcesses(std::vector<std::wstring>& lines) {
    HMODULE psapi = loadSystemLibrary(L"Psapi.DLL");
    HMODULE kernel32 = loadSystemLibrary(L"Kernel32.DLL");
    auto enumProcesses = psapi ? procAddress<EnumProcessesFn>(psapi, "EnumProcesses") : nullptr;
    auto moduleFileName = psapi ? procAddress<GetModuleFileNameExWFn>(psapi, "GetModuleFileNameExW") : nullptr;
    auto imageName = kernel32 ? procAddress<QueryFullProcessImageNameWFn>(kernel32, "QueryFullProcessImageNameW") : nullptr;

    if (psapi && kernel32 && enumProcesses && (moduleFileName || imageName)) {
        std::vector<DWORD> ids(kMaxIds);
        DWORD bytes = 0;
        if (enumProcesses(ids.data(), kMaxIds * sizeof(DWORD), &bytes)) {
            std::vector<wchar_t> line(kLineUnits);
            for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
                DWORD pid = ids[i];
                if (pid == 0) continue;
                ScopedHandle process(OpenProcess(imageName ? PROCESS_QUERY_INFORMATION
                                                           : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                                 FALSE, pid));
                if (!process.get()) continue;
                int prefix = wsprintfW(line.data(), L"%d ", static_cast<int>(pid));
                wchar_t* path = line.data() + prefix;
                DWORD room = kLineUnits - static_cast<DWORD>(prefix);
                bool named;
                if (imageName) {
                    DWORD size = room;
                    named = imageName(process.get(), 0, path, &size);
                } else {
                    named = moduleFileName(process.get(), nullptr, path, room) != 0;
                }
                if (!named) continue;
                size_t length = wcslen(line.data());
                // A program started from a ".tmp" copy: the module name from
                // the process's own memory says what it runs as.
                if (imageName && moduleFileName && length > 4 && wcscmp(line.data() + length - 4, L".tmp") == 0) {
                    process.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
                    std::vector<wchar_t> module(room);
                    // Either name is kept whole: the first one when this query fails.
                    if (process.get() && moduleFileName(process.get(), nullptr, module.data(), room))
                        wcscpy(path, module.data());
                }
                lines.emplace_back(line.data());
            }
        }
    }
}

// Through a tool-help snapshot: each process's first module.
void walkSnapshot(std::vector<std::wstring>& lines) {
    HMODULE kernel32 = loadSystemLibrary(L"Kernel32.DLL");
    auto snapshot = kernel32 ? procAddress<CreateToolhelp32SnapshotFn>(kernel32, "CreateToolhelp32Snapshot") : nullptr;
    auto first = kernel32 ? procAddress<Process32FirstFn>(kernel32, "Process32First") : nullptr;
    auto next = kernel32 ? procAddress<Process32NextFn>(kernel32, "Process32Next") : nullptr;
    auto firstModule = kernel32 ? procAddress<Module32FirstWFn>(kernel32, "Module32FirstW") : nullptr;
    if (!snapshot || !first || !next) {
        std::printf("could not load functions %p %p %p %p %p %d\n", reinterpret_cast<void*>(snapshot),
                    reinterpret_cast<void*>(first), reinterpret_cast<void*>(next),
                    reinterpret_cast<void*>(firstModule), static_cast<void*>(kernel32),
                    static_cast<int>(GetLastError()));
        return;
    }
    HANDLE processes = snapshot(TH32CS_SNAPALL, 0);
    if (processes != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = first(processes, &entry); more; more = next(processes, &entry)) {
            if (entry.th32ProcessID == 0 || !firstModule) continue;
            HANDLE modules = snapshot(TH32CS_SNAPMODULE, entry.th32ProcessID);
            if (modules == INVALID_HANDLE_VALUE) continue;
            MODULEENTRY32W module{};
            module.dwSize = sizeof module;
            if (firstModule(modules, &module)) {
                std::vector<wchar_t> line(kLineUnits);
                lines.push_back(std::to_wstring(entry.th32ProcessID) + L" " + module.szExePath);
            }
            CloseHandle(modules);
        }
        CloseHandle(processes);
    }
}

}  // namespace

// "<id> <image path>" for every process this user may query, or null when
// none could be listed. keepDebugOff leaves the debug privilege disabled.
extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getRunningModules0(
    JNIEnv* env, jclass, jboolean keepDebugOff) {
    setPrivilege(L"SeDebugPrivilege", !keepDebugOff);
    std::vector<std::wstring> lines;
    enumerateProcesses(lines);
    if (lines.empty()) walkSnapshot(lines);
    std::fflush(stdout);
    if (lines.empty()) return nullptr;

    jobjectArray array = nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass) {
        array = env->NewObjectArray(static_cast<jsize>(lines.size()), stringClass, nullptr);
        env->DeleteLocalRef(stringClass);
    }
    for (size_t i = 0; array && i < lines.size(); ++i) {
        jstring text = env->NewString(reinterpret_cast<const jchar*>(lines[i].data()), static_cast<jsize>(lines[i].size()));
        if (!text) {
            env->DeleteLocalRef(array);
            return nullptr;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), text);
        env->DeleteLocalRef(text);
    }
    return array;
}
