// Soak: a service installed, configured, queried and uninstalled through the
// natives round after round (now and then started and stopped too) under
// Wine's service control manager; handles, memory and the VM's references
// stay flat.
#include "family_soak.h"
#include "wbnative_test.h"
#include "wine_process.h"

namespace {

constexpr jint kNoChange = -1;  // SERVICE_NO_CHANGE

// The service's state straight from the manager; 0 when it does not open.
DWORD currentState(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    DWORD state = service && QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return state;
}

TEST(ServicesSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + "Win32Services").name();
    auto install = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_installService0);
    auto change = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_changeServiceConfig0);
    auto restart = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_setRestartServiceConfig0);
    auto delayed = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_setDelayedAutoStart0);
    auto start = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_startService0);
    auto stop = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_stopService0);
    auto uninstall = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_uninstallService0);
    auto status = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_queryStatus0);
    auto startType = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_getStartType0);
    auto binary = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_getServiceBinary0);

    const std::wstring name = L"QarWbSoak" + std::to_wstring(GetCurrentProcessId());
    const std::wstring dir = qartest::makeTempDir(L"wbnative-services-soak");
    const std::wstring commandLine = qartest::quoteArg(qartest::winPath(WBNATIVE_TEST_SERVICE_EXE)) + L" " +
                                     qartest::quoteArg(dir + L"\\record.txt");

    // Installed once; every round queries and configures it, every 20th
    // uninstalls and installs it again and every 100th starts and stops it
    // (those go through the manager's registry writes and a process start).
    auto installIt = [&] {
        return vm.call(install, vm.findClass(cls), vm.newString(name), vm.newString(name + L" display"),
                       vm.newString(commandLine));
    };
    ASSERT_EQ(installIt(), 0);
    // Each round is a dozen calls to Wine's service manager, each a few
    // milliseconds: the full size is a tenth of the other families'.
    wbtest::soakFamily(vm, "services", {24, 100, 16}, [&](size_t i) {
        jclass c = vm.findClass(cls);
        jstring n = vm.newString(name);
        if (i % 20 == 19) {
            EXPECT_EQ(vm.call(uninstall, c, n), 0);
            ASSERT_EQ(installIt(), 0);
        }
        EXPECT_EQ(vm.call(status, c, n), -static_cast<jint>(SERVICE_STOPPED));
        EXPECT_EQ(vm.call(startType, c, n), -static_cast<jint>(SERVICE_DEMAND_START));
        EXPECT_NE(vm.call(binary, c, n), nullptr);
        EXPECT_EQ(vm.call(change, c, n, jstring(nullptr), jstring(nullptr), kNoChange, kNoChange, jstring(nullptr),
                          jstring(nullptr), jstring(nullptr), vm.newString(L"soak round " + std::to_wstring(i))),
                  0);
        EXPECT_EQ(vm.call(restart, c, n, jboolean(true), jint(1000), jint(2), jint(3600)), 0);
        // (Wine 8.0's manager does not know the setting and says so.)
        jint result = vm.call(delayed, c, n, jboolean(i % 2 == 0));
        EXPECT_TRUE(result == 0 || result == ERROR_INVALID_LEVEL) << result;
        if (i % 100 == 0) {
            ASSERT_EQ(vm.call(start, c, n, vm.newObjectArray("java/lang/String", {vm.newString(L"soak")})), 0);
            // stopService0 refuses a service that is not running yet.
            for (int wait = 0; wait < 1200 && currentState(name) != SERVICE_RUNNING; ++wait) Sleep(50);
            EXPECT_EQ(vm.call(stop, c, n, jint(30000)), 0);
        }
    });
    EXPECT_EQ(vm.call(uninstall, vm.findClass(cls), vm.newString(name)), 0);
    qartest::removeTree(dir);
}

}  // namespace
