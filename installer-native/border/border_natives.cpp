// The natives of WindowsNativeBorder and WindowsNativeBorder$WndProc.
#include "wbnative.h"
#include "window_procedure.h"

namespace {

// Recomputes the frame: WM_NCCALCSIZE and WM_SIZE are sent before it returns.
void refreshFrame(HWND window) {
    SetWindowPos(window, window, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

}  // namespace

/// Subclasses the window; returns its handle, or 0 when it was not installed
/// (null handle, already subclassed, call-backs or system functions missing).
extern "C" jlong JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl(
    JNIEnv* env, jobject self, jlong hwnd) {
    if (!initCallbackState(env, self)) return 0;
    HWND window = handleFromJava<HWND>(hwnd);
    if (!window) return 0;
    if (HeldRecord existing{window, env}) return 0;  // the common case, without a reference made and dropped
    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK) return 0;
    jobject javaObject = env->NewGlobalRef(self);
    if (!javaObject) {
        env->ExceptionClear();
        return 0;
    }
    auto* record = new WindowRecord{vm, nullptr, javaObject, window, nullptr, {-1}, 0};
    // The check and the insert are one step: of two installs racing for a
    // window, one subclasses it and the other changes nothing.
    if (!windowMapInstall(record, &borderWindowProcedure, env)) {
        releaseRecord(record, env);
        return 0;
    }
    return hwnd;
}

/// Restores the window's procedure and forgets the window.
extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl(
    JNIEnv* env, jobject, jlong hwnd) {
    HWND window = handleFromJava<HWND>(hwnd);
    if (!window) return;
    // The window's WM_DESTROY may take it first: then there is nothing to do.
    WindowRecord* record = windowMapUninstall(window);
    if (!record) return;
    refreshFrame(window);
    windowMapRelease(record, env);
}

/// Recomputes the frame; the Java frame state's iconified bit (1) or both
/// maximised bits (6) decide the WM_SIZE type reported meanwhile.
extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_updateFrame(
    JNIEnv* env, jobject, jlong hwnd, jint state) {
    HWND window = handleFromJava<HWND>(hwnd);
    HeldRecord record(window, env);
    if (record) record->sizeTypeOverride = (state & 1) ? SIZE_MINIMIZED : (state & 6) == 6 ? SIZE_MAXIMIZED : -1;
    refreshFrame(window);
    if (record) record->sizeTypeOverride = -1;
}

extern "C" void JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_showWindow(
    JNIEnv*, jobject, jlong hwnd, jint command) {
    ShowWindow(handleFromJava<HWND>(hwnd), command);
}

/// A DWORD value under HKEY_CURRENT_USER, or the fallback. A null key means
/// HKEY_CURRENT_USER itself, a null value name the key's default value.
extern "C" jint JNICALL Java_com_wizbuild_runtime_laf_WindowsNativeBorder_registryGetIntValue(
    JNIEnv* env, jclass, jstring key, jstring valueName, jint fallback) {
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
