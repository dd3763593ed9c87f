// WindowsNativeBorder$WndProc: real top-level windows subclassed by the
// natives, Java call-backs through the VM stand-in. Needs an X display.
#include "child_run.h"
#include "screen.h"
#include "wbnative_test.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using qarjvm::JavaCall;
using qarjvm::Jvm;
using qarjvm::jv;
using qarjvm::jvBool;

const char kWndProc[] = "com/wizbuild/runtime/laf/WindowsNativeBorder$WndProc";
const wchar_t kClassName[] = L"WbnativeBorderTestWindow";
const COLORREF kClientColour = RGB(0x20, 0x90, 0xE0);

// What the Java side was asked and what it answers.
struct JavaSide {
    std::vector<std::tuple<int, int, bool>> hits;
    jint hitAnswer = HTCAPTION;
    bool hitThrows = false;
    bool fullscreen = false;
    bool fullscreenThrows = false;
    int stateChanges = 0;
    bool stateChangeThrows = false;
};
JavaSide gJava;

// What the test window's own procedure saw.
struct Seen {
    std::vector<WPARAM> sizeTypes;
    int colorizationChanges = 0;
    std::vector<WPARAM> sysCommands;
    // System menu read while it was open.
    bool menuOpen = false;
    UINT restore = 0, move = 0, size = 0, minimize = 0, maximize = 0, close = 0;
    UINT defaultItem = 0;
    // A character typed into the open menu (0: the menu is ended instead).
    WPARAM menuChar = 0;
    int idles = 0;
    // Answer HTCLIENT for every point, as Windows' own procedure does for a
    // client area that reaches the window's top edge.
    bool clientEverywhere = false;
};
Seen gSeen;

UINT itemState(HMENU menu, UINT command) {
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STATE;
    if (!GetMenuItemInfoW(menu, command, FALSE, &item)) return 0xFFFFFFFF;
    return item.fState & (MFS_DISABLED | MFS_DEFAULT);
}

LRESULT CALLBACK testProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            gSeen.sizeTypes.push_back(wParam);
            break;
        case 0x0320:
            ++gSeen.colorizationChanges;
            break;
        case WM_SYSCOMMAND:
            gSeen.sysCommands.push_back(wParam);
            return 0;  // recorded, never carried out
        case WM_INITMENUPOPUP: {
            HMENU menu = reinterpret_cast<HMENU>(wParam);
            gSeen.menuOpen = true;
            gSeen.restore = itemState(menu, SC_RESTORE);
            gSeen.move = itemState(menu, SC_MOVE);
            gSeen.size = itemState(menu, SC_SIZE);
            gSeen.minimize = itemState(menu, SC_MINIMIZE);
            gSeen.maximize = itemState(menu, SC_MAXIMIZE);
            gSeen.close = itemState(menu, SC_CLOSE);
            gSeen.defaultItem = GetMenuDefaultItem(menu, FALSE, 0);
            break;
        }
        case WM_ENTERIDLE:
            // The menu is up and waiting for input: type into it, or end it.
            if (wParam == MSGF_MENU) {
                if (gSeen.menuChar && gSeen.idles == 0)
                    PostMessageW(reinterpret_cast<HWND>(lParam), WM_CHAR, gSeen.menuChar, 0);
                else
                    EndMenu();
                ++gSeen.idles;
            }
            break;
        case WM_NCHITTEST:
            if (gSeen.clientEverywhere) return HTCLIENT;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void registerTestClass() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = testProcedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = CreateSolidBrush(kClientColour);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    ASSERT_TRUE(registered);
}

HWND createWindow(DWORD style = WS_OVERLAPPEDWINDOW, int x = 100, int y = 100) {
    registerTestClass();
    HWND window = CreateWindowExW(0, kClassName, L"Border test", style, x, y, 400, 300, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(window, nullptr) << GetLastError();
    return window;
}

WNDPROC procedureOf(HWND window) { return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC)); }

jlong handle(HWND window) { return static_cast<jlong>(reinterpret_cast<intptr_t>(window)); }

