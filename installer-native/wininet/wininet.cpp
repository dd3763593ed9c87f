// WinInet: a small HTTP client driven step by step from Java. One connection
// object holds the session, connection and request handles of one request,
// the last error recorded on it and a read buffer reused across reads.
#include "wbnative.h"

#include <wininet.h>

#include <cstdio>
#include <new>

namespace {

typedef HINTERNET(WINAPI* InternetOpenWFn)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
typedef BOOL(WINAPI* HttpQueryInfoAFn)(HINTERNET, DWORD, LPVOID, LPDWORD, LPDWORD);
typedef BOOL(WINAPI* InternetCloseHandleFn)(HINTERNET);
typedef BOOL(WINAPI* InternetReadFileFn)(HINTERNET, LPVOID, DWORD, LPDWORD);
typedef HINTERNET(WINAPI* InternetConnectWFn)(HINTERNET, LPCWSTR, INTERNET_PORT, LPCWSTR, LPCWSTR, DWORD, DWORD,
                                              DWORD_PTR);
typedef HINTERNET(WINAPI* HttpOpenRequestWFn)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD,
                                              DWORD_PTR);
typedef BOOL(WINAPI* HttpEndRequestWFn)(HINTERNET, LPINTERNET_BUFFERSW, DWORD, DWORD_PTR);
typedef BOOL(WINAPI* InternetSetOptionWFn)(HINTERNET, DWORD, LPVOID, DWORD);
typedef BOOL(WINAPI* InternetWriteFileFn)(HINTERNET, LPCVOID, DWORD, LPDWORD);
typedef BOOL(WINAPI* InternetQueryOptionWFn)(HINTERNET, DWORD, LPVOID, LPDWORD);
typedef BOOL(WINAPI* HttpSendRequestWFn)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD);
typedef DWORD(WINAPI* InternetErrorDlgFn)(HWND, HINTERNET, DWORD, DWORD, LPVOID*);

InternetOpenWFn pInternetOpenW;
HttpQueryInfoAFn pHttpQueryInfoA;
InternetCloseHandleFn pInternetCloseHandle;
InternetReadFileFn pInternetReadFile;
InternetConnectWFn pInternetConnectW;
HttpOpenRequestWFn pHttpOpenRequestW;
HttpEndRequestWFn pHttpEndRequestW;
InternetSetOptionWFn pInternetSetOptionW;
InternetWriteFileFn pInternetWriteFile;
InternetQueryOptionWFn pInternetQueryOptionW;
HttpSendRequestWFn pHttpSendRequestW;
InternetErrorDlgFn pInternetErrorDlg;
// Set once init0 found all twelve; the natives do nothing before that
// instead of calling through null pointers.
bool gLoaded = false;

// Where a step failed; the Java side reads it with getErrorLocation0.
enum ErrorLocation : jint {
    kOpenSession = 1,
    kConnect = 2,
    kOpenRequest = 3,
    kSendRequest = 4,
    kReadFile = 5,
    kPinBody = 6,
    kQueryHeaders = 7,
    kHeaderArray = 8,
    kQueryHeaderSize = 9,
    kPinOption = 10,
    kSetOption = 11,
};

// The error code stored where a JNI call, not WinInet, failed.
constexpr jint kJniFailure = ERROR_INVALID_HANDLE;  // 6

// A WinInet handle, closed through the bound InternetCloseHandle; only
// opened once init0 bound every function.
struct InternetHandleTraits {
    using Value = HINTERNET;
    static HINTERNET empty() { return nullptr; }
    static bool valid(HINTERNET handle) { return handle != nullptr; }
    static void close(HINTERNET handle) {
        if (gLoaded) pInternetCloseHandle(handle);
    }
};
using ScopedInternetHandle = Scoped<InternetHandleTraits>;

// Its handles close with it, the request first and the session last.
struct Connection {
    ScopedInternetHandle session;
    ScopedInternetHandle connection;
    ScopedInternetHandle request;
    jint errorLocation;
    jint errorCode;
    jbyte* readBuffer;
    jint readBufferSize;
};

