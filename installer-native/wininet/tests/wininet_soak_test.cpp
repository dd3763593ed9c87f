// Soak: whole HTTP exchanges through the WinInet natives (connect, request,
// options, send, headers, body, errors, destroy) against the loopback server,
// round after round; handles, memory and the VM's references stay flat.
#include "family_soak.h"
#include "loopback_http_server.h"
#include "wbnative_test.h"

#include <wininet.h>

namespace {

TEST(WinInetSoak, EveryNativeRoundAfterRoundStaysFlat) {
    wbtest::LoopbackHttpServer server;
    ASSERT_TRUE(server.ok());
    qarjvm::Jvm vm;
    auto init = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_init0);
    auto message = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorMessage0);
    auto code = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorCode0);
    auto location = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorLocation0);
    auto clearError = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_clearError0);
    auto destroy = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_destroy0);
    auto connect = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_connect0);
    auto openRequest = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_openRequest0);
    auto headers = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getHeaders0);
    auto read = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_read0);
    auto send = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_sendRequest0);
    auto setDword = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setDwordOption0);
    jclass none = nullptr;
    ASSERT_TRUE(vm.call(init, none));

    // The loopback server serves each connection on a thread of this process
    // until the connection closes, so one may still be ending at a reading;
    // and this process's heap grows once by a 1 MiB step somewhere in the
    // first few hundred rounds. A leak of a handle or of a few hundred bytes
    // per round still stands out at full size.
    wbtest::SoakSize size{200};
    size.handleAllowance = 2;
    size.privateAllowance = 2 * 1024 * 1024;
    wbtest::soakFamily(vm, "wininet", size, [&](size_t i) {
        jlong h = vm.call(connect, none, vm.newString(L"wbnative soak"), jint(INTERNET_OPEN_TYPE_DIRECT), jstring(nullptr),
                          jstring(nullptr), jint(0), vm.newString(L"127.0.0.1"), jint(server.port()), jint(0));
        ASSERT_NE(h, 0);
        bool post = i % 2 == 1;
        // Past WinInet's cache, which grows by itself up to its own limit.
        vm.call(openRequest, none, h, vm.newString(post ? L"POST" : L"GET"), vm.newString(post ? L"/echo" : L"/hello"),
                jint(INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD), jint(0));
        vm.call(setDword, none, h, jint(INTERNET_OPTION_RECEIVE_TIMEOUT), jint(30000));
        std::vector<jbyte> body(post ? 1 + i % 3000 : 0, 'b');
        EXPECT_EQ(vm.call(send, none, h, post ? vm.newString(L"X-Soak: 1\r\n") : jstring(nullptr),
                          post ? vm.newArray(body) : jbyteArray(nullptr)),
                  200);
        EXPECT_NE(vm.call(headers, none, h), nullptr);
        jbyteArray buffer = vm.newArray(std::vector<jbyte>(4096));
        size_t total = 0;
        for (jint n; (n = vm.call(read, none, h, buffer, jint(0), jint(4096))) > 0;) total += static_cast<size_t>(n);
        EXPECT_EQ(total, post ? body.size() : 15u);
        EXPECT_EQ(vm.call(location, none, h), 0);
        EXPECT_EQ(vm.call(code, none, h), 0);
        vm.call(clearError, none, h);
        EXPECT_NE(vm.call(message, none, jint(12029)), nullptr);
        vm.call(destroy, none, h);
        // The server's record of requests is the test's, not the library's.
        server.forget();
    });
}

}  // namespace