// The client rectangle in screen coordinates.
RECT clientOnScreen(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

#ifndef ABM_GETAUTOHIDEBAREX
#define ABM_GETAUTOHIDEBAREX 0x0000000b
#endif

// At 96 DPI, which Wine reports.
int resizeHandleHeight() {
    typedef int(WINAPI * MetricsFn)(int, UINT);
    auto metrics = reinterpret_cast<MetricsFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetSystemMetricsForDpi")));
    return metrics(92 /* SM_CXPADDEDBORDER */, 96) + metrics(SM_CYSIZEFRAME, 96);
}

// A window on a thread of its own that is not attached to the VM: its
// procedure runs without a JNI environment.
class UnattachedWindow {
public:
    UnattachedWindow() {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            window_ = createWindow();
            threadId_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == WM_APP) DestroyWindow(window_);
                DispatchMessageW(&msg);
            }
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }
    ~UnattachedWindow() {
        if (thread_.joinable()) destroy();
    }
    HWND window() const { return window_; }
    // Destroys the window on its own thread and ends the thread.
    void destroy() {
        PostThreadMessageW(threadId_, WM_APP, 0, 0);
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }

private:
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

// With no window manager on the display, Wine's X11 driver still hands its
// windows to one ("managed") and leaves their frame to it: nothing would draw
// the native borders, and the X window would start below the title bar. This
// program's windows are Wine's own, frame included; set before the first
// window, since the driver reads its options once per process.
const bool gUnmanagedWindows = [] {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const wchar_t* name = wcsrchr(exe, L'\\') ? wcsrchr(exe, L'\\') + 1 : exe;
    std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + name + L"\\X11 Driver";
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr)) return false;
    bool ok = RegSetValueExW(k, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), sizeof L"N") == 0;
    RegCloseKey(k);
    return ok;
}();

// One VM for the whole program: the library binds the call-back methods once
// per process, as it does in the real runtime.
Jvm* gVm = nullptr;

class BorderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gVm = new Jvm();
        gVm->defineClass(kWndProc)
            .method("onNcHitTest", "(IIZ)I",
                    [](JavaCall& c) {
                        gJava.hits.emplace_back(c.args[0].i, c.args[1].i, c.args[2].z != JNI_FALSE);
                        if (gJava.hitThrows) c.vm.throwNew("java/lang/RuntimeException", "hit test");
                        return jv(gJava.hitAnswer);
                    })
            .method("isFullscreen", "()Z",
                    [](JavaCall& c) {
                        if (gJava.fullscreenThrows) c.vm.throwNew("java/lang/RuntimeException", "full screen");
                        return jvBool(gJava.fullscreen);
                    })
            .method("fireStateChangedLaterOnce", "()V", [](JavaCall& c) {
                ++gJava.stateChanges;
                if (gJava.stateChangeThrows) c.vm.throwNew("java/lang/RuntimeException", "state");
                return jv(0);
            });
    }
    static void TearDownTestSuite() {
        delete gVm;
        gVm = nullptr;
    }
    void SetUp() override {
        gJava = JavaSide();
        gSeen = Seen();
        wndProc_ = gVm->newObject(kWndProc);
        globalsBefore_ = gVm->liveGlobalRefs();
    }
    void TearDown() override {
        for (HWND w : windows_) DestroyWindow(w);
        if (!IsSkipped()) {
            EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_) << "every install was undone";
        }
    }
    HWND window(DWORD style = WS_OVERLAPPEDWINDOW) {
        HWND w = createWindow(style);
        windows_.push_back(w);
        return w;
    }
    jlong install(HWND w) {
        return gVm->call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl), wndProc_,
                         handle(w));
    }
    void uninstall(HWND w) {
        gVm->call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl), wndProc_,
                  handle(w));
    }
    void updateFrame(HWND w, jint state) {
        gVm->call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_updateFrame), wndProc_,
                  handle(w), state);
    }
    void showWindow(HWND w, jint command) {
        gVm->call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_showWindow), wndProc_,
                  handle(w), command);
    }
    LRESULT hitTest(HWND w, int dx, int dy) {
        RECT frame{};
        GetWindowRect(w, &frame);
        return SendMessageW(w, WM_NCHITTEST, 0, MAKELPARAM(frame.left + dx, frame.top + dy));
    }

    jobject wndProc_ = nullptr;
    size_t globalsBefore_ = 0;
    std::vector<HWND> windows_;
};

