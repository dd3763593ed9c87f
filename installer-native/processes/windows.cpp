// Processes through their top-level windows: asking them to close (or ending
// them), their titles, their windows as records, bringing ours to the front.
// Each enumeration's context travels through the callback's parameter, so the
// natives may run on several threads at once.
#include "wbnative.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kTextUnits = 4096;

enum Status : jint { kUnreachable = 0, kClosed = 1, kNotWaitable = 2, kTimedOut = 3 };

struct CloseContext {
    const jint* ids;
    size_t count;
    std::vector<bool> seen;
    jint status;
};

// Posts WM_CLOSE to each visible window of a listed process.
BOOL CALLBACK closeWindow(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<CloseContext*>(param);
    if (!IsWindowVisible(window)) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    for (size_t i = 0; i < context->count; ++i) {
        if (static_cast<DWORD>(context->ids[i]) != pid) continue;
        context->seen[i] = true;
        if (!PostMessageW(window, WM_CLOSE, 0, 0)) context->status = kUnreachable;
    }
    return TRUE;
}

// Waits until every process has ended or the timeout has run out. One wait
// takes at most MAXIMUM_WAIT_OBJECTS handles, so longer lists wait in groups
// against one deadline.
jint waitForAll(const std::vector<HANDLE>& handles, DWORD timeout) {
    ULONGLONG start = GetTickCount64();
    for (size_t at = 0; at < handles.size(); at += MAXIMUM_WAIT_OBJECTS) {
        DWORD left = timeout;
        if (timeout != INFINITE) {
            ULONGLONG spent = GetTickCount64() - start;
            left = spent >= timeout ? 0 : static_cast<DWORD>(timeout - spent);
        }
        size_t n = handles.size() - at < MAXIMUM_WAIT_OBJECTS ? handles.size() - at : MAXIMUM_WAIT_OBJECTS;
        DWORD result = WaitForMultipleObjects(static_cast<DWORD>(n), handles.data() + at, TRUE, left);
        if (result == WAIT_TIMEOUT) return kTimedOut;
        if (result >= WAIT_OBJECT_0 + n) return kNotWaitable;  // WAIT_FAILED, or an abandoned-mutex code
    }
    return kClosed;
}

jint terminate(const jint* ids, size_t count) {
    jint status = kClosed;
    for (size_t i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(ids[i]));
        if (!process) {
            status = kUnreachable;
            continue;
        }
        if (!TerminateProcess(process, 0)) status = kUnreachable;
        CloseHandle(process);
    }
    return status;
}

jint closePolitely(const jint* ids, size_t count, DWORD timeout) {
    CloseContext context{ids, count, std::vector<bool>(count, false), kClosed};
    EnumWindows(closeWindow, reinterpret_cast<LPARAM>(&context));
    for (size_t i = 0; i < count; ++i)
        if (!context.seen[i]) context.status = kUnreachable;  // no visible window to ask
    if (context.status != kClosed) return context.status;

    std::vector<HANDLE> handles;
    for (size_t i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(ids[i]));
        if (process)
            handles.push_back(process);
        else
            context.status = kNotWaitable;
    }
    if (context.status == kClosed) context.status = waitForAll(handles, timeout);
    for (HANDLE process : handles) CloseHandle(process);
    return context.status;
}

struct TitleContext {
    DWORD pid;
    std::vector<wchar_t> title;
};

// The first visible titled window wins; until then the last titled one.
BOOL CALLBACK findTitle(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<TitleContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != context->pid) return TRUE;
    std::vector<wchar_t> text(kTextUnits);
    if (GetWindowTextW(window, text.data(), kTextUnits) <= 0 || text[0] == L'\0') return TRUE;
    context->title = text;
    return IsWindowVisible(window) ? FALSE : TRUE;
}

struct WindowsContext {
    DWORD pid;
    std::vector<HWND> windows;
};

