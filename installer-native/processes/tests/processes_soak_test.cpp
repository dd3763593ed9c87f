// Soak: the process, module, environment, memory and window natives round
// after round, with a titled window of this process to find and now and then
// a program started; handles, memory, windows and the VM's references stay
// flat.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

const char kWindowInfo[] = "com/wizbuild/api/windows/WindowInfo";

TEST(ProcessesSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    std::string misc = vm.defineClass(std::string(wbtest::kWin32) + "Misc").name();
    std::string exec = vm.defineClass(std::string(wbtest::kWin32) + "Win32Exec").name();
    vm.defineClass(kWindowInfo).constructor("(JILjava/lang/String;Ljava/lang/String;)V");
    auto modules = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getRunningModules0);
    auto envPairs = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getEnvVarPairs0);
    auto memory = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPhysicalMemory0);
    auto freeSpace = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getFreeDiskSpace0);
    auto launch = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Exec_launch0);
    auto pidOf = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPidFromHandle0);
    auto terminate = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_terminateProcesses0);
    auto title = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getWindowTitle0);
    auto windows = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getTopLevelWindows0);

    HWND window = CreateWindowExW(0, L"STATIC", L"wbnative processes soak", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                  100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr) << GetLastError();
    const jint self = static_cast<jint>(GetCurrentProcessId());
    wchar_t cmd[MAX_PATH];
    GetSystemDirectoryW(cmd, MAX_PATH);
    const std::wstring line = L"\"" + std::wstring(cmd) + L"\\cmd.exe\" /c exit 0";

    wbtest::soakFamily(vm, "processes", {200}, [&](size_t i) {
        jclass m = vm.findClass(misc);
        EXPECT_NE(vm.call(modules, m, jboolean(i % 2 == 0)), nullptr);
        EXPECT_NE(vm.call(envPairs, m), nullptr);
        EXPECT_GT(vm.call(memory, m), 0);
        EXPECT_GT(vm.call(freeSpace, m, vm.newString(L"C:\\")), 0);
        EXPECT_EQ(vm.call(pidOf, m, jlong{-1}), self);
        EXPECT_NE(vm.call(title, m, self), nullptr);
        EXPECT_NE(vm.call(windows, m, vm.findClass(kWindowInfo), self), nullptr);
        // No such process: nothing to ask or end.
        EXPECT_EQ(vm.call(terminate, m, vm.newArray<jint>({0x7FFFFFF0}), jboolean(true), jint(0)), 0);
        jclass e = vm.findClass(exec);
        EXPECT_EQ(vm.call(launch, e, vm.newString(L"C:\\wbnative no such program.exe"), jstring(nullptr)),
                  jint(ERROR_FILE_NOT_FOUND));
        if (i % 50 == 0) {
            EXPECT_EQ(vm.call(launch, e, jstring(nullptr), vm.newString(line)), 0);
        }
    });
    DestroyWindow(window);
}

}  // namespace