TEST_F(BorderTest, InstallsOncePerWindowAndUninstallRestores) {
    HWND w = window();
    WNDPROC original = procedureOf(w);
    EXPECT_EQ(install(w), handle(w));
    EXPECT_NE(procedureOf(w), original);
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + 1);
    EXPECT_EQ(install(w), 0) << "already subclassed";
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + 1) << "one record";

    uninstall(w);
    EXPECT_EQ(procedureOf(w), original);
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_);
    uninstall(w);  // no record any more: nothing happens
    EXPECT_EQ(install(w), handle(w)) << "installable again";
    uninstall(w);

    EXPECT_EQ(install(nullptr), 0);
    HWND gone = createWindow();
    DestroyWindow(gone);
    EXPECT_EQ(install(gone), 0) << "no such window";
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_);
}

TEST_F(BorderTest, UpdateFrameReportsTheJavaStateInTheSynchronousSize) {
    HWND w = window();
    ShowWindow(w, SW_SHOWNORMAL);
    ASSERT_EQ(install(w), handle(w));
    struct Case {
        jint state;
        WPARAM reported;
    };
    const Case cases[] = {{1, SIZE_MINIMIZED}, {7, SIZE_MINIMIZED}, {6, SIZE_MAXIMIZED},
                          {2, SIZE_RESTORED},  {4, SIZE_RESTORED},  {0, SIZE_RESTORED}};
    // Wine sends WM_SIZE for a frame change only when the client size
    // changes: each step toggles the resizing frame first.
    auto toggleFrame = [w] { SetWindowLongW(w, GWL_STYLE, GetWindowLongW(w, GWL_STYLE) ^ WS_THICKFRAME); };
    for (const Case& c : cases) {
        gSeen.sizeTypes.clear();
        toggleFrame();
        updateFrame(w, c.state);
        EXPECT_EQ(gSeen.sizeTypes, std::vector<WPARAM>{c.reported}) << "state " << c.state;
        EXPECT_FALSE(IsIconic(w));
        // Afterwards the real type again.
        gSeen.sizeTypes.clear();
        toggleFrame();
        SetWindowPos(w, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
        EXPECT_EQ(gSeen.sizeTypes, std::vector<WPARAM>{SIZE_RESTORED}) << "state " << c.state;
    }
    uninstall(w);
}

TEST_F(BorderTest, ClientAreaCoversTheTitleBarAndKeepsTheOtherBorders) {
    HWND plain = window(), bordered = window();
    ASSERT_EQ(install(bordered), handle(bordered));
    updateFrame(bordered, 0);
    for (HWND w : {plain, bordered}) {
        RECT frame{}, client = clientOnScreen(w);
        GetWindowRect(w, &frame);
        if (w == bordered) {
            EXPECT_EQ(client.top, frame.top) << "no native title bar";
        } else {
            EXPECT_GT(client.top - frame.top, GetSystemMetrics(SM_CYCAPTION) - 1);
        }
        EXPECT_GT(client.left, frame.left) << "left border";
        EXPECT_LT(client.right, frame.right) << "right border";
        EXPECT_LT(client.bottom, frame.bottom) << "bottom border";
    }
    RECT a = clientOnScreen(plain), b = clientOnScreen(bordered);
    EXPECT_EQ(b.left - a.left, 0);
    EXPECT_EQ(b.bottom - a.bottom, 0);
    uninstall(bordered);
    EXPECT_EQ(clientOnScreen(bordered).top, clientOnScreen(plain).top) << "the title bar is back";
}

TEST_F(BorderTest, MaximisedClientTopLeavesTheResizeHandleExceptInFullScreen) {
    HWND plain = window(), bordered = window();
    ASSERT_EQ(install(bordered), handle(bordered));
    showWindow(plain, SW_MAXIMIZE);
    showWindow(bordered, SW_MAXIMIZE);
    ASSERT_TRUE(IsZoomed(bordered));
    RECT frame{};
    GetWindowRect(bordered, &frame);
    RECT client = clientOnScreen(bordered), plainClient = clientOnScreen(plain);
    EXPECT_EQ(client.top - frame.top, resizeHandleHeight());
    EXPECT_EQ(client.left, plainClient.left);
    EXPECT_EQ(client.right, plainClient.right);

    // Wine's taskbar claims to hide itself but names no auto-hiding bar at
    // any edge: the bottom stays where the native frame puts it.
    APPBARDATA bar{};
    bar.cbSize = sizeof bar;
    bool autoHide = (SHAppBarMessage(ABM_GETSTATE, &bar) & ABS_AUTOHIDE) != 0;
    bar.uEdge = ABE_BOTTOM;
    bool bottomBar = SHAppBarMessage(ABM_GETAUTOHIDEBAREX, &bar) != 0;
    std::printf("taskbar: auto-hide %d, auto-hiding bar at the bottom %d\n", autoHide, bottomBar);
    EXPECT_EQ(client.bottom, plainClient.bottom - (autoHide && bottomBar ? 1 : 0));

    gJava.fullscreen = true;
    updateFrame(bordered, 6);
    EXPECT_EQ(clientOnScreen(bordered).top, frame.top) << "full screen: no handle kept";
    gJava.fullscreen = false;
    gJava.fullscreenThrows = true;
    updateFrame(bordered, 6);
    EXPECT_EQ(clientOnScreen(bordered).top - frame.top, resizeHandleHeight()) << "a failing isFullscreen counts as false";
    EXPECT_EQ(gVm->takeException(), "") << "nothing left pending";
    uninstall(bordered);
}

TEST_F(BorderTest, HitTestAsksJavaWithWindowCoordinates) {
    HWND w = window();
    ASSERT_EQ(install(w), handle(w));
    int h = resizeHandleHeight();
    // Wine's own procedure answers HTTOP for the top rows of a resizing
    // frame even when the client area covers them; Windows' answers HTCLIENT.
    EXPECT_EQ(hitTest(w, 150, 1), HTTOP);
    EXPECT_TRUE(gJava.hits.empty());
    gSeen.clientEverywhere = true;
    gJava.hitAnswer = HTCAPTION;
    EXPECT_EQ(hitTest(w, 150, 2), HTCAPTION);
    EXPECT_EQ(hitTest(w, 150, h + 20), HTCAPTION);
    EXPECT_EQ(gJava.hits, (std::vector<std::tuple<int, int, bool>>{{150, 2, true}, {150, h + 20, false}}));

    // The native borders answer for themselves.
    gSeen.clientEverywhere = false;
    gJava.hits.clear();
    EXPECT_EQ(hitTest(w, 1, 150), HTLEFT);
    EXPECT_EQ(hitTest(w, 200, 299), HTBOTTOM);
    EXPECT_TRUE(gJava.hits.empty());

    // A call-back that throws: the exception is cleared, the fall-back answers.
    gSeen.clientEverywhere = true;
    gJava.hitThrows = true;
    EXPECT_EQ(hitTest(w, 150, 2), HTTOP);
    EXPECT_EQ(hitTest(w, 150, h + 20), HTCLIENT);
    EXPECT_EQ(gVm->takeException(), "") << "nothing left pending";
    uninstall(w);

    // Without a resizing frame the top is no resize border.
    gJava = JavaSide();
    HWND fixed = window(WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU);
    ASSERT_EQ(install(fixed), handle(fixed));
    updateFrame(fixed, 0);
    hitTest(fixed, 150, 1);
    ASSERT_EQ(gJava.hits.size(), 1u);
    EXPECT_FALSE(std::get<2>(gJava.hits[0]));
    uninstall(fixed);
}

TEST_F(BorderTest, WithoutAnEnvironmentTheFallbacksAnswer) {
    UnattachedWindow other;
    HWND w = other.window();
    ASSERT_EQ(install(w), handle(w));
    int h = resizeHandleHeight();
    gSeen.clientEverywhere = true;
    EXPECT_EQ(hitTest(w, 150, 2), HTTOP);
    EXPECT_EQ(hitTest(w, 150, h + 20), HTCLIENT);
    SendMessageW(w, 0x0320, 0, 0);
    ShowWindow(w, SW_MAXIMIZE);
    RECT frame{};
    GetWindowRect(w, &frame);
    EXPECT_EQ(clientOnScreen(w).top - frame.top, h) << "isFullscreen counts as false";
    EXPECT_TRUE(gJava.hits.empty());
    EXPECT_EQ(gJava.stateChanges, 0);
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + 1);
    // WM_DESTROY on that thread still releases the reference.
    other.destroy();
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_);
}

