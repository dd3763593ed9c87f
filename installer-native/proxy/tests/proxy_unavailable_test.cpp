// Proxy detection where WinHTTP lacks one of its five functions. The test
// runs itself once more as a child for which Wine prefers a stand-in
// winhttp.dll (beside this program) to its own: a per-program DllOverrides
// entry, which Wine reads when a process starts.
#include "child_run.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <string>

namespace {

using qarjvm::Jvm;

void checkEveryQueryReportsUnavailable() {
    // Loaded ahead, by its full path: the library takes a winhttp.dll that
    // is loaded already, and would load one from the system directory only.
    ASSERT_NE(LoadLibraryW(qartest::winPath(WBNATIVE_WINHTTP_LACKING_EXE).c_str()), nullptr);
    Jvm vm;
    jobjectArray out = vm.newObjectArray("java/lang/String", {vm.newString(std::wstring(L"kept")), nullptr, nullptr,
                                                              nullptr});
    EXPECT_FALSE(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_loadFunctions0),
                         jclass(nullptr)));
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getDefaultConfig0),
                      jclass(nullptr), out),
              100000);
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getIEConfig0),
                      jclass(nullptr), out),
              100000);
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getAutoProxyConfig0),
                      jclass(nullptr), out, vm.newString(std::wstring(L"http://www.example.com/")), jstring(nullptr),
                      jint(1), jint(3), jboolean(JNI_FALSE)),
              100000);
    std::vector<jobject> kept = vm.objectElements(out);
    EXPECT_EQ(vm.text(static_cast<jstring>(kept[0])), L"kept");
    for (size_t i = 1; i < kept.size(); ++i) EXPECT_EQ(kept[i], nullptr);
    // The stand-in is the module the library bound.
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"winhttp.dll"), path, MAX_PATH);
    EXPECT_EQ(_wcsicmp(path + wcslen(path) - 12, L"\\winhttp.dll"), 0) << path;
}

TEST(Win32ProxyWithoutWinHttp, EveryQueryReportsUnavailable) {
    if (qartest::childRole() == L"winhttp-stand-in") {
        checkEveryQueryReportsUnavailable();
        return;
    }
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const wchar_t* name = wcsrchr(self, L'\\') + 1;
    std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + name + L"\\DllOverrides";
    HKEY overrides = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &overrides, nullptr),
              ERROR_SUCCESS);
    const wchar_t native[] = L"native";
    RegSetValueExW(overrides, L"winhttp", 0, REG_SZ, reinterpret_cast<const BYTE*>(native), sizeof(native));
    RegCloseKey(overrides);

    qartest::RunOptions options;
    options.timeoutMs = 120000;
    qartest::ProcessResult run = qartest::runChild(L"winhttp-stand-in", L"", options);
    RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Wine\\AppDefaults\\") + name).c_str());
    EXPECT_TRUE(qartest::childPassed(run));
}

}  // namespace