Connection* usable(jlong handle) {
    Connection* c = objectFromJava<Connection>(handle);
    return gLoaded ? c : nullptr;
}

void record(Connection* c, jint location, jint code) {
    c->errorLocation = location;
    c->errorCode = code;
}

void recordLastError(Connection* c, jint location) {
    record(c, location, static_cast<jint>(GetLastError()));
}

// The array when it holds bytes: an empty one is never pinned and reaches
// WinInet as a null buffer of length 0.
jbyteArray nonEmpty(JNIEnv* env, jbyteArray array) { return array && env->GetArrayLength(array) > 0 ? array : nullptr; }

template <typename F>
bool bind(HMODULE module, F& fn, const char* name) {
    fn = procAddress<F>(module, name);
    return fn != nullptr;
}

}  // namespace

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_init0(JNIEnv*, jclass) {
    HMODULE wininet = loadSystemLibrary(L"wininet.dll");
    if (!wininet) {
        fputs("Could not load wininet.dll\n", stdout);
        fflush(stdout);
        return JNI_FALSE;
    }
    bool all = bind(wininet, pInternetOpenW, "InternetOpenW");
    all &= bind(wininet, pHttpQueryInfoA, "HttpQueryInfoA");
    all &= bind(wininet, pInternetCloseHandle, "InternetCloseHandle");
    all &= bind(wininet, pInternetReadFile, "InternetReadFile");
    all &= bind(wininet, pInternetConnectW, "InternetConnectW");
    all &= bind(wininet, pHttpOpenRequestW, "HttpOpenRequestW");
    all &= bind(wininet, pHttpEndRequestW, "HttpEndRequestW");
    all &= bind(wininet, pInternetSetOptionW, "InternetSetOptionW");
    all &= bind(wininet, pInternetWriteFile, "InternetWriteFile");
    all &= bind(wininet, pInternetQueryOptionW, "InternetQueryOptionW");
    all &= bind(wininet, pHttpSendRequestW, "HttpSendRequestW");
    all &= bind(wininet, pInternetErrorDlg, "InternetErrorDlg");
    gLoaded = all;
    if (!all) {
        fputs("Could not load wininet.dll functions\n", stdout);
        fflush(stdout);
        return JNI_FALSE;
    }
    return JNI_TRUE;
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorMessage0(
    JNIEnv* env, jclass, jint code) {
    wchar_t text[1024] = {};
    const DWORD languages[] = {1033, LANG_USER_DEFAULT};
    DWORD length = 0;
    for (DWORD language : languages) {
        if (length) break;
        length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), language, text, 1024, nullptr);
    }
    // WinInet's own codes (12001 and up) live in wininet.dll's table; a null
    // module would make FormatMessageW search this process's program instead.
    HMODULE wininet = GetModuleHandleW(L"wininet.dll");
    for (DWORD language : languages) {
        if (length || !wininet) break;
        length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet,
                                static_cast<DWORD>(code), language, text, 1024, nullptr);
    }
    if (!length) text[0] = L'\0';
    text[1023] = L'\0';
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorCode0(
    JNIEnv*, jclass, jlong handle) {
    Connection* c = objectFromJava<Connection>(handle);
    return c ? c->errorCode : 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getErrorLocation0(
    JNIEnv*, jclass, jlong handle) {
    Connection* c = objectFromJava<Connection>(handle);
    return c ? c->errorLocation : 0;
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_clearError0(
    JNIEnv*, jclass, jlong handle) {
    Connection* c = objectFromJava<Connection>(handle);
    if (c) record(c, 0, 0);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_destroy0(
    JNIEnv*, jclass, jlong handle) {
    Connection* c = objectFromJava<Connection>(handle);
    if (!c) return;
    delete[] c->readBuffer;
    delete c;
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_connect0(
    JNIEnv* env, jclass, jstring agent, jint accessType, jstring proxy, jstring bypass, jint openFlags, jstring server,
    jint port, jint connectFlags) {
    Connection* c = new (std::nothrow) Connection{};
    if (!c) return 0;
    if (!gLoaded) {
        // init0 was not called or failed: nothing to open with.
        record(c, kOpenSession, ERROR_PROC_NOT_FOUND);
        return handleToJava(c);
    }
    std::unique_ptr<wchar_t[]> agentW, proxyW, bypassW, serverW;
    if (!jstringToWide(env, agent, agentW) || !jstringToWide(env, proxy, proxyW) ||
        !jstringToWide(env, bypass, bypassW) || !jstringToWide(env, server, serverW)) {
        env->ExceptionClear();  // no Java exception leaves a native: the object tells
        record(c, kOpenSession, kJniFailure);
        return handleToJava(c);
    }
    c->session.reset(pInternetOpenW(agentW.get(), static_cast<DWORD>(accessType), proxyW.get(), bypassW.get(),
                                    static_cast<DWORD>(openFlags)));
    if (!c->session) {
        recordLastError(c, kOpenSession);
        return handleToJava(c);
    }
    c->connection.reset(pInternetConnectW(c->session.get(), serverW.get(), static_cast<INTERNET_PORT>(port), nullptr,
                                          nullptr, INTERNET_SERVICE_HTTP, static_cast<DWORD>(connectFlags), 0));
    if (!c->connection) recordLastError(c, kConnect);
    return handleToJava(c);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_openRequest0(
    JNIEnv* env, jclass, jlong handle, jstring verb, jstring objectName, jint flags, jint securityFlags) {
    Connection* c = usable(handle);
    if (!c) return;
    std::unique_ptr<wchar_t[]> verbW, objectW;
    if (!jstringToWide(env, verb, verbW) || !jstringToWide(env, objectName, objectW)) {
        env->ExceptionClear();
        record(c, kOpenRequest, kJniFailure);
        return;
    }
    // A second request on the object replaces the first, which is closed.
    c->request.reset();
    LPCWSTR acceptTypes[] = {L"*/*", nullptr};
    c->request.reset(pHttpOpenRequestW(c->connection.get(), verbW.get(), objectW.get(), nullptr, nullptr, acceptTypes,
                                       static_cast<DWORD>(flags), 0));
    if (!c->request) recordLastError(c, kOpenRequest);
    if (c->request && securityFlags) {
        // Added to what WinInet already set; a failure here is not the request's.
        DWORD current = 0, size = sizeof(current);
        if (pInternetQueryOptionW(c->request.get(), INTERNET_OPTION_SECURITY_FLAGS, &current, &size)) {
            current |= static_cast<DWORD>(securityFlags);
            pInternetSetOptionW(c->request.get(), INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof(current));
        }
    }
    if (!c->errorLocation) {
        // HTTP/1.x only: older WinInet rejects the option, which is fine.
        DWORD protocols = 0;
        pInternetSetOptionW(c->request.get(), 148 /* INTERNET_OPTION_ENABLE_HTTP_PROTOCOL */, &protocols,
                            sizeof(protocols));
        SetLastError(0);
    }
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setDwordOption0(
    JNIEnv*, jclass, jlong handle, jint option, jint value) {
    Connection* c = usable(handle);
    if (!c) return;
    DWORD dword = static_cast<DWORD>(value);
    if (!pInternetSetOptionW(c->request.get(), static_cast<DWORD>(option), &dword, sizeof(dword)))
        recordLastError(c, kSetOption);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_setOption0(
    JNIEnv* env, jclass, jlong handle, jint option, jbyteArray value) {
    Connection* c = usable(handle);
    if (!c) return;
    PinnedArray<jbyteArray> bytes(env, nonEmpty(env, value));
    if (bytes.failed()) {
        env->ExceptionClear();  // no Java exception leaves a native
        record(c, kPinOption, kJniFailure);
    }
    if (c->errorLocation) return;
    if (!pInternetSetOptionW(c->request.get(), static_cast<DWORD>(option), bytes.get(),
                             static_cast<DWORD>(bytes.length())))
        recordLastError(c, kSetOption);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_sendRequest0(
    JNIEnv* env, jclass, jlong handle, jstring headers, jbyteArray body) {
    Connection* c = usable(handle);
    if (!c) return 0;
    std::unique_ptr<wchar_t[]> headersW;
    if (!jstringToWide(env, headers, headersW)) {
        env->ExceptionClear();
        record(c, kSendRequest, kJniFailure);
        return 0;
    }
    PinnedArray<jbyteArray> bytes(env, nonEmpty(env, body));
    if (bytes.failed()) {
        env->ExceptionClear();
        record(c, kPinBody, kJniFailure);
    }
    // An error recorded earlier holds every send back until clearError0.
    if (c->errorLocation) return 0;
    if (!pHttpSendRequestW(c->request.get(), headersW.get(), static_cast<DWORD>(-1), bytes.get(),
                           static_cast<DWORD>(bytes.length()))) {
        recordLastError(c, kSendRequest);
        return 0;
    }
    DWORD status = 0, size = sizeof(status);
    if (!pHttpQueryInfoA(c->request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return 0;
    return static_cast<jint>(status);
}

extern "C" jbyteArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_getHeaders0(
    JNIEnv* env, jclass, jlong handle) {
    Connection* c = usable(handle);
    if (!c) return nullptr;
    DWORD length = 0;
    if (pHttpQueryInfoA(c->request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &length, nullptr)) return nullptr;
    DWORD error = GetLastError();
    if (error == ERROR_HTTP_HEADER_NOT_FOUND) return nullptr;
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        record(c, kQueryHeaderSize, static_cast<jint>(error));
        return nullptr;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[length + 1]);
    if (!block) {
        record(c, kQueryHeaders, ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // On success the length becomes that of the text, without its terminator.
    DWORD size = length;
    if (!pHttpQueryInfoA(c->request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, block.get(), &size, nullptr)) {
        recordLastError(c, kQueryHeaders);
        return nullptr;
    }
    if (size > length) size = length;
    jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
    if (!array) {
        env->ExceptionClear();
        record(c, kHeaderArray, kJniFailure);
        return nullptr;
    }
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte*>(block.get()));
    return array;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_read0(
    JNIEnv* env, jclass, jlong handle, jbyteArray array, jint offset, jint length) {
    Connection* c = usable(handle);
    if (!c) return -1;
    // A read that would land outside the array reads nothing from the stream.
    jsize capacity = array ? env->GetArrayLength(array) : 0;
    if (!array || offset < 0 || length < 0 || offset > capacity || length > capacity - offset) {
        record(c, kReadFile, ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (length == 0) return 0;
    if (c->readBufferSize < length) {
        delete[] c->readBuffer;
        c->readBufferSize = 0;
        c->readBuffer = new (std::nothrow) jbyte[length];
        if (!c->readBuffer) {
            record(c, kReadFile, ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        c->readBufferSize = length;
    }
    DWORD count = 0;
    if (!pInternetReadFile(c->request.get(), c->readBuffer, static_cast<DWORD>(length), &count)) {
        recordLastError(c, kReadFile);
        return 0;
    }
    if (count == 0) return -1;
    if (count > static_cast<DWORD>(length)) count = static_cast<DWORD>(length);
    env->SetByteArrayRegion(array, offset, static_cast<jsize>(count), c->readBuffer);
    return static_cast<jint>(count);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_wininet_WinInet_internetErrorDlg0(
    JNIEnv*, jclass, jlong handle, jint error, jint flags, jlong owner) {
    Connection* c = usable(handle);
    if (!c) return 0;
    HWND window = handleFromJava<HWND>(owner);
    if (!window) window = GetDesktopWindow();
    return static_cast<jint>(
        pInternetErrorDlg(window, c->request.get(), static_cast<DWORD>(error), static_cast<DWORD>(flags), nullptr));
}