TEST_F(BorderTest, ColorizationChangeTellsJavaAndPassesOn) {
    HWND w = window();
    ASSERT_EQ(install(w), handle(w));
    SendMessageW(w, 0x0320, 0x11223344, 1);
    EXPECT_EQ(gJava.stateChanges, 1);
    EXPECT_EQ(gSeen.colorizationChanges, 1);
    gJava.stateChangeThrows = true;
    SendMessageW(w, 0x0320, 0x11223344, 1);
    EXPECT_EQ(gJava.stateChanges, 2);
    EXPECT_EQ(gSeen.colorizationChanges, 2);
    EXPECT_EQ(gVm->takeException(), "") << "nothing left pending";
    uninstall(w);
}

TEST_F(BorderTest, DestroyForgetsTheWindow) {
    HWND w = createWindow();
    ASSERT_EQ(install(w), handle(w));
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + 1);
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_);
    uninstall(w);  // too late: nothing to undo
}

TEST_F(BorderTest, ManyWindowsComeAndGoInMixedOrder) {
    const int kCount = 300;
    std::vector<HWND> all;
    for (int i = 0; i < kCount; ++i) all.push_back(createWindow(WS_OVERLAPPEDWINDOW, 10 + i % 50, 10 + i % 40));
    // Installed in an order unrelated to the handle values.
    std::vector<HWND> order = all;
    std::reverse(order.begin() + kCount / 3, order.end());
    std::rotate(order.begin(), order.begin() + 77, order.end());
    for (HWND w : order) ASSERT_EQ(install(w), handle(w));
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + kCount);

    // Every third destroyed, every third uninstalled, interleaved.
    std::vector<HWND> kept, uninstalled;
    for (int i = 0; i < kCount; ++i) {
        HWND w = order[i];
        if (i % 3 == 0) {
            DestroyWindow(w);
        } else if (i % 3 == 1) {
            uninstall(w);
            uninstalled.push_back(w);
        } else {
            kept.push_back(w);
        }
    }
    EXPECT_EQ(gVm->liveGlobalRefs(), globalsBefore_ + kept.size());
    for (HWND w : kept) {
        EXPECT_EQ(install(w), 0) << "still subclassed";
        gJava.hits.clear();
        hitTest(w, 150, 100);
        EXPECT_EQ(gJava.hits.size(), 1u) << "its record is found";
    }
    for (HWND w : uninstalled) {
        gJava.hits.clear();
        hitTest(w, 150, 100);
        EXPECT_TRUE(gJava.hits.empty()) << "no record";
    }
    // The others come back, and everything leaves again.
    for (HWND w : uninstalled) EXPECT_EQ(install(w), handle(w));
    for (size_t i = 0; i < uninstalled.size(); ++i) {
        uninstall(uninstalled[i]);
        if (i < kept.size()) DestroyWindow(kept[i]);
    }
    for (size_t i = uninstalled.size(); i < kept.size(); ++i) DestroyWindow(kept[i]);
    for (HWND w : uninstalled) DestroyWindow(w);
}

