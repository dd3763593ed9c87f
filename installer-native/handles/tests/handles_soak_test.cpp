// Soak: listing this process's file handles, closing one and resolving a
// link, round after round; handles, memory and the VM's references stay flat.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

TEST(HandlesSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + "Win32Handle").name();
    auto list = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_list0);
    auto close = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_close0);
    auto deviceName = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_getDeviceName0);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"wbnative handles soak " + std::to_wstring(GetCurrentProcessId());

    wbtest::soakFamily(vm, "handles", {200}, [&](size_t) {
        jclass c = vm.findClass(cls);
        // A file for close0 to end, as the installer closes what holds a file.
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        jobjectArray pair = vm.call(list, c);
        ASSERT_NE(pair, nullptr);
        EXPECT_EQ(vm.arrayLength(pair), 2u);
        EXPECT_TRUE(vm.call(close, c, static_cast<jint>(reinterpret_cast<uintptr_t>(file))));
        EXPECT_FALSE(vm.call(close, c, jint(0x7FFFFFF0)));
        EXPECT_NE(vm.call(deviceName, c, vm.newString(L"\\??\\C:")), nullptr);
    });
    DeleteFileW(path.c_str());
}

}  // namespace
