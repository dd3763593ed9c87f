// The border window procedure: client area up to the window's top edge,
// native resize borders and system menu kept, hit-testing asked of Java.
#include "wbnative.h"
#include "window_procedure.h"

#include <shellapi.h>
#include <windowsx.h>

#ifdef _WIN64
static_assert(sizeof(APPBARDATA) == 48, "APPBARDATA layout");
static_assert(sizeof(MENUITEMINFOW) == 80, "MENUITEMINFOW layout");
#else
static_assert(sizeof(APPBARDATA) == 36, "APPBARDATA layout");
static_assert(sizeof(MENUITEMINFOW) == 48, "MENUITEMINFOW layout");
#endif
static_assert(sizeof(MONITORINFO) == 40, "MONITORINFO layout");

#ifndef WM_DWMCOLORIZATIONCOLORCHANGED
#define WM_DWMCOLORIZATIONCOLORCHANGED 0x0320
#endif
#ifndef ABM_GETAUTOHIDEBAREX
#define ABM_GETAUTOHIDEBAREX 0x0000000b
#endif
#ifndef SM_CXPADDEDBORDER
#define SM_CXPADDEDBORDER 92
#endif

namespace {

typedef UINT(WINAPI* GetDpiForWindowFn)(HWND);
typedef int(WINAPI* GetSystemMetricsForDpiFn)(int, UINT);
typedef UINT_PTR(WINAPI* SHAppBarMessageFn)(DWORD, PAPPBARDATA);

// 0 not tried, 1 ready, -1 failed for good.
int gInitState = 0;
jmethodID gOnNcHitTest = nullptr;
jmethodID gIsFullscreen = nullptr;
jmethodID gFireStateChangedLaterOnce = nullptr;
GetDpiForWindowFn gGetDpiForWindow = nullptr;
GetSystemMetricsForDpiFn gGetSystemMetricsForDpi = nullptr;
SHAppBarMessageFn gSHAppBarMessage = nullptr;

template <typename F>
F bind(HMODULE module, const char* name) {
    return module ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

// The JNI environment of the window's thread, cached in its record (only
// that thread calls the window procedure); null when the thread is not
// attached to the VM.
JNIEnv* recordEnv(WindowRecord* record) {
    if (!record->env) {
        void* env = nullptr;
        if (record->vm->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK) return nullptr;
        record->env = static_cast<JNIEnv*>(env);
    }
    return record->env;
}

// A call-back that threw must not leave the exception pending for the
// JNI calls that follow on this thread.
bool cleared(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionClear();
    return true;
}

int resizeHandleHeight(HWND window) {
    UINT dpi = gGetDpiForWindow(window);
    return gGetSystemMetricsForDpi(SM_CXPADDEDBORDER, dpi) + gGetSystemMetricsForDpi(SM_CYSIZEFRAME, dpi);
}

// Java's isFullscreen(); false without an environment or when it threw.
bool isFullscreen(WindowRecord* record) {
    JNIEnv* env = recordEnv(record);
    if (!env) return false;
    jboolean full = env->CallBooleanMethod(record->javaObject, gIsFullscreen);
    return !cleared(env) && full;
}

// Leaves one pixel of the client rectangle free at each edge of the window's
// monitor where a taskbar hides itself, so that the mouse can still reach it.
void spareAutoHideEdges(HWND window, RECT& client) {
    APPBARDATA state{};
    state.cbSize = sizeof state;
    if (!(gSHAppBarMessage(ABM_GETSTATE, &state) & ABS_AUTOHIDE)) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    auto hidesAt = [&](UINT edge) {
        APPBARDATA bar{};
        bar.cbSize = sizeof bar;
        bar.uEdge = edge;
        bar.rc = monitor.rcMonitor;
        return gSHAppBarMessage(ABM_GETAUTOHIDEBAREX, &bar) != 0;
    };
    if (hidesAt(ABE_TOP)) client.top += 1;
    if (hidesAt(ABE_BOTTOM)) client.bottom -= 1;
    if (hidesAt(ABE_LEFT)) client.left += 1;
    if (hidesAt(ABE_RIGHT)) client.right -= 1;
}

LRESULT onNcCalcSize(HWND window, WindowRecord* record, WPARAM wParam, LPARAM lParam) {
    WNDPROC previous = record->previousProcedure;
    if (wParam != TRUE) return CallWindowProcW(previous, window, WM_NCCALCSIZE, wParam, lParam);
    RECT& client = reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0];
    LONG top = client.top;
    LRESULT result = CallWindowProcW(previous, window, WM_NCCALCSIZE, wParam, lParam);
    if (result != 0) return result;
    // No native title bar: the client area starts at the window's top edge.
    client.top = top;
    if (!IsZoomed(window) || isFullscreen(record)) return 0;
    // A maximised window reaches past the screen by its resize border: keep
    // Java's title bar on screen.
    client.top += resizeHandleHeight(window);
    spareAutoHideEdges(window, client);
    return 0;
}

LRESULT onNcHitTest(HWND window, WindowRecord* record, LPARAM lParam) {
    LRESULT hit = CallWindowProcW(record->previousProcedure, window, WM_NCHITTEST, 0, lParam);
    if (hit != HTCLIENT) return hit;
    RECT frame{};
    GetWindowRect(window, &frame);
    int x = GET_X_LPARAM(lParam) - frame.left;
    int y = GET_Y_LPARAM(lParam) - frame.top;
    bool onResizeBorder = y < resizeHandleHeight(window) && (GetWindowLongW(window, GWL_STYLE) & WS_THICKFRAME);
    if (JNIEnv* env = recordEnv(record)) {
        jint answer = env->CallIntMethod(record->javaObject, gOnNcHitTest, static_cast<jint>(x), static_cast<jint>(y),
                                         static_cast<jboolean>(onResizeBorder ? JNI_TRUE : JNI_FALSE));
        if (!cleared(env)) return answer;
    }
    return onResizeBorder ? HTTOP : HTCLIENT;
}

void setItemEnabled(HMENU menu, UINT command, bool enabled) {
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE;
    item.fState = enabled ? MFS_ENABLED : MFS_DISABLED;
    SetMenuItemInfoW(menu, command, FALSE, &item);
}

// The system menu at a screen position, its items enabled as the window's
// state allows; the chosen command is posted back as WM_SYSCOMMAND.
void openSystemMenu(HWND window, int x, int y) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (!menu) return;
    LONG style = GetWindowLongW(window, GWL_STYLE);
    bool zoomed = IsZoomed(window) != FALSE;
    setItemEnabled(menu, SC_RESTORE, zoomed);
    setItemEnabled(menu, SC_MOVE, !zoomed);
    setItemEnabled(menu, SC_SIZE, (style & WS_THICKFRAME) && !zoomed);
    setItemEnabled(menu, SC_MINIMIZE, (style & WS_MINIMIZEBOX) != 0);
    setItemEnabled(menu, SC_MAXIMIZE, (style & WS_MAXIMIZEBOX) && !zoomed);
    setItemEnabled(menu, SC_CLOSE, true);
    SetMenuDefaultItem(menu, SC_CLOSE, FALSE);
    UINT command = TrackPopupMenu(menu, TPM_RETURNCMD, x, y, 0, window, nullptr);
    if (command) PostMessageW(window, WM_SYSCOMMAND, command, 0);
}

