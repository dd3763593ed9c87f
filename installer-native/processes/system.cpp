// Facts of the machine and this process, a move scheduled for the next boot,
// starting a process, rebooting.
#include "wbnative.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

typedef BOOL(WINAPI* GlobalMemoryStatusExFn)(MEMORYSTATUSEX*);
typedef BOOL(WINAPI* MoveFileExWFn)(LPCWSTR, LPCWSTR, DWORD);

// Looked up once; never cleared.
MoveFileExWFn gMoveFileExW = nullptr;

}  // namespace

// Reboots the machine, but only when this process may: the shutdown privilege
// must be held.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_reboot0(JNIEnv*, jclass) {
    if (setPrivilege(L"SeShutdownPrivilege", true)) ExitWindowsEx(EWX_REBOOT, 0);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPidFromHandle0(
    JNIEnv*, jclass, jlong handle) {
    return static_cast<jint>(GetProcessId(handleFromJava<HANDLE>(handle)));
}

// Restores a minimised window, then brings it to the foreground.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_setForegroundWindow0(
    JNIEnv*, jclass, jlong handle) {
    HWND window = handleFromJava<HWND>(handle);
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (GetWindowPlacement(window, &placement) && placement.showCmd == SW_SHOWMINIMIZED) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

// Tells every top-level window that the environment changed.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_broadcastSettingChange0(
    JNIEnv*, jclass) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG,
                        5000, &result);
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPhysicalMemory0(JNIEnv*, jclass) {
    HMODULE kernel32 = loadSystemLibrary(L"Kernel32.DLL");
    auto statusEx = kernel32 ? procAddress<GlobalMemoryStatusExFn>(kernel32, "GlobalMemoryStatusEx") : nullptr;
    if (statusEx) {
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        if (statusEx(&status)) {
            return static_cast<jlong>(status.ullTotalPhys);
        }
        std::printf("error %d\n", static_cast<int>(GetLastError()));
        std::fflush(stdout);
    }
    MEMORYSTATUS status{};
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return static_cast<jlong>(status.dwTotalPhys);
}

// Bytes free to this user (quotas counted) on the path's volume; -1 on failure.
extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getFreeDiskSpace0(
    JNIEnv* env, jclass, jstring path) {
    std::unique_ptr<wchar_t[]> directory;
    if (!jstringToWide(env, path, directory)) return -1;
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExW(directory.get(), &available, &total, &totalFree)) return -1;
    return static_cast<jlong>(available.QuadPart);
}

// Schedules a move (or, with a null target, a deletion) for the next boot.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_moveWithDelayUntilReboot0(
    JNIEnv* env, jclass, jstring source, jstring target) {
    if (!gMoveFileExW) {
        HMODULE kernel32 = loadSystemLibrary(L"Kernel32.DLL");
        if (kernel32) gMoveFileExW = procAddress<MoveFileExWFn>(kernel32, "MoveFileExW");
        if (!gMoveFileExW) return JNI_FALSE;
    }
    // A failed copy of the target is no null target, which would schedule
    // the source for deletion.
    std::unique_ptr<wchar_t[]> from, to;
    if (!jstringToWide(env, source, from) || !jstringToWide(env, target, to)) return JNI_FALSE;
    return gMoveFileExW(from.get(), to.get(), MOVEFILE_DELAY_UNTIL_REBOOT) ? JNI_TRUE : JNI_FALSE;
}

// Every entry of this process's environment block ("NAME=value"), the hidden
// per-drive "=C:=..." entries included, in block order.
extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getEnvVarPairs0(
    JNIEnv* env, jclass) {
    std::vector<const wchar_t*> entries;
    wchar_t* block = GetEnvironmentStringsW();
    if (block)
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) entries.push_back(entry);

    jobjectArray array = nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass) {
        array = env->NewObjectArray(static_cast<jsize>(entries.size()), stringClass, nullptr);
        env->DeleteLocalRef(stringClass);
    }
    for (size_t i = 0; array && i < entries.size(); ++i) {
        jstring text = env->NewString(reinterpret_cast<const jchar*>(entries[i]), static_cast<jsize>(wcslen(entries[i])));
        if (!text) {
            env->DeleteLocalRef(array);
            array = nullptr;
            break;
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), text);
        env->DeleteLocalRef(text);
    }
    if (block) FreeEnvironmentStringsW(block);
    return array;
}

// Starts a process without waiting for it: 0, or the Win32 error code.
extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Exec_launch0(
    JNIEnv* env, jclass, jstring application, jstring commandLine) {
    // Neither a program nor a command line: nothing to start (Wine's
    // CreateProcessW reads through the null command line).
    if (!application && !commandLine) return ERROR_INVALID_PARAMETER;
    std::unique_ptr<wchar_t[]> app, line;  // the line writable, as CreateProcessW wants
    if (!jstringToWide(env, application, app) || !jstringToWide(env, commandLine, line)) return ERROR_NOT_ENOUGH_MEMORY;
    // Beyond the longest path or command line Windows takes (32767 units with
    // the terminator) Windows fails with 206; Wine's CreateProcessW ends the
    // calling process instead, so refuse first.
    constexpr size_t kMaxChars = 32766;
    if ((app && wcslen(app.get()) > kMaxChars) || (line && wcslen(line.get()) > kMaxChars))
        return ERROR_FILENAME_EXCED_RANGE;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(app.get(), line.get(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &info))
        return static_cast<jint>(GetLastError());
    // Nobody waits for the child here; its handles are not needed.
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}