TEST_F(BorderTest, RightClickOnTheCaptionOpensTheSystemMenu) {
    struct Case {
        const char* what;
        DWORD style;
        bool maximised;
        UINT restore, move, size, minimize, maximize;
    };
    const UINT on = 0, off = MFS_DISABLED;
    const Case cases[] = {
        {"normal", WS_OVERLAPPEDWINDOW, false, off, on, on, on, on},
        {"maximised", WS_OVERLAPPEDWINDOW, true, on, off, off, on, off},
        {"fixed", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, false, off, on, off, off, off},
    };
    for (const Case& c : cases) {
        HWND w = window(c.style);
        ShowWindow(w, c.maximised ? SW_MAXIMIZE : SW_SHOWNORMAL);
        ASSERT_EQ(install(w), handle(w));
        gSeen = Seen();
        RECT frame{};
        GetWindowRect(w, &frame);
        SendMessageW(w, WM_NCRBUTTONUP, HTCAPTION, MAKELPARAM(frame.left + 40, frame.top + 10));
        ASSERT_TRUE(gSeen.menuOpen) << c.what;
        EXPECT_EQ(gSeen.restore, c.restore) << c.what;
        EXPECT_EQ(gSeen.move, c.move) << c.what;
        EXPECT_EQ(gSeen.size, c.size) << c.what;
        EXPECT_EQ(gSeen.minimize, c.minimize) << c.what;
        EXPECT_EQ(gSeen.maximize, c.maximize) << c.what;
        EXPECT_EQ(gSeen.close, static_cast<UINT>(MFS_DEFAULT)) << c.what << ": enabled and the default";
        EXPECT_EQ(gSeen.defaultItem, static_cast<UINT>(SC_CLOSE)) << c.what;
        EXPECT_TRUE(gSeen.sysCommands.empty()) << c.what << ": dismissed, nothing chosen";
        uninstall(w);
    }
}