void fireStateChanged(WindowRecord* record) {
    if (JNIEnv* env = recordEnv(record)) {
        env->CallVoidMethod(record->javaObject, gFireStateChangedLaterOnce);
        cleared(env);
    }
}

}  // namespace

bool initCallbackState(JNIEnv* env, jobject wndProc) {
    if (gInitState == 0) {
        jclass cls = env->GetObjectClass(wndProc);
        if (cls) {
            gOnNcHitTest = env->GetMethodID(cls, "onNcHitTest", "(IIZ)I");
            if (gOnNcHitTest) gIsFullscreen = env->GetMethodID(cls, "isFullscreen", "()Z");
            if (gIsFullscreen) gFireStateChangedLaterOnce = env->GetMethodID(cls, "fireStateChangedLaterOnce", "()V");
            cleared(env);  // NoSuchMethodError: natives never throw
            env->DeleteLocalRef(cls);
        }
        HMODULE user32 = GetModuleHandleW(L"user32.dll");
        gGetDpiForWindow = bind<GetDpiForWindowFn>(user32, "GetDpiForWindow");
        gGetSystemMetricsForDpi = bind<GetSystemMetricsForDpiFn>(user32, "GetSystemMetricsForDpi");
        gSHAppBarMessage = bind<SHAppBarMessageFn>(loadSystemLibrary(L"shell32.dll"), "SHAppBarMessage");
        bool ready = gOnNcHitTest && gIsFullscreen && gFireStateChangedLaterOnce && gGetDpiForWindow &&
                     gGetSystemMetricsForDpi && gSHAppBarMessage;
        gInitState = ready ? 1 : -1;
    }
    return gInitState == 1;
}

void releaseRecord(WindowRecord* record, JNIEnv* callerEnv) {
    JNIEnv* env = callerEnv;
    bool attached = false;
    if (!env) {
        void* current = nullptr;
        if (record->vm->GetEnv(&current, JNI_VERSION_1_2) == JNI_OK) {
            env = static_cast<JNIEnv*>(current);
        } else if (record->vm->AttachCurrentThread(&current, nullptr) == JNI_OK) {
            // Only for the reference: the thread leaves the VM again at once.
            env = static_cast<JNIEnv*>(current);
            attached = true;
        }
    }
    if (env) env->DeleteGlobalRef(record->javaObject);
    if (attached) record->vm->DetachCurrentThread();
    delete record;
}

// Wide throughout: the Java runtime's windows are Unicode windows, and an
// ANSI procedure or call in the chain would turn their text into '?'.
LRESULT CALLBACK borderWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Held for the whole message: an uninstall or WM_DESTROY meanwhile only
    // takes the map's reference.
    HeldRecord record(window, nullptr);
    // Only while another thread uninstalls: the procedure is being restored.
    if (!record) return DefWindowProcW(window, message, wParam, lParam);
    WNDPROC previous = record->previousProcedure;
    switch (message) {
        case WM_DESTROY:
        case WM_NCDESTROY:
            // WM_NCDESTROY too: an install on another thread may have come
            // between the two, and the window goes after the second.
            if (WindowRecord* removed = windowMapUninstall(window)) windowMapRelease(removed, nullptr);
            break;
        case WM_SIZE: {
            int override = record->sizeTypeOverride.load();
            if (override >= 0) wParam = static_cast<WPARAM>(override);
            break;
        }
        case WM_NCCALCSIZE:
            return onNcCalcSize(window, record.get(), wParam, lParam);
        case WM_NCHITTEST:
            return onNcHitTest(window, record.get(), lParam);
        case WM_NCRBUTTONUP:
            if (wParam == HTCAPTION || wParam == HTSYSMENU) openSystemMenu(window, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            break;
        case WM_DWMCOLORIZATIONCOLORCHANGED:
            fireStateChanged(record.get());
            break;
        default:
            break;
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
}
