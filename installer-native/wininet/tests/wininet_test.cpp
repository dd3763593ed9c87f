// WinInet natives, loaded from wbnative.dll as the installer runtime loads
// them, against Wine's real WinInet and an HTTP server on 127.0.0.1 inside
// this process.
#include "console_capture.h"
#include "loopback_http_server.h"
#include "target.h"
#include "wbnative_test.h"

#include <wininet.h>

#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using wbtest::LoopbackHttpServer;

// The connection object's leading fields, to look behind the natives.
struct ConnectionView {
    HINTERNET session;
    HINTERNET connection;
    HINTERNET request;
    jint errorLocation;
    jint errorCode;
};

const ConnectionView& view(jlong handle) {
    return *reinterpret_cast<const ConnectionView*>(static_cast<uintptr_t>(handle));
}

std::string text(const std::vector<jbyte>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class WinInetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(vm.call(init0, cls));
    }

    // A direct connection (never a proxy from the user's settings) to the server.
    jlong connect(int port) {
        jlong h = vm.call(connect0, cls, vm.newString(std::wstring(L"wbnative test")), jint(INTERNET_OPEN_TYPE_DIRECT),
                          jstring(nullptr), jstring(nullptr), jint(0), vm.newString(std::wstring(L"127.0.0.1")),
                          jint(port), jint(0));
        EXPECT_NE(h, 0);
        handles.push_back(h);
        return h;
    }

    jlong request(const std::wstring& verb, const std::wstring& path, jint flags = 0, jint security = 0) {
        jlong h = connect(server.port());
        vm.call(openRequest0, cls, h, vm.newString(verb), vm.newString(path), flags, security);
        return h;
    }

    jint send(jlong h, const wchar_t* headers = nullptr, const std::string* body = nullptr) {
        jstring extra = headers ? vm.newString(std::wstring(headers)) : nullptr;
        jbyteArray bytes = body ? vm.newArray<jbyte>(std::vector<jbyte>(body->begin(), body->end())) : nullptr;
        return vm.call(sendRequest0, cls, h, extra, bytes);
    }

    // Reads to the end in chunks of the given size, each into the middle of
    // a larger array; stops at -1 (end) or 0 (failure).
    std::string readAll(jlong h, jint chunk, jint* last = nullptr) {
        std::string body;
        jbyteArray array = vm.newArray<jbyte>(std::vector<jbyte>(chunk + 16, 0x5a));
        for (int guard = 0; guard < (64 << 20) / chunk + 100; ++guard) {
            jint n = vm.call(read0, cls, h, array, jint(8), chunk);
            if (last) *last = n;
            if (n <= 0) break;
            std::vector<jbyte> all = vm.elements<jbyte>(array);
            EXPECT_EQ(all[7], 0x5a);
            EXPECT_EQ(all[8 + chunk], 0x5a);
            body.append(reinterpret_cast<const char*>(all.data()) + 8, n);
        }
        return body;
    }

    std::string headers(jlong h) {
        jbyteArray block = vm.call(getHeaders0, cls, h);
        return block ? text(vm.elements<jbyte>(block)) : std::string("<null>");
    }

    jint location(jlong h) { return vm.call(getErrorLocation0, cls, h); }
    jint code(jlong h) { return vm.call(getErrorCode0, cls, h); }
    std::wstring message(jint c) { return vm.text(vm.call(getErrorMessage0, cls, c)); }

    void TearDown() override {
        for (jlong h : handles) vm.call(destroy0, cls, h);
    }

    Jvm vm;
    LoopbackHttpServer server;
    jclass cls = nullptr;
    std::vector<jlong> handles;

    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_init0) init0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_init0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorMessage0) getErrorMessage0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorMessage0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorCode0) getErrorCode0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorCode0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorLocation0) getErrorLocation0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorLocation0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_clearError0) clearError0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_clearError0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_destroy0) destroy0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_destroy0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_connect0) connect0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_connect0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_openRequest0) openRequest0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_openRequest0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getHeaders0) getHeaders0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getHeaders0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_read0) read0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_read0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_internetErrorDlg0) internetErrorDlg0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_internetErrorDlg0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_sendRequest0) sendRequest0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_sendRequest0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setOption0) setOption0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setOption0);
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setDwordOption0) setDwordOption0 =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setDwordOption0);
};

