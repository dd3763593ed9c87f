// The natives of WindowsNativeBorder and WindowsNativeBorder$WndProc.
#include "wbnative.h"
#include "window_procedure.h"

namespace {

HWND toWindow(jlong hwnd) { return reinterpret_cast<HWND>(static_cast<intptr_t>(hwnd)); }

// Recomputes the frame: WM_NCCALCSIZE and WM_SIZE are sent before it returns.
void refreshFrame(HWND window) {
    SetWindowPos(window, window, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

}  // namespace

/// Subclasses the window; returns its handle, or 0 when it was not installed
/// (null handle, already subclassed, call-backs or system functions missing).
extern "C" jlong JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl(JNIEnv* env,
                                                                                                  jobject self,
                                                                                                  jlong hwnd) {
    if (!initCallbackState(env, self)) return 0;
    HWND window = toWindow(hwnd);
    if (!window || windowMapFind(window)) return 0;
    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK) return 0;
    jobject javaObject = env->NewGlobalRef(self);
    if (!javaObject) {
        env->ExceptionClear();
        return 0;
    }
    // The current procedure goes into the record first: the window's own
    // thread may dispatch to the new one before SetWindowLongPtrA returns.
    auto* record = new WindowRecord{vm, nullptr, javaObject, window,
                                    reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)), -1};
    if (WindowRecord* raced = windowMapInsert(record)) {
        // Another thread installed the same window meanwhile: keep its record.
        windowMapInsert(raced);
        releaseRecord(record, env);
        return 0;
    }
    SetLastError(0);
    LONG_PTR previous =
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&borderWindowProcedure));
    if (!previous && GetLastError() != 0) {
        // No such window (or not ours to subclass): nothing was installed.
        if (WindowRecord* removed = windowMapRemove(window)) releaseRecord(removed, env);
        return 0;
    }
    record->previousProcedure = reinterpret_cast<WNDPROC>(previous);
    return hwnd;
}

/// Restores the window's procedure and forgets the window.
extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl(JNIEnv* env,
                                                                                                   jobject,
                                                                                                   jlong hwnd) {
    HWND window = toWindow(hwnd);
    if (!window) return;
    WindowRecord* record = windowMapFind(window);
    if (!record) return;
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(record->previousProcedure));
    // The window's WM_DESTROY may have taken the record meanwhile.
    record = windowMapRemove(window);
    refreshFrame(window);
    if (record) releaseRecord(record, env);
}

/// Recomputes the frame; the Java frame state's iconified bit (1) or both
/// maximised bits (6) decide the WM_SIZE type reported meanwhile.
extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_updateFrame(JNIEnv*, jobject,
                                                                                                 jlong hwnd,
                                                                                                 jint state) {
    HWND window = toWindow(hwnd);
    if (WindowRecord* record = windowMapFind(window)) {
        record->sizeTypeOverride = (state & 1) ? SIZE_MINIMIZED : (state & 6) == 6 ? SIZE_MAXIMIZED : -1;
    }
    refreshFrame(window);
    if (WindowRecord* record = windowMapFind(window)) record->sizeTypeOverride = -1;
}

extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_showWindow(JNIEnv*, jobject,
                                                                                                jlong hwnd,
                                                                                                jint command) {
    ShowWindow(toWindow(hwnd), command);
}

/// A DWORD value under HKEY_CURRENT_USER, or the fallback. A null key means
/// HKEY_CURRENT_USER itself, a null value name the key's default value.
extern "C" jint JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_registryGetIntValue(JNIEnv* env, jclass,
                                                                                            jstring key,
                                                                                            jstring valueName,
                                                                                            jint fallback) {
    // UTF-16 throughout: a modified-UTF-8 name handed to an ANSI function
    // would miss every key or value with a non-ASCII name.
    std::unique_ptr<wchar_t[]> keyText, nameText;
    if (!jstringToWide(env, key, keyText) || !jstringToWide(env, valueName, nameText)) return fallback;
    DWORD value = 0;
    DWORD size = sizeof value;
    LSTATUS status =
        RegGetValueW(HKEY_CURRENT_USER, keyText.get(), nameText.get(), RRF_RT_DWORD, nullptr, &value, &size);
    return status == ERROR_SUCCESS ? static_cast<jint>(value) : fallback;
}