// Visible windows of the process that no other window owns.
BOOL CALLBACK collectWindow(HWND window, LPARAM param) {
    auto* context = reinterpret_cast<WindowsContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == context->pid && !GetWindow(window, GW_OWNER) && IsWindowVisible(window)) context->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK bringToFront(HWND window, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (IsWindowVisible(window) && pid == GetCurrentProcessId()) {
        SetForegroundWindow(window);
        SetForegroundWindow(GetLastActivePopup(window));
    }
    return TRUE;
}

jstring newString(JNIEnv* env, const wchar_t* text, int length) {
    return env->NewString(reinterpret_cast<const jchar*>(text), length);
}

}  // namespace

// Ends the listed processes: with force at once, else by asking each visible
// top-level window to close and waiting up to timeout ms. 1 all ended, 0 one
// could not be reached, 2 one could not be waited for, 3 the time ran out.
extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_terminateProcesses0(
    JNIEnv* env, jclass, jintArray pids, jboolean force, jint timeout) {
    if (!pids) return kUnreachable;
    PinnedArray<jintArray> ids(env, pids);
    if (!ids) return kUnreachable;
    size_t count = static_cast<size_t>(ids.length());
    return force ? terminate(ids.get(), count) : closePolitely(ids.get(), count, static_cast<DWORD>(timeout));
}

// The title of the process's first visible titled top-level window, else of
// its last titled one, else "".
extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getWindowTitle0(
    JNIEnv* env, jclass, jint pid) {
    TitleContext context{static_cast<DWORD>(pid), std::vector<wchar_t>(1, L'\0')};
    EnumWindows(findTitle, reinterpret_cast<LPARAM>(&context));
    return newString(env, context.title.data(), static_cast<int>(wcslen(context.title.data())));
}

// A record per visible unowned top-level window of the process, or null when
// it has none. Windows without title, class name or style leave their slots
// null at the end of the array.
extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_getTopLevelWindows0(
    JNIEnv* env, jclass, jclass windowInfo, jint pid) {
    WindowsContext context{static_cast<DWORD>(pid), {}};
    EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&context));
    if (context.windows.empty() || !windowInfo) return nullptr;

    jmethodID constructor = env->GetMethodID(windowInfo, "<init>", "(JILjava/lang/String;Ljava/lang/String;)V");
    if (!constructor) {
        env->ExceptionClear();
        std::fprintf(stderr, "window info constructor not found");
        std::fflush(stderr);
        return nullptr;
    }
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(context.windows.size()), windowInfo, nullptr);
    if (!array) {
        env->ExceptionClear();
        std::fprintf(stderr, "could not create window info array");
        std::fflush(stderr);
        return nullptr;
    }
    std::vector<wchar_t> text(kTextUnits);
    jsize next = 0;
    for (HWND window : context.windows) {
        LONG style = GetWindowLongW(window, GWL_STYLE);
        int classLength = GetClassNameW(window, text.data(), kTextUnits);
        jstring className = classLength > 0 ? newString(env, text.data(), classLength) : nullptr;
        int titleLength = GetWindowTextW(window, text.data(), kTextUnits);
        jstring title = titleLength > 0 ? newString(env, text.data(), titleLength) : nullptr;
        if (title && className && style != 0) {
            jobject record = env->NewObject(windowInfo, constructor,
                                            handleToJava(window),
                                            static_cast<jint>(style), className, title);
            if (record) {
                env->SetObjectArrayElement(array, next++, record);
                env->DeleteLocalRef(record);
            }
        }
        if (title) env->DeleteLocalRef(title);
        if (className) env->DeleteLocalRef(className);
        if (env->ExceptionCheck()) {  // the constructor threw: the VM reports it
            env->DeleteLocalRef(array);
            return nullptr;
        }
    }
    return array;
}

// Brings this process's visible top-level windows, and their last active
// pop-ups, to the foreground.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_toFront0(JNIEnv*, jclass) {
    EnumWindows(bringToFront, 0);
}