TEST_F(WinInetTest, InitPrintsNothingWhenWinInetIsThere) {
    qartest::ConsoleCapture capture;
    EXPECT_TRUE(vm.call(init0, cls));
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "");
}

TEST_F(WinInetTest, HandleZeroReturnsAtOnce) {
    EXPECT_EQ(vm.call(getErrorCode0, cls, jlong(0)), 0);
    EXPECT_EQ(vm.call(getErrorLocation0, cls, jlong(0)), 0);
    EXPECT_EQ(vm.call(sendRequest0, cls, jlong(0), jstring(nullptr), jbyteArray(nullptr)), 0);
    EXPECT_EQ(vm.call(getHeaders0, cls, jlong(0)), nullptr);
    jbyteArray array = vm.newArray<jbyte>(std::vector<jbyte>(16));
    EXPECT_EQ(vm.call(read0, cls, jlong(0), array, jint(0), jint(16)), -1);
    EXPECT_EQ(vm.call(internetErrorDlg0, cls, jlong(0), jint(ERROR_INTERNET_INCORRECT_PASSWORD), jint(0), jlong(0)),
              0);
    vm.call(openRequest0, cls, jlong(0), vm.newString(std::wstring(L"GET")), vm.newString(std::wstring(L"/")), jint(0),
            jint(0));
    vm.call(setOption0, cls, jlong(0), jint(INTERNET_OPTION_RECEIVE_TIMEOUT), jbyteArray(nullptr));
    vm.call(setDwordOption0, cls, jlong(0), jint(INTERNET_OPTION_RECEIVE_TIMEOUT), jint(100));
    vm.call(clearError0, cls, jlong(0));
    vm.call(destroy0, cls, jlong(0));
}

TEST_F(WinInetTest, HandlesAreSignExtendedAndReadByTheirLowHalf) {
    // No server name: the object comes back with location 2 recorded.
    jlong h = vm.call(connect0, cls, vm.newString(std::wstring(L"wbnative test")), jint(INTERNET_OPEN_TYPE_DIRECT),
                      jstring(nullptr), jstring(nullptr), jint(0), jstring(nullptr), jint(server.port()), jint(0));
    ASSERT_NE(h, 0);
    handles.push_back(h);
    ASSERT_EQ(location(h), 2);
    if constexpr (qartest::kI686) {
        EXPECT_EQ(h, static_cast<jlong>(static_cast<int32_t>(h)));
        // Whatever the high half holds, the low half names the object.
        jlong noisy = (h & 0xffffffffLL) | (0x5a5a5a5aLL << 32);
        EXPECT_EQ(vm.call(getErrorLocation0, cls, noisy), 2);
        vm.call(clearError0, cls, noisy);
        EXPECT_EQ(location(h), 0);
    } else {
        EXPECT_EQ(static_cast<uintptr_t>(h), reinterpret_cast<uintptr_t>(&view(h)));
    }
}

TEST_F(WinInetTest, GetReturnsStatusRawHeadersAndBody) {
    jlong h = request(L"GET", L"/hello");
    EXPECT_EQ(location(h), 0);
    ASSERT_EQ(send(h), 200);
    std::string head = headers(h);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Length: 15\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << head;
    EXPECT_EQ(head.find('\0'), std::string::npos);
    EXPECT_EQ(readAll(h, 4096), "hello, wbnative");
    EXPECT_EQ(location(h), 0);
    std::vector<wbtest::HttpExchange> seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/hello");
    EXPECT_NE(seen[0].headers.find("Accept: */*\r\n"), std::string::npos) << seen[0].headers;
    EXPECT_NE(seen[0].headers.find("User-Agent: wbnative test\r\n"), std::string::npos) << seen[0].headers;
}

TEST_F(WinInetTest, PostSendsBodyAndExtraHeaders) {
    std::string body("binary\0body\xff with all bytes", 28);
    for (int i = 0; i < 256; ++i) body += static_cast<char>(i);
    jlong h = request(L"POST", L"/echo");
    ASSERT_EQ(send(h, L"X-Extra: 1\r\nContent-Type: application/octet-stream\r\n", &body), 200);
    EXPECT_EQ(readAll(h, 100), body);
    std::vector<wbtest::HttpExchange> seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, body);
    EXPECT_NE(seen[0].headers.find("X-Extra: 1\r\n"), std::string::npos) << seen[0].headers;
}

