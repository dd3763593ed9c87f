// The natives of the installer runtime's Win32Services class: install,
// configure, start, stop, query and remove Windows services. Every method
// opens the service control manager and the service itself and closes both
// before it returns; no handle outlives a call.
//
// Results: 0 for success, a negated number for a queried state or start
// type, 5000 when the manager does not open, 50001/50002 from the stop wait,
// otherwise the Windows error code of the call that failed.
#include "wbnative.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

constexpr jint kManagerNotOpened = 5000;
constexpr jint kStopTimedOut = 50001;
constexpr jint kStopQueryFailed = 50002;
constexpr jint kNoChangeServiceConfig2 = 1;

// QueryServiceConfigW reads into a buffer of this many bytes.
constexpr DWORD kConfigBufferBytes = 8192;
// The dependency list, terminators included: 0x4000 bytes.
constexpr size_t kDependencyChars = 0x4000 / sizeof(wchar_t);
// The service control manager's protocol takes at most this many failure
// actions (a range of 0 to 1024 on the wire).
constexpr size_t kMaxFailureActions = 1024;
// How often stopService0 looks at a stopping service.
constexpr DWORD kStopPollMs = 500;

// The manager and one of its services, or the code of the open that failed.
struct OpenedService {
    ScopedServiceHandle manager;
    ScopedServiceHandle service;
    jint error = 0;
};

// Opens the manager on the local machine's active database into opened, then
// the named service. opened.error: 5000 when the manager does not open,
// ERROR_NOT_ENOUGH_MEMORY when the name could not be copied, else
// OpenServiceW's error; 0 when both are open.
void openService(OpenedService& opened, JNIEnv* env, jstring name, DWORD managerAccess, DWORD serviceAccess) {
    opened.manager.reset(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, managerAccess));
    if (!opened.manager) {
        opened.error = kManagerNotOpened;
        return;
    }
    std::unique_ptr<wchar_t[]> serviceName;
    if (!jstringToWide(env, name, serviceName)) {
        opened.error = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    opened.service.reset(OpenServiceW(opened.manager.get(), serviceName.get(), serviceAccess));
    if (!opened.service) opened.error = static_cast<jint>(GetLastError());
}

jint lastError() { return static_cast<jint>(GetLastError()); }

typedef BOOL(WINAPI* ChangeServiceConfig2WFn)(SC_HANDLE, DWORD, LPVOID);

// ChangeServiceConfig2W of the loaded advapi32, bound once; null when missing.
ChangeServiceConfig2WFn changeServiceConfig2() {
    static ChangeServiceConfig2WFn fn =
        procAddress<ChangeServiceConfig2WFn>(GetModuleHandleW(L"advapi32.dll"), "ChangeServiceConfig2W");
    return fn;
}

// The service's configuration in a buffer of kConfigBufferBytes; null with
// error set when the query fails (a configuration too big for the buffer
// gives ERROR_INSUFFICIENT_BUFFER).
std::unique_ptr<BYTE[]> queryConfig(SC_HANDLE service, jint& error) {
    std::unique_ptr<BYTE[]> buffer(new BYTE[kConfigBufferBytes]);
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.get()), kConfigBufferBytes,
                             &needed)) {
        error = lastError();
        return nullptr;
    }
    return buffer;
}

// Waits until the service reports stopped. It gives up only when the
// checkpoint has not advanced for longer than the service's own wait hint and
// more than timeoutMs have passed since the wait began: a service that keeps
// making progress is waited for beyond the timeout, and a stalled one at
// least for its wait hint. Returns 0, 50001 (not stopped) or 50002 (a status
// query failed).
jint waitForServiceStop(SC_HANDLE service, jint timeoutMs) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return kStopQueryFailed;
    const DWORD start = GetTickCount();
    DWORD lastProgress = start;
    DWORD checkPoint = status.dwCheckPoint;
    while (status.dwCurrentState != SERVICE_STOPPED) {
        Sleep(kStopPollMs);
        if (!QueryServiceStatus(service, &status)) return kStopQueryFailed;
        // Unsigned differences stay right across the tick count's wrap.
        const DWORD now = GetTickCount();
        if (status.dwCheckPoint > checkPoint) {
            lastProgress = now;
            checkPoint = status.dwCheckPoint;
        } else if (now - lastProgress > status.dwWaitHint &&
                   static_cast<long long>(now - start) > static_cast<long long>(timeoutMs)) {
            break;
        }
    }
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : kStopTimedOut;
}

