// Soak: the file-system natives round after round; handles, memory and the
// VM's references stay flat.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

TEST(FilesSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    auto compare = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FileVersion_compare0);
    auto folder = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSpecialFolder0);
    auto fromRegistry = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getPathFromRegistry0);
    auto windows = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getWindowsDirectory0);
    auto system = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSystemDirectory0);
    auto driveType = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getDriveType0);
    auto shortName = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getShortPathName0);
    auto universal = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getUniversalPathName0);
    auto addACE = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ACLHandling_addACE);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + std::to_wstring(GetCurrentProcessId()) + L"-a long soak name.text";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    wbtest::soakFamily(vm, "files", {300}, [&](size_t i) {
        jclass none = nullptr;
        EXPECT_EQ(vm.call(compare, none, vm.newString(WBTEST_VERSION_1234_EXE), vm.newString(WBTEST_VERSION_12310_EXE)), 2);
        EXPECT_NE(vm.call(folder, none, jint(i % 2 ? 3 : 7), jboolean(i % 2 == 0)), nullptr);
        EXPECT_NE(vm.call(fromRegistry, none, vm.newString(L"ProgramFilesDir")), nullptr);
        EXPECT_NE(vm.call(windows, none), nullptr);
        EXPECT_NE(vm.call(system, none), nullptr);
        EXPECT_EQ(vm.call(driveType, none, vm.newString(L"C:\\")), jint(DRIVE_FIXED));
        EXPECT_NE(vm.call(shortName, none, vm.newString(file)), nullptr);
        EXPECT_NE(vm.call(universal, none, vm.newString(L"C:\\")), nullptr);
        // Wine keeps no ACL for files, so the entry does not pile up.
        EXPECT_TRUE(vm.call(addACE, none, vm.newString(file), jboolean(false), jboolean(true), jboolean(false),
                            jboolean(false), jboolean(false), jint(1), jstring(nullptr)));
    });
    DeleteFileW(file.c_str());
}

}  // namespace