TEST_F(WinInetTest, LargeBodyArrivesWholeInAnyChunkSize) {
    const size_t size = 5 << 20;
    const std::string expected = LoopbackHttpServer::largeBody(size);
    for (jint chunk : {8192, 65536, 1000, 1 << 20}) {
        SCOPED_TRACE(chunk);
        jlong h = request(L"GET", L"/large/" + std::to_wstring(size));
        ASSERT_EQ(send(h), 200);
        jint last = 0;
        std::string body = readAll(h, chunk, &last);
        EXPECT_EQ(last, -1);
        EXPECT_EQ(body.size(), size);
        EXPECT_TRUE(body == expected);
        // The end stays the end.
        EXPECT_EQ(vm.call(read0, cls, h, vm.newArray<jbyte>(std::vector<jbyte>(10)), jint(0), jint(10)), -1);
        EXPECT_EQ(location(h), 0);
    }
}

TEST_F(WinInetTest, ResponseHeadersComeRaw) {
    jlong h = request(L"GET", L"/headers");
    ASSERT_EQ(send(h), 200);
    std::string head = headers(h);
    EXPECT_NE(head.find("\r\nX-Wizbuild-Test: one\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Second: two\r\n"), std::string::npos) << head;
}

TEST_F(WinInetTest, RedirectIsFollowedUnlessTheRequestSaysNot) {
    jlong followed = request(L"GET", L"/redirect");
    ASSERT_EQ(send(followed), 200);
    EXPECT_EQ(readAll(followed, 64), "hello, wbnative");

    jlong kept = request(L"GET", L"/redirect", jint(INTERNET_FLAG_NO_AUTO_REDIRECT));
    ASSERT_EQ(send(kept), 302);
    EXPECT_NE(headers(kept).find("\r\nLocation: /hello\r\n"), std::string::npos) << headers(kept);
    EXPECT_EQ(readAll(kept, 64), "moved");
    EXPECT_EQ(location(kept), 0);
}

TEST_F(WinInetTest, NotFoundIsAStatusNotAnError) {
    jlong h = request(L"GET", L"/no/such/page?x=1");
    EXPECT_EQ(send(h), 404);
    EXPECT_EQ(readAll(h, 64), "not found");
    EXPECT_EQ(location(h), 0);
    EXPECT_EQ(server.requests().at(0).target, "/no/such/page?x=1");
}

TEST_F(WinInetTest, ConnectionClosedEarlyEndsTheBodyShort) {
    jlong h = request(L"GET", L"/early");
    ASSERT_EQ(send(h), 200);
    jint last = 1;
    std::string body = readAll(h, 64, &last);
    EXPECT_EQ(body, std::string(100, 'e'));
    // Wine's WinInet reports the short body as its end, recording nothing.
    EXPECT_EQ(last, -1);
    EXPECT_EQ(location(h), 0);
}

TEST_F(WinInetTest, ReadOfLengthZeroIsZeroAndConsumesNothing) {
    jlong h = request(L"GET", L"/hello");
    ASSERT_EQ(send(h), 200);
    jbyteArray array = vm.newArray<jbyte>(std::vector<jbyte>(4));
    EXPECT_EQ(vm.call(read0, cls, h, array, jint(0), jint(0)), 0);
    EXPECT_EQ(location(h), 0);
    EXPECT_EQ(readAll(h, 5), "hello, wbnative");
}