TEST_F(BorderTest, SystemMenuChoiceIsPostedAsSysCommand) {
    HWND w = window();
    ShowWindow(w, SW_SHOWNORMAL);
    ASSERT_EQ(install(w), handle(w));
    gSeen.menuChar = 'c';  // "&Close"
    RECT frame{};
    GetWindowRect(w, &frame);
    SendMessageW(w, WM_NCRBUTTONUP, HTSYSMENU, MAKELPARAM(frame.left + 10, frame.top + 10));
    MSG msg;
    while (PeekMessageW(&msg, w, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(gSeen.sysCommands, std::vector<WPARAM>{SC_CLOSE});

    // Other clicks open nothing.
    gSeen = Seen();
    SendMessageW(w, WM_NCRBUTTONUP, HTCLIENT, MAKELPARAM(frame.left + 10, frame.top + 10));
    EXPECT_FALSE(gSeen.menuOpen);
    uninstall(w);
}

// A stand-in for the taskbar's app-bar service of Wine's explorer: Wine's
// SHAppBarMessage finds the first window of the class "WineAppBar" and sends
// it the request as WM_COPYDATA, with a file mapping for the answer. Wine's
// own service claims an auto-hiding taskbar but reports no bar at any edge
// (ABM_GETAUTOHIDEBAREX is unknown to it); this one answers as configured.
class AppBarService {
public:
    struct Data {  // Wine's platform-independent APPBARDATA
        ULONG hWnd;
        UINT uCallbackMessage;
        UINT uEdge;
        RECT rc;
        ULONGLONG lParam;
    };
    struct Command {
        ULONG returnMap;
        DWORD returnProcess;
        Data abd;
    };
    struct Response {
        ULONGLONG result;
        Data abd;
    };

    AppBarService(bool autoHide, std::vector<UINT> edges) : autoHide_(autoHide), edges_(std::move(edges)) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"WineAppBar";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, L"WineAppBar", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~AppBarService() { DestroyWindow(window_); }
    // Whether SHAppBarMessage reaches this service rather than Wine's.
    bool reached() const { return requests_ > 0; }
    std::vector<std::pair<UINT, RECT>> edgeQueries;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<AppBarService*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message != WM_COPYDATA || !self) return DefWindowProcW(window, message, wParam, lParam);
        auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        EXPECT_EQ(data->cbData, sizeof(Command)) << "Wine's request layout";
        if (data->cbData != sizeof(Command)) return FALSE;
        Command command = *static_cast<const Command*>(data->lpData);
        // Another program on the display asking: not ours to answer.
        if (command.returnProcess != GetCurrentProcessId()) return FALSE;
        ++self->requests_;
        Response response{};
        response.abd = command.abd;
        if (data->dwData == ABM_GETSTATE) {
            response.result = self->autoHide_ ? ABS_AUTOHIDE : 0;
        } else if (data->dwData == ABM_GETAUTOHIDEBAREX) {
            self->edgeQueries.emplace_back(command.abd.uEdge, command.abd.rc);
            bool there = std::count(self->edges_.begin(), self->edges_.end(), command.abd.uEdge) > 0;
            response.result = there ? reinterpret_cast<ULONG_PTR>(window) : 0;
        }
        // The mapping is a handle of the asking process: this one.
        HANDLE map = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(command.returnMap));
        if (void* view = MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof response)) {
            std::memcpy(view, &response, sizeof response);
            UnmapViewOfFile(view);
        }
        return TRUE;
    }

    bool autoHide_;
    std::vector<UINT> edges_;
    int requests_ = 0;
    HWND window_ = nullptr;
};

