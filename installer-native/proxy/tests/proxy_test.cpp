// Proxy detection natives against Wine's real WinHTTP: the user's proxy
// settings written into the prefix's registry, the machine's WinHTTP setting,
// and proxy auto-config scripts served from 127.0.0.1 inside this process.
#include "loopback_http_server.h"
#include "wbnative_test.h"

#include <winhttp.h>

#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using wbtest::LoopbackHttpServer;

const wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// A registry value of the prefix, put back as it was (or deleted) at the end.
class SavedValue {
public:
    SavedValue(HKEY root, const wchar_t* name) : name_(name) {
        RegCreateKeyExW(root, kConnections, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(key_, name, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
            data_.resize(size);
            existed_ = RegQueryValueExW(key_, name, nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~SavedValue() {
        if (existed_)
            RegSetValueExW(key_, name_, 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
        else
            RegDeleteValueW(key_, name_);
        RegCloseKey(key_);
    }
    HKEY key() const { return key_; }

private:
    const wchar_t* name_;
    HKEY key_ = nullptr;
    DWORD type_ = 0;
    bool existed_ = false;
    std::vector<BYTE> data_;
};

// DefaultConnectionSettings as Internet Explorer writes it (the only form
// Wine's WinHTTP reads): magic 0x46, a counter, the PROXY_* flags, then each
// of proxy, bypass list and script URL as a length and its ANSI characters.
std::vector<BYTE> connectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                                     const std::string& script) {
    std::vector<BYTE> out;
    auto dword = [&](DWORD v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    dword(0x46);
    dword(0);
    dword(flags);
    for (const std::string* s : {&proxy, &bypass, &script}) {
        dword(static_cast<DWORD>(s->size()));
        out.insert(out.end(), s->begin(), s->end());
    }
    for (int i = 0; i < 8; ++i) dword(0);  // the rest of what Internet Explorer stores
    return out;
}

enum : DWORD { kDirect = 1, kProxy = 2, kPacScript = 4, kAutoDetect = 8 };

class Win32ProxyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()); }

    // A String[4] holding "kept0".."kept3", as the caller left it.
    jobjectArray prefilled() {
        std::vector<jobject> slots;
        for (int i = 0; i < 4; ++i) slots.push_back(vm.newString(L"kept" + std::to_wstring(i)));
        return vm.newObjectArray("java/lang/String", slots);
    }

    std::vector<std::wstring> texts(jobjectArray array) {
        std::vector<std::wstring> out;
        for (jobject o : vm.objectElements(array)) out.push_back(o ? vm.text(static_cast<jstring>(o)) : L"<null>");
        return out;
    }

    jlong autoProxy(jobjectArray out, const wchar_t* url, const std::wstring* script, jint flags, jint detect = 0) {
        return vm.call(getAutoProxyConfig0, jclass(nullptr), out, url ? vm.newString(std::wstring(url)) : nullptr,
                       script ? vm.newString(*script) : nullptr, flags, detect, jboolean(JNI_FALSE));
    }

    Jvm vm;
    LoopbackHttpServer server;
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_loadFunctions0) loadFunctions0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_loadFunctions0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getIEConfig0) getIEConfig0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getIEConfig0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getDefaultConfig0) getDefaultConfig0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getDefaultConfig0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getAutoProxyConfig0) getAutoProxyConfig0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getAutoProxyConfig0);
};

TEST_F(Win32ProxyTest, LoadFunctionsFindsWinHttp) {
    EXPECT_TRUE(vm.call(loadFunctions0, jclass(nullptr)));
    EXPECT_TRUE(vm.call(loadFunctions0, jclass(nullptr)));
    EXPECT_NE(GetModuleHandleW(L"winhttp.dll"), nullptr);
}

TEST_F(Win32ProxyTest, UserSettingsFillOnlyTheSlotsThatHaveText) {
    SavedValue saved(HKEY_CURRENT_USER, L"DefaultConnectionSettings");
    const std::string proxy = "127.0.0.1:3128", bypass = "<local>;*.example", script = "http://127.0.0.1:9/p.pac";
    struct Case {
        DWORD flags;
        std::vector<std::wstring> expected;
    } cases[] = {
        {kDirect | kProxy, {L"false", L"kept1", L"127.0.0.1:3128", L"<local>;*.example"}},
        {kDirect | kAutoDetect, {L"true", L"kept1", L"kept2", L"kept3"}},
        {kDirect | kPacScript, {L"false", L"http://127.0.0.1:9/p.pac", L"kept2", L"kept3"}},
        {kDirect | kProxy | kPacScript | kAutoDetect,
         {L"true", L"http://127.0.0.1:9/p.pac", L"127.0.0.1:3128", L"<local>;*.example"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        std::vector<BYTE> value = connectionSettings(c.flags, proxy, bypass, script);
        ASSERT_EQ(RegSetValueExW(saved.key(), L"DefaultConnectionSettings", 0, REG_BINARY, value.data(),
                                 static_cast<DWORD>(value.size())),
                  ERROR_SUCCESS);
        jobjectArray out = prefilled();
        EXPECT_EQ(vm.call(getIEConfig0, jclass(nullptr), out), 0);
        EXPECT_EQ(texts(out), c.expected);
    }
    // Empty strings leave their slots alone as well.
    std::vector<BYTE> empty = connectionSettings(kDirect | kProxy | kPacScript, "", "", "");
    ASSERT_EQ(RegSetValueExW(saved.key(), L"DefaultConnectionSettings", 0, REG_BINARY, empty.data(),
                             static_cast<DWORD>(empty.size())),
              ERROR_SUCCESS);
    jobjectArray out = prefilled();
    EXPECT_EQ(vm.call(getIEConfig0, jclass(nullptr), out), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"false", L"kept1", L"kept2", L"kept3"}));
}