TEST_F(WinInetTest, ReadOutsideTheArrayIsRefusedAndConsumesNothing) {
    jlong h = request(L"GET", L"/hello");
    ASSERT_EQ(send(h), 200);
    jbyteArray array = vm.newArray<jbyte>(std::vector<jbyte>(8));
    struct Case { jbyteArray array; jint offset, length; } cases[] = {
        {array, 0, 9}, {array, 4, 5}, {array, 9, 0}, {array, -1, 4}, {array, 0, -1}, {nullptr, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
        EXPECT_EQ(vm.call(read0, cls, h, c.array, c.offset, c.length), 0);
        EXPECT_EQ(location(h), 5);
        EXPECT_EQ(code(h), ERROR_INVALID_PARAMETER);
        vm.call(clearError0, cls, h);
    }
    EXPECT_EQ(vm.elements<jbyte>(array), std::vector<jbyte>(8));
    EXPECT_EQ(readAll(h, 8), "hello, wbnative");
}

TEST_F(WinInetTest, BareResponseRecordsNoError) {
    // A response without status line or headers: Wine's WinInet makes up a
    // minimal header block for it (it never reports the raw headers missing).
    jlong h = request(L"GET", L"/noheaders");
    EXPECT_EQ(send(h), 200);
    EXPECT_EQ(headers(h), "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(location(h), 0);
}

TEST_F(WinInetTest, UnreachablePortIsRecordedAndHoldsBackSendsUntilCleared) {
    // A port bound but not listening refuses connections.
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &size), 0);
    jlong h = connect(ntohs(address.sin_port));
    EXPECT_EQ(location(h), 0);  // WinInet connects only when sending
    vm.call(openRequest0, cls, h, vm.newString(std::wstring(L"GET")), vm.newString(std::wstring(L"/")), jint(0),
            jint(0));
    EXPECT_EQ(send(h), 0);
    EXPECT_EQ(location(h), 4);
    EXPECT_EQ(code(h), ERROR_INTERNET_CANNOT_CONNECT);
    closesocket(s);
    WSACleanup();

    // A recorded error holds every send back, whatever the server.
    jlong held = request(L"GET", L"/hello");
    vm.call(setDwordOption0, cls, held, jint(0x7fff), jint(1));  // no such option
    EXPECT_EQ(location(held), 11);
    EXPECT_EQ(code(held), ERROR_INTERNET_INVALID_OPTION);
    EXPECT_EQ(send(held), 0);
    EXPECT_EQ(send(held), 0);
    EXPECT_EQ(location(held), 11);
    EXPECT_TRUE(server.requests().empty());
    vm.call(clearError0, cls, held);
    EXPECT_EQ(location(held), 0);
    EXPECT_EQ(code(held), 0);
    EXPECT_EQ(send(held), 200);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(WinInetTest, FailedConnectStillGivesAnObject) {
    // A proxy access type without a proxy: InternetOpenW refuses.
    jlong h = vm.call(connect0, cls, vm.newString(std::wstring(L"wbnative test")), jint(INTERNET_OPEN_TYPE_PROXY),
                      jstring(nullptr), jstring(nullptr), jint(0), vm.newString(std::wstring(L"127.0.0.1")),
                      jint(server.port()), jint(0));
    ASSERT_NE(h, 0);
    handles.push_back(h);
    EXPECT_EQ(location(h), 1);
    EXPECT_NE(code(h), 0);
    EXPECT_EQ(view(h).session, nullptr);

    // No server name: InternetConnectW refuses.
    jlong noServer = vm.call(connect0, cls, vm.newString(std::wstring(L"wbnative test")),
                             jint(INTERNET_OPEN_TYPE_DIRECT), jstring(nullptr), jstring(nullptr), jint(0),
                             jstring(nullptr), jint(server.port()), jint(0));
    ASSERT_NE(noServer, 0);
    handles.push_back(noServer);
    EXPECT_EQ(location(noServer), 2);
    EXPECT_NE(code(noServer), 0);
    EXPECT_NE(view(noServer).session, nullptr);

    // The request cannot open on it: location 3, and no send goes out.
    vm.call(openRequest0, cls, noServer, vm.newString(std::wstring(L"GET")), vm.newString(std::wstring(L"/hello")),
            jint(0), jint(0));
    EXPECT_EQ(location(noServer), 3);
    EXPECT_EQ(send(noServer), 0);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(WinInetTest, SecurityFlagsAreAddedToTheRequests) {
    jlong plain = request(L"GET", L"/hello");
    DWORD before = 0, size = sizeof(before);
    ASSERT_TRUE(InternetQueryOptionW(view(plain).request, INTERNET_OPTION_SECURITY_FLAGS, &before, &size));
    const DWORD added = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    jlong h = request(L"GET", L"/hello", 0, jint(added));
    DWORD after = 0;
    size = sizeof(after);
    ASSERT_TRUE(InternetQueryOptionW(view(h).request, INTERNET_OPTION_SECURITY_FLAGS, &after, &size));
    EXPECT_EQ(after, before | added);
    EXPECT_EQ(location(h), 0);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(WinInetTest, OptionsApplyToTheRequest) {
    // A short receive timeout against a server that never answers.
    for (bool dword : {true, false}) {
        SCOPED_TRACE(dword ? "setDwordOption0" : "setOption0");
        jlong h = request(L"GET", L"/stall");
        if (dword) {
            vm.call(setDwordOption0, cls, h, jint(INTERNET_OPTION_RECEIVE_TIMEOUT), jint(300));
        } else {
            DWORD ms = 300;
            const jbyte* b = reinterpret_cast<const jbyte*>(&ms);
            vm.call(setOption0, cls, h, jint(INTERNET_OPTION_RECEIVE_TIMEOUT),
                    vm.newArray<jbyte>(std::vector<jbyte>(b, b + 4)));
        }
        EXPECT_EQ(location(h), 0);
        DWORD start = GetTickCount();
        EXPECT_EQ(send(h), 0);
        EXPECT_LT(GetTickCount() - start, 2500u);
        EXPECT_EQ(location(h), 4);
        // Wine reports the timeout as an aborted connection; Windows as a timeout.
        EXPECT_TRUE(code(h) == ERROR_INTERNET_TIMEOUT || code(h) == ERROR_INTERNET_CONNECTION_ABORTED) << code(h);
    }
}

TEST_F(WinInetTest, SetOptionRecordsFailuresAndDefersToEarlierErrors) {
    jlong h = request(L"GET", L"/hello");
    jbyteArray four = vm.newArray<jbyte>(std::vector<jbyte>(4, 1));
    vm.expectReadOnly(four);
    vm.call(setOption0, cls, h, jint(0x7fff), four);
    EXPECT_EQ(location(h), 11);
    EXPECT_EQ(code(h), ERROR_INTERNET_INVALID_OPTION);
    // With an error recorded the option is not even tried.
    vm.call(clearError0, cls, h);
    vm.call(setDwordOption0, cls, h, jint(0x7ffe), jint(0));
    EXPECT_EQ(location(h), 11);
    vm.call(setOption0, cls, h, jint(INTERNET_OPTION_RECEIVE_TIMEOUT), four);
    EXPECT_EQ(location(h), 11);
    // A body the VM cannot pin: location 6, code 6, nothing sent.
    vm.call(clearError0, cls, h);
    std::string body = "abc";
    vm.failNext("GetByteArrayElements");
    EXPECT_EQ(send(h, nullptr, &body), 0);
    EXPECT_EQ(location(h), 6);
    EXPECT_EQ(code(h), 6);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(WinInetTest, ErrorMessagesComeFromTheSystemThenFromWinInet) {
    wchar_t expected[1024] = {};
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_FILE_NOT_FOUND, 1033, expected, 1024, nullptr), 0u);
    EXPECT_EQ(message(ERROR_FILE_NOT_FOUND), expected);

    // 12029 is in wininet.dll's table only.
    wchar_t system[1024] = {};
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_INTERNET_CANNOT_CONNECT, 0, system, 1024, nullptr), 0u);
    ASSERT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                             GetModuleHandleW(L"wininet.dll"), ERROR_INTERNET_CANNOT_CONNECT, 1033, expected, 1024,
                             nullptr), 0u);
    EXPECT_EQ(message(ERROR_INTERNET_CANNOT_CONNECT), expected);
    EXPECT_FALSE(message(ERROR_INTERNET_CANNOT_CONNECT).empty());

    EXPECT_EQ(message(0x2fffffff), L"");
}

TEST_F(WinInetTest, ErrorDialogGetsTheRequestAndTheDesktopAsOwner) {
    jlong h = request(L"GET", L"/hello");
    ASSERT_EQ(send(h), 200);
    const DWORD flags = FLAGS_ERROR_UI_FLAGS_NO_UI;
    for (DWORD error : {DWORD(ERROR_INTERNET_INCORRECT_PASSWORD), DWORD(ERROR_INTERNET_SEC_CERT_DATE_INVALID),
                        DWORD(ERROR_SUCCESS)}) {
        SCOPED_TRACE(error);
        DWORD direct = InternetErrorDlg(GetDesktopWindow(), view(h).request, error, flags, nullptr);
        EXPECT_EQ(vm.call(internetErrorDlg0, cls, h, jint(error), jint(flags), jlong(0)), jint(direct));
    }
}

}  // namespace
