// Proxy detection through WinHTTP: the machine's default WinHTTP proxy, the
// user's Internet Explorer setting, and automatic discovery for one URL.
// WinHTTP is bound at run time; results go into the caller's string array.
#include "wbnative.h"

#include <winhttp.h>

namespace {

typedef BOOL(WINAPI* GetIEProxyConfigFn)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
typedef HINTERNET(WINAPI* OpenFn)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
typedef BOOL(WINAPI* CloseHandleFn)(HINTERNET);
typedef BOOL(WINAPI* GetProxyForUrlFn)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*);
typedef BOOL(WINAPI* GetDefaultProxyConfigurationFn)(WINHTTP_PROXY_INFO*);

GetIEProxyConfigFn pWinHttpGetIEProxyConfigForCurrentUser;
OpenFn pWinHttpOpen;
CloseHandleFn pWinHttpCloseHandle;
GetProxyForUrlFn pWinHttpGetProxyForUrl;
GetDefaultProxyConfigurationFn pWinHttpGetDefaultProxyConfiguration;
bool gLookupTried = false;

// Every query's result when WinHTTP or one of its functions is missing.
constexpr jint kUnavailable = 100000;

enum Stage : jlong { kNoStage = 0, kOpenSession = 1, kProxyQuery = 2 };

bool loadFunctions() {
    if (!gLookupTried) {
        gLookupTried = true;
        HMODULE winhttp = loadSystemLibrary(L"Winhttp.dll");
        if (winhttp) {
            pWinHttpGetIEProxyConfigForCurrentUser =
                procAddress<GetIEProxyConfigFn>(winhttp, "WinHttpGetIEProxyConfigForCurrentUser");
            pWinHttpOpen = procAddress<OpenFn>(winhttp, "WinHttpOpen");
            pWinHttpCloseHandle = procAddress<CloseHandleFn>(winhttp, "WinHttpCloseHandle");
            pWinHttpGetProxyForUrl = procAddress<GetProxyForUrlFn>(winhttp, "WinHttpGetProxyForUrl");
            pWinHttpGetDefaultProxyConfiguration =
                procAddress<GetDefaultProxyConfigurationFn>(winhttp, "WinHttpGetDefaultProxyConfiguration");
        }
    }
    return pWinHttpGetIEProxyConfigForCurrentUser && pWinHttpOpen && pWinHttpCloseHandle && pWinHttpGetProxyForUrl &&
           pWinHttpGetDefaultProxyConfiguration;
}

// A WinHTTP session, closed through the bound WinHttpCloseHandle.
struct WinHttpHandleTraits {
    using Value = HINTERNET;
    static HINTERNET empty() { return nullptr; }
    static bool valid(HINTERNET handle) { return handle != nullptr; }
    static void close(HINTERNET handle) { pWinHttpCloseHandle(handle); }
};

// Stores text into out[index] when it is non-empty and the slot exists;
// otherwise the slot keeps what the caller put there.
void store(JNIEnv* env, jobjectArray out, jsize index, const wchar_t* text) {
    if (!out || !text || !*text || index >= env->GetArrayLength(out)) return;
    jstring s = env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
    if (!s) {
        env->ExceptionClear();  // no Java exception leaves a native
        return;
    }
    env->SetObjectArrayElement(out, index, s);
    env->DeleteLocalRef(s);
}

void storeFlag(JNIEnv* env, jobjectArray out, jsize index, bool flag) {
    store(env, out, index, flag ? L"true" : L"false");
}

// A WinHTTP proxy answer into out[0..2] (named proxy or not, proxy, bypass);
// its strings are freed.
void storeProxyInfo(JNIEnv* env, jobjectArray out, const WINHTTP_PROXY_INFO& info) {
    ScopedGlobal<wchar_t> proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    storeFlag(env, out, 0, info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY);
    store(env, out, 1, proxy.get());
    store(env, out, 2, bypass.get());
}

}  // namespace

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_loadFunctions0(
    JNIEnv*, jclass) {
    return loadFunctions() ? JNI_TRUE : JNI_FALSE;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getDefaultConfig0(
    JNIEnv* env, jclass, jobjectArray out) {
    if (!loadFunctions()) return kUnavailable;
    WINHTTP_PROXY_INFO info{};
    if (!pWinHttpGetDefaultProxyConfiguration(&info)) return static_cast<jint>(GetLastError());
    storeProxyInfo(env, out, info);
    return 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getIEConfig0(
    JNIEnv* env, jclass, jobjectArray out) {
    if (!loadFunctions()) return kUnavailable;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!pWinHttpGetIEProxyConfigForCurrentUser(&config)) return static_cast<jint>(GetLastError());
    ScopedGlobal<wchar_t> autoConfigUrl(config.lpszAutoConfigUrl), proxy(config.lpszProxy),
        bypass(config.lpszProxyBypass);
    storeFlag(env, out, 0, config.fAutoDetect != FALSE);
    store(env, out, 1, autoConfigUrl.get());
    store(env, out, 2, proxy.get());
    store(env, out, 3, bypass.get());
    return 0;
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Proxy_getAutoProxyConfig0(
    JNIEnv* env, jclass, jobjectArray out, jstring url, jstring scriptUrl, jint flags, jint detectFlags,
    jboolean autoLogon) {
    if (!loadFunctions()) return kUnavailable;
    std::unique_ptr<wchar_t[]> urlW, scriptUrlW;
    // Before any stage: the code alone.
    if (!jstringToWide(env, url, urlW) || !jstringToWide(env, scriptUrl, scriptUrlW)) return ERROR_NOT_ENOUGH_MEMORY;
    if (!urlW) return 0;

    Scoped<WinHttpHandleTraits> session(
        pWinHttpOpen(L"wizbuild proxy detection/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    if (!session) return (kOpenSession << 32) | static_cast<jlong>(GetLastError());

    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = static_cast<DWORD>(flags);
    options.dwAutoDetectFlags = static_cast<DWORD>(detectFlags);
    options.lpszAutoConfigUrl = scriptUrlW.get();
    options.fAutoLogonIfChallenged = autoLogon ? TRUE : FALSE;
    WINHTTP_PROXY_INFO info{};
    jlong status;
    if (pWinHttpGetProxyForUrl(session.get(), urlW.get(), &options, &info)) {
        storeProxyInfo(env, out, info);
        status = kNoStage;
    } else {
        status = (kProxyQuery << 32) | static_cast<jlong>(GetLastError());
    }
    return status;
}
