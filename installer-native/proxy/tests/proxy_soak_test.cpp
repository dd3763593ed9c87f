// Soaks: the proxy settings natives, and the auto-config native with its
// script served by the loopback server, round after round; handles, memory
// and the VM's references stay flat.
#include "family_soak.h"
#include "fuzz.h"
#include "loopback_http_server.h"
#include "target.h"
#include "wbnative_test.h"

#include <winhttp.h>

#include <cstdio>

namespace {

TEST(ProxySoak, SettingsNativesRoundAfterRoundStayFlat) {
    qarjvm::Jvm vm;
    auto load = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_loadFunctions0);
    auto ieConfig = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getIEConfig0);
    auto defaultConfig = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getDefaultConfig0);
    wbtest::soakFamily(vm, "proxy", {300}, [&](size_t) {
        jclass none = nullptr;
        EXPECT_TRUE(vm.call(load, none));
        EXPECT_EQ(vm.call(ieConfig, none, vm.newObjectArray("java/lang/String", {nullptr, nullptr, nullptr, nullptr})), 0);
        EXPECT_EQ(vm.call(defaultConfig, none, vm.newObjectArray("java/lang/String", {nullptr, nullptr, nullptr, nullptr})),
                  0);
    });
}

// One auto-config query made with WinHTTP's own calls, as the native makes
// it, without wbnative; whether the script was found.
bool plainWinHttpQuery(const std::wstring& scriptUrl) {
    HINTERNET session = WinHttpOpen(L"wbnative soak", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    if (!session) return false;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
    WINHTTP_PROXY_INFO info{};
    bool found = WinHttpGetProxyForUrl(session, L"http://www.example.com/", &options, &info) != FALSE;
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    WinHttpCloseHandle(session);
    return found;
}

TEST(ProxySoak, AutoConfigScriptRoundAfterRoundStaysFlat) {
    // Measured with 30 plain WinHttpGetProxyForUrl calls and no wbnative:
    // +27 MiB in the 32-bit process, nothing in the 64-bit one.
    QAR_SKIP_UNDER_EMULATION("WinHTTP keeps about 900 KiB per auto-config evaluation here, so no flat figure can show");
    wbtest::LoopbackHttpServer server;
    ASSERT_TRUE(server.ok());
    qarjvm::Jvm vm;
    auto autoProxy = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getAutoProxyConfig0);
    const std::wstring script = server.url(L"/proxy.pac");
    const std::wstring missing = server.url(L"/no-such-script.pac");
    // The script found and evaluated, or not found (stage 2, WinHTTP's code).
    auto found = [](size_t i) { return i % 4 != 3; };
    // Each round downloads and evaluates a script: a tenth of the other
    // families' size in the full run. The loopback server serves each
    // connection on a thread of this process until WinHTTP lets it go, so a
    // few may still be open at a reading.
    wbtest::SoakSize size{60, 100, 16};
    size.handleAllowance = 6;

    // Wine's script evaluation keeps about 0.75 KiB of heap for every script
    // it runs, whoever asks: the same rounds made with WinHTTP's own calls
    // grow as much, while a script that is only downloaded, or not found,
    // leaves memory flat. So those rounds run first, in this process, and
    // what they grew is Wine's share, allowed on top; a leak of the native's
    // own still shows beyond it.
    const size_t rounds = qarfuzz::scaledCount(size.ciRounds, size.inputsPerRound);
    int64_t plainBefore = 0;
    for (size_t i = 0; i < size.warmUp + rounds; ++i) {
        if (i == size.warmUp) plainBefore = static_cast<int64_t>(qarfuzz::Resources::now().privateBytes);
        EXPECT_EQ(plainWinHttpQuery(found(i) ? script : missing), found(i));
        server.forget();
    }
    const int64_t wineShare = static_cast<int64_t>(qarfuzz::Resources::now().privateBytes) - plainBefore;
    std::printf("WinHTTP's own calls, %zu rounds: private bytes %+lld KiB\n", rounds,
                static_cast<long long>(wineShare / 1024));
    if (wineShare > 0) size.privateAllowance += wineShare;

    wbtest::soakFamily(vm, "proxy.autoconfig", size, [&](size_t i) {
        jobjectArray slots = vm.newObjectArray("java/lang/String", {nullptr, nullptr, nullptr, nullptr});
        jlong status = vm.call(autoProxy, jclass(nullptr), slots, vm.newString(L"http://www.example.com/"),
                               vm.newString(found(i) ? script : missing), jint(WINHTTP_AUTOPROXY_CONFIG_URL), jint(0),
                               jboolean(false));
        EXPECT_EQ(status == 0, found(i)) << status;
        server.forget();
    });
}

}  // namespace