TEST_F(BorderTest, AutoHidingTaskbarsKeepAPixelFreeAtTheirEdges) {
    HWND plain = window(), bordered = window();
    ASSERT_EQ(install(bordered), handle(bordered));
    showWindow(plain, SW_MAXIMIZE);
    showWindow(bordered, SW_MAXIMIZE);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(bordered, MONITOR_DEFAULTTONEAREST), &monitor));
    RECT frame{};
    GetWindowRect(bordered, &frame);
    const RECT full = clientOnScreen(plain);
    const int h = resizeHandleHeight();
    struct Case {
        bool autoHide;
        std::vector<UINT> edges;
        RECT expected;  // relative to the plain window's client and the handle
        size_t queries;
    };
    const Case cases[] = {
        {true, {ABE_BOTTOM}, {0, 0, 0, -1}, 4},
        {true, {ABE_TOP, ABE_BOTTOM, ABE_LEFT, ABE_RIGHT}, {1, 1, -1, -1}, 4},
        {true, {ABE_LEFT}, {1, 0, 0, 0}, 4},
        {true, {}, {0, 0, 0, 0}, 4},
        {false, {ABE_BOTTOM}, {0, 0, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        AppBarService service(c.autoHide, c.edges);
        updateFrame(bordered, 6);
        if (!service.reached()) GTEST_SKIP() << "SHAppBarMessage does not reach the stand-in service";
        RECT client = clientOnScreen(bordered);
        EXPECT_EQ(client.left, full.left + c.expected.left);
        EXPECT_EQ(client.top, frame.top + h + c.expected.top);
        EXPECT_EQ(client.right, full.right + c.expected.right);
        EXPECT_EQ(client.bottom, full.bottom + c.expected.bottom);
        ASSERT_EQ(service.edgeQueries.size(), c.queries);
        const UINT order[] = {ABE_TOP, ABE_BOTTOM, ABE_LEFT, ABE_RIGHT};
        for (size_t i = 0; i < c.queries; ++i) {
            EXPECT_EQ(service.edgeQueries[i].first, order[i]);
            EXPECT_TRUE(EqualRect(&service.edgeQueries[i].second, &monitor.rcMonitor)) << "the monitor's rectangle";
        }
    }
    uninstall(bordered);
}

// The call-back methods are bound once per process, so this runs in a new
// copy of the test program whose WndProc class lacks isFullscreen.
TEST(BorderInit, AMissingCallbackMakesInstallFailForGood) {
    if (qartest::childRole().empty()) {
        EXPECT_TRUE(qartest::childPassed(qartest::runChild(L"border-init")));
        return;
    }
    Jvm vm;
    vm.defineClass(kWndProc)
        .method("onNcHitTest", "(IIZ)I", [](JavaCall&) { return jv(HTCLIENT); })
        .method("fireStateChangedLaterOnce", "()V", [](JavaCall&) { return jv(0); });
    jobject wndProc = vm.newObject(kWndProc);
    HWND w = createWindow();
    auto install = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl);
    EXPECT_EQ(vm.call(install, wndProc, handle(w)), 0) << "and no NoSuchMethodError left pending";
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
    vm.defineClass(kWndProc).method("isFullscreen", "()Z", [](JavaCall&) { return jvBool(false); });
    EXPECT_EQ(vm.call(install, wndProc, handle(w)), 0) << "not tried again";
    DestroyWindow(w);
}

// The screen's pixels inside a rectangle, top row first, as 0x00RRGGBB.
struct Screenshot {
    RECT area{};
    std::vector<DWORD> pixels;

