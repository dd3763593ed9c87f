// WinTaskBar: progress, progress state and overlay icon on the taskbar
// button of a window, through one process-wide taskbar object.
#include "wbnative.h"

#include <objbase.h>
#include <shobjidl.h>

#include <cstdint>

namespace {

// Null until initTaskBar0 made it; then kept until the process ends.
ITaskbarList3* gTaskbar = nullptr;

}  // namespace

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_initTaskBar0(JNIEnv*, jclass) {
    if (gTaskbar) return;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    ITaskbarList3* taskbar = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&taskbar))) ||
        !taskbar) {
        // Nothing lives in the apartment: leave it again.
        CoUninitialize();
        return;
    }
    // A concurrent first call may have been quicker: keep one object.
    if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&gTaskbar), taskbar, nullptr))
        taskbar->Release();
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setOverlayIcon0(
    JNIEnv*, jclass, jlong window, jlong icon) {
    if (gTaskbar)
        gTaskbar->SetOverlayIcon(handleFromJava<HWND>(window), handleFromJava<HICON>(icon), nullptr);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setProgress0(
    JNIEnv*, jclass, jlong window, jlong completed, jlong total) {
    if (gTaskbar)
        gTaskbar->SetProgressValue(handleFromJava<HWND>(window), static_cast<ULONGLONG>(completed), static_cast<ULONGLONG>(total));
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setState0(
    JNIEnv*, jclass, jlong window, jint state) {
    if (gTaskbar) gTaskbar->SetProgressState(handleFromJava<HWND>(window), static_cast<TBPFLAG>(state));
}