// The names of a comma-separated list as a double-NUL-terminated list in
// out (kDependencyChars units, zeroed first). Empty names are dropped, blanks
// stay. False when the list does not fit; out is then not to be used.
bool dependencyList(const wchar_t* names, wchar_t* out) {
    std::fill(out, out + kDependencyChars, L'\0');
    if (!names) return true;
    size_t used = 0;
    for (const wchar_t* token = names; *token;) {
        const wchar_t* end = token;
        while (*end && *end != L',') ++end;
        size_t length = static_cast<size_t>(end - token);
        if (length > 0) {
            // The name, its terminator and the list's final terminator.
            if (used + length + 2 > kDependencyChars) return false;
            std::copy(token, end, out + used);
            used += length + 1;
        }
        token = *end ? end + 1 : end;
    }
    return true;
}

// The account as Windows expects it: the NT AUTHORITY spellings of the local
// system account (exact case) become "LocalSystem".
const wchar_t* serviceAccount(const wchar_t* account) {
    if (account && (wcscmp(account, L"NT AUTHORITY\\System") == 0 || wcscmp(account, L"NT AUTHORITY\\LocalSystem") == 0))
        return L"LocalSystem";
    return account;
}

}  // namespace

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_installService0(
    JNIEnv* env, jclass, jstring name, jstring displayName, jstring binaryPath) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
    if (!manager) return kManagerNotOpened;
    std::unique_ptr<wchar_t[]> serviceName, display, path;
    if (!jstringToWide(env, name, serviceName) || !jstringToWide(env, displayName, display) ||
        !jstringToWide(env, binaryPath, path))
        return ERROR_NOT_ENOUGH_MEMORY;
    // No account: the service runs as LocalSystem.
    ScopedServiceHandle service(CreateServiceW(manager.get(), serviceName.get(), display.get(), SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               path.get(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service ? 0 : lastError();
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_changeServiceConfig0(
    JNIEnv* env, jclass, jstring name, jstring displayName, jstring binaryPath, jint serviceType, jint startType,
    jstring dependencies, jstring account, jstring password, jstring description) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
    if (opened.error) return opened.error;
    std::unique_ptr<wchar_t[]> display, path, dependencyNames, accountName, passwordText, descriptionText;
    if (!jstringToWide(env, displayName, display) || !jstringToWide(env, binaryPath, path) ||
        !jstringToWide(env, dependencies, dependencyNames) || !jstringToWide(env, account, accountName) ||
        !jstringToWide(env, password, passwordText) || !jstringToWide(env, description, descriptionText))
        return ERROR_NOT_ENOUGH_MEMORY;

    // Always passed: an empty list removes all dependencies. A list too long
    // for its buffer changes nothing.
    std::unique_ptr<wchar_t[]> dependencyBuffer(new wchar_t[kDependencyChars]);
    if (!dependencyList(dependencyNames.get(), dependencyBuffer.get())) return ERROR_INSUFFICIENT_BUFFER;

    if (!ChangeServiceConfigW(opened.service.get(), static_cast<DWORD>(serviceType), static_cast<DWORD>(startType),
                              SERVICE_NO_CHANGE, path.get(), nullptr, nullptr, dependencyBuffer.get(),
                              serviceAccount(accountName.get()), passwordText.get(), display.get()))
        return lastError();

    // The description is a courtesy: its failure does not undo the change.
    ChangeServiceConfig2WFn change2 = changeServiceConfig2();
    if (descriptionText && change2) {
        SERVICE_DESCRIPTIONW info{};
        info.lpDescription = descriptionText.get();
        change2(opened.service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
    }
    return 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_setRestartServiceConfig0(
    JNIEnv* env, jclass, jstring name, jboolean restart, jint delayMs, jint count, jint resetPeriodSeconds) {
    ChangeServiceConfig2WFn change2 = changeServiceConfig2();
    if (!change2) return kNoChangeServiceConfig2;
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_ALL_ACCESS, SERVICE_CHANGE_CONFIG | SERVICE_START);
    if (opened.error) return opened.error;

    const SC_ACTION restartAction{SC_ACTION_RESTART, static_cast<DWORD>(delayMs)};
    std::vector<SC_ACTION> actions(1, restartAction);
    if (restart && count != 0) {
        // A negative count means nothing, and the manager refuses more
        // actions than kMaxFailureActions: refused before anything changes.
        if (count < 0 || static_cast<size_t>(count) + 1 > kMaxFailureActions) return ERROR_INVALID_PARAMETER;
        // Restart after each of the first count failures, then stay stopped.
        actions.assign(static_cast<size_t>(count) + 1, restartAction);
        actions.back().Type = SC_ACTION_NONE;
    }
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = static_cast<DWORD>(resetPeriodSeconds);
    // No actions with a list still given: the failure actions are removed.
    failureActions.cActions = restart ? static_cast<DWORD>(actions.size()) : 0;
    failureActions.lpsaActions = actions.data();
    if (!change2(opened.service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) return lastError();
    return 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_setDelayedAutoStart0(
    JNIEnv* env, jclass, jstring name, jboolean delayed) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
    if (opened.error) return opened.error;
    SERVICE_DELAYED_AUTO_START_INFO info{};
    info.fDelayedAutostart = delayed ? TRUE : FALSE;
    if (!ChangeServiceConfig2W(opened.service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info)) return lastError();
    return 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_stopService0(
    JNIEnv* env, jclass, jstring name, jint timeoutMs) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (opened.error) return opened.error;
    SERVICE_STATUS status{};
    // A service that is not running fails here with ERROR_SERVICE_NOT_ACTIVE.
    if (!ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &status)) return lastError();
    return waitForServiceStop(opened.service.get(), timeoutMs);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_startService0(
    JNIEnv* env, jclass, jstring name, jobjectArray arguments) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_CONNECT, SERVICE_START);
    if (opened.error) return opened.error;
    std::vector<std::unique_ptr<wchar_t[]>> copies;
    std::vector<const wchar_t*> argv;
    if (arguments) {
        const jsize count = env->GetArrayLength(arguments);
        for (jsize i = 0; i < count; ++i) {
            jstring item = static_cast<jstring>(env->GetObjectArrayElement(arguments, i));
            // A null element has no text to hand to the service.
            if (!item) return ERROR_INVALID_PARAMETER;
            copies.emplace_back();
            bool copied = jstringToWide(env, item, copies.back());
            env->DeleteLocalRef(item);
            if (!copied) return ERROR_NOT_ENOUGH_MEMORY;
            argv.push_back(copies.back().get());
        }
    }
    // It does not wait for the service to run.
    if (!StartServiceW(opened.service.get(), static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()))
        return lastError();
    return 0;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_uninstallService0(
    JNIEnv* env, jclass, jstring name) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_ALL_ACCESS, DELETE);
    if (opened.error) return opened.error;
    // A running service is not stopped first: it goes once it has stopped.
    return DeleteService(opened.service.get()) ? 0 : lastError();
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_queryStatus0(
    JNIEnv* env, jclass, jstring name) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS);
    if (opened.error) return opened.error;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(opened.service.get(), &status)) return lastError();
    return -static_cast<jint>(status.dwCurrentState);
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_getStartType0(
    JNIEnv* env, jclass, jstring name) {
    OpenedService opened;
    openService(opened, env, name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG);
    if (opened.error) return opened.error;
    jint error = 0;
    std::unique_ptr<BYTE[]> config = queryConfig(opened.service.get(), error);
    if (!config) return error;
    return -static_cast<jint>(reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.get())->dwStartType);
}

extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Services_getServiceBinary0(
    JNIEnv* env, jclass, jstring name) {
    jint error = 0;
    std::unique_ptr<BYTE[]> config;
    {
        OpenedService opened;
    openService(opened, env, name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG);
        error = opened.error;
        if (!error) config = queryConfig(opened.service.get(), error);
    }
    if (env->ExceptionCheck()) return nullptr;  // the name could not be copied
    if (config) {
        const wchar_t* path = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.get())->lpBinaryPathName;
        if (!path) path = L"";
        return env->NewString(reinterpret_cast<const jchar*>(path), static_cast<jsize>(wcslen(path)));
    }
    // Failures travel in the text: a blank, then the code.
    wchar_t text[16];
    swprintf(text, sizeof text / sizeof text[0], L" %d", static_cast<int>(error));
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
}