TEST_F(Win32ProxyTest, DefaultConfigIsTheMachinesWinHttpSetting) {
    SavedValue saved(HKEY_LOCAL_MACHINE, L"WinHttpSettings");
    WINHTTP_PROXY_INFO named{WINHTTP_ACCESS_TYPE_NAMED_PROXY, const_cast<LPWSTR>(L"127.0.0.1:8080"),
                             const_cast<LPWSTR>(L"<local>")};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&named)) << GetLastError();
    jobjectArray out = prefilled();
    EXPECT_EQ(vm.call(getDefaultConfig0, jclass(nullptr), out), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"true", L"127.0.0.1:8080", L"<local>", L"kept3"}));

    // Direct: Wine falls back to the http_proxy environment variable then.
    wchar_t env[8];
    if (GetEnvironmentVariableW(L"http_proxy", env, 8)) GTEST_SKIP() << "http_proxy is set in this environment";
    WINHTTP_PROXY_INFO direct{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&direct)) << GetLastError();
    out = prefilled();
    EXPECT_EQ(vm.call(getDefaultConfig0, jclass(nullptr), out), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"false", L"kept1", L"kept2", L"kept3"}));
}

TEST_F(Win32ProxyTest, AutoConfigScriptAnswersForTheTarget) {
    std::wstring script = server.url(L"/proxy.pac");
    jobjectArray out = prefilled();
    EXPECT_EQ(autoProxy(out, L"http://www.example.com/index.html", &script, WINHTTP_AUTOPROXY_CONFIG_URL), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"true", L"127.0.0.1:3128", L"kept2", L"kept3"}));

    out = prefilled();
    EXPECT_EQ(autoProxy(out, L"http://direct.example/", &script, WINHTTP_AUTOPROXY_CONFIG_URL), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"false", L"kept1", L"kept2", L"kept3"}));
    EXPECT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().at(0).target, "/proxy.pac");
}

TEST_F(Win32ProxyTest, FailedDiscoveryReportsStageTwoWithWinHttpsCode) {
    std::wstring missing = server.url(L"/no-such-script.pac");
    jobjectArray out = prefilled();
    jlong status = autoProxy(out, L"http://www.example.com/", &missing, WINHTTP_AUTOPROXY_CONFIG_URL);
    EXPECT_EQ(status >> 32, 2);
    EXPECT_EQ(static_cast<DWORD>(status), static_cast<DWORD>(ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT));
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"kept0", L"kept1", L"kept2", L"kept3"}));

    // Flags WinHTTP refuses: stage 2 as well, with its own code.
    status = autoProxy(out, L"http://www.example.com/", nullptr, WINHTTP_AUTOPROXY_CONFIG_URL);
    EXPECT_EQ(status, (jlong(2) << 32) | ERROR_INVALID_PARAMETER);
}

TEST_F(Win32ProxyTest, NullTargetReturnsZeroAndTouchesNothing) {
    std::wstring script = server.url(L"/proxy.pac");
    jobjectArray out = prefilled();
    EXPECT_EQ(autoProxy(out, nullptr, &script, WINHTTP_AUTOPROXY_CONFIG_URL), 0);
    EXPECT_EQ(texts(out), (std::vector<std::wstring>{L"kept0", L"kept1", L"kept2", L"kept3"}));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Win32ProxyTest, ShortArraysGetOnlyTheSlotsTheyHave) {
    SavedValue saved(HKEY_CURRENT_USER, L"DefaultConnectionSettings");
    std::vector<BYTE> value = connectionSettings(kProxy | kPacScript | kAutoDetect, "127.0.0.1:3128", "<local>",
                                                 "http://127.0.0.1:9/p.pac");
    ASSERT_EQ(RegSetValueExW(saved.key(), L"DefaultConnectionSettings", 0, REG_BINARY, value.data(),
                             static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
    jobjectArray two = vm.newObjectArray("java/lang/String", {nullptr, nullptr});
    EXPECT_EQ(vm.call(getIEConfig0, jclass(nullptr), two), 0);
    EXPECT_EQ(texts(two), (std::vector<std::wstring>{L"true", L"http://127.0.0.1:9/p.pac"}));
    EXPECT_EQ(vm.takeException(), "");
}

}  // namespace