    static Screenshot take(const RECT& area) {
        Screenshot shot;
        shot.area = area;
        int width = area.right - area.left, height = area.bottom - area.top;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        EXPECT_TRUE(BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY));
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(bits);
        shot.pixels.assign(p, p + static_cast<size_t>(width) * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
        return shot;
    }
    // The colour at a screen position, as a COLORREF.
    COLORREF at(int x, int y) const {
        DWORD p = pixels[static_cast<size_t>(y - area.top) * (area.right - area.left) + (x - area.left)];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
    // Writes a 32-bit .bmp file.
    bool save(const std::wstring& path) const {
        int width = area.right - area.left, height = area.bottom - area.top;
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = -height;
        header.biPlanes = 1;
        header.biBitCount = 32;
        header.biCompression = BI_RGB;
        DWORD bytes = static_cast<DWORD>(pixels.size() * sizeof(DWORD));
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;  // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + bytes;
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        bool ok = WriteFile(out, &file, sizeof file, &written, nullptr) &&
                  WriteFile(out, &header, sizeof header, &written, nullptr) &&
                  WriteFile(out, pixels.data(), bytes, &written, nullptr) && written == bytes;
        CloseHandle(out);
        return ok;
    }
};

TEST_F(BorderTest, ScreenshotShowsTheClientOverTheTitleBarWithinTheNativeBorders) {
    HWND w = window();
    ASSERT_EQ(install(w), handle(w));
    updateFrame(w, 0);
    // Above the windows of tests running beside this one.
    SetWindowPos(w, HWND_TOPMOST, 760, 600, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    RedrawWindow(w, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    RECT frame{};
    GetWindowRect(w, &frame);
    RECT area = frame;
    InflateRect(&area, 20, 20);
    QAR_SKIP_UNLESS_ON_SCREEN(area);
    int midX = (frame.left + frame.right) / 2, midY = (frame.top + frame.bottom) / 2;
    // The X server shows what Wine drew a moment later: look until the
    // client colour is at the top edge (or give up and report what is there).
    Screenshot shot;
    for (int i = 0; i < 100; ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        shot = Screenshot::take(area);
        if (shot.at(midX, frame.top) == kClientColour && shot.at(frame.left, midY) != shot.at(frame.left - 10, midY))
            break;
        Sleep(20);
    }
    CreateDirectoryW(BORDER_ARTEFACTS_DIR, nullptr);
    std::wstring path = std::wstring(BORDER_ARTEFACTS_DIR) + L"/bordered-window.bmp";
    EXPECT_TRUE(shot.save(path));
    std::printf("screenshot: %ls\n", path.c_str() + 2);  // without the drive: the path on the host

    EXPECT_EQ(shot.at(midX, frame.top), kClientColour) << "the client colour reaches the top edge";
    EXPECT_EQ(shot.at(frame.left + 40, frame.top + 1), kClientColour);
    EXPECT_EQ(shot.at(midX, midY), kClientColour);
    EXPECT_NE(shot.at(frame.left, midY), kClientColour) << "left border";
    EXPECT_NE(shot.at(frame.right - 1, midY), kClientColour) << "right border";
    EXPECT_NE(shot.at(midX, frame.bottom - 1), kClientColour) << "bottom border";
    EXPECT_NE(shot.at(frame.left, midY), shot.at(frame.left - 10, midY)) << "a frame is drawn, not the desktop";

    // The same window without the border natives, for comparison: Wine's
    // title bar at the top.
    uninstall(w);
    RedrawWindow(w, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    for (int i = 0; i < 100; ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        shot = Screenshot::take(area);
        if (shot.at(midX, frame.top + 10) != kClientColour) break;
        Sleep(20);
    }
    std::wstring plainPath = std::wstring(BORDER_ARTEFACTS_DIR) + L"/plain-window.bmp";
    EXPECT_TRUE(shot.save(plainPath));
    std::printf("screenshot: %ls\n", plainPath.c_str() + 2);
    EXPECT_NE(shot.at(midX, frame.top + 10), kClientColour) << "the native title bar";
    EXPECT_EQ(shot.at(midX, midY), kClientColour);
}

}  // namespace
