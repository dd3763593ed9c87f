// WindowsNativeBorder$WndProc on Unicode windows and under threads: text
// through a subclassed window, and install, update, uninstall and destroy of
// the same windows racing each other. Needs an X display.
#include "wbnative_test.h"

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using qarjvm::JavaCall;
using qarjvm::Jvm;
using qarjvm::jv;
using qarjvm::jvBool;

const char kWndProc[] = "com/wizbuild/runtime/laf/WindowsNativeBorder$WndProc";
const wchar_t kClassName[] = L"WbnativeBorderThreadsTestWindow";

// The last WM_CHAR the window's own procedure received, per thread.
thread_local WPARAM tLastChar = 0;

LRESULT CALLBACK ownProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CHAR) tLastChar = wParam;
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow(const wchar_t* title) {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = ownProcedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    HWND window = CreateWindowExW(0, kClassName, title, WS_OVERLAPPEDWINDOW, 100, 100, 300, 200, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(window, nullptr) << GetLastError();
    return window;
}

jlong handle(HWND window) { return static_cast<jlong>(reinterpret_cast<intptr_t>(window)); }

std::wstring titleOf(HWND window) {
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    return text;
}

void defineWndProc(Jvm& vm) {
    vm.defineClass(kWndProc)
        .method("onNcHitTest", "(IIZ)I", [](JavaCall&) { return jv(HTCLIENT); })
        .method("isFullscreen", "()Z", [](JavaCall&) { return jvBool(false); })
        .method("fireStateChangedLaterOnce", "()V", [](JavaCall&) { return jv(0); });
}

// A Java runtime's window is a Unicode window and stays one while
// subclassed: non-Latin titles and characters pass unchanged, before, during
// and after.
TEST(BorderUnicode, TitlesAndCharactersSurviveTheSubclassing) {
    Jvm vm;
    defineWndProc(vm);
    jobject wndProc = vm.newObject(kWndProc);
    HWND w = createWindow(L"Before \u03a9\u4e2d");
    ASSERT_TRUE(IsWindowUnicode(w));
    ASSERT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl), wndProc,
                      handle(w)),
              handle(w));

    EXPECT_TRUE(IsWindowUnicode(w));
    EXPECT_EQ(titleOf(w), L"Before \u03a9\u4e2d");
    SetWindowTextW(w, L"After \u03a9\u4e2d");
    EXPECT_EQ(titleOf(w), L"After \u03a9\u4e2d");
    SendMessageW(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Set \u03a9\u4e2d"));
    EXPECT_EQ(titleOf(w), L"Set \u03a9\u4e2d");
    wchar_t read[64] = {};
    SendMessageW(w, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(read));
    EXPECT_EQ(std::wstring(read), L"Set \u03a9\u4e2d");
    SendMessageW(w, WM_CHAR, 0x4e2d, 0);
    EXPECT_EQ(tLastChar, 0x4e2du) << "the window's own procedure got the character";
    PostMessageW(w, WM_CHAR, 0x03a9, 0);
    MSG msg;
    while (PeekMessageW(&msg, w, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(tLastChar, 0x03a9u);

    vm.call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl), wndProc, handle(w));
    EXPECT_EQ(GetWindowLongPtrW(w, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&ownProcedure));
    EXPECT_TRUE(IsWindowUnicode(w));
    EXPECT_EQ(titleOf(w), L"Set \u03a9\u4e2d");
    SetWindowTextW(w, L"Uninstalled \u03a9\u4e2d");
    EXPECT_EQ(titleOf(w), L"Uninstalled \u03a9\u4e2d");
    DestroyWindow(w);
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
}

// Windows of their own threads (not attached to the VM), each created,
// worked on and destroyed round after round, while Java threads install,
// update and uninstall whichever window they find, stale handles included.
// Nothing crashes or hangs; at the end no window is left in the map and
// every global reference of it is gone.
TEST(BorderThreads, InstallUpdateUninstallAndDestroyRace) {
    constexpr int kWindowThreads = 3;
    constexpr int kJavaThreads = 3;
    constexpr int kRounds = 400;        // windows per window thread
    constexpr int kOpsPerWindow = 12;   // Java calls before a window is destroyed

    Jvm vm;
    defineWndProc(vm);
    static jobject wndProc;  // a global reference: every Java thread uses it
    vm.call([](JNIEnv* env, jobject o) { wndProc = env->NewGlobalRef(o); }, vm.newObject(kWndProc));
    auto install = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl);
    auto uninstall = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl);
    auto updateFrame = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_updateFrame);

    struct Slot {
        std::atomic<HWND> window{nullptr};
        std::atomic<int> ops{0};
        HANDLE enough = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    };
    Slot slots[kWindowThreads];
    std::atomic<int> windowThreadsLeft{kWindowThreads};
    std::atomic<long> installs{0};

    std::vector<std::thread> threads;
    for (Slot& slot : slots) {
        threads.emplace_back([&slot, &windowThreadsLeft] {
            for (int round = 0; round < kRounds; ++round) {
                HWND w = createWindow(L"Race \u4e2d");
                slot.ops = 0;
                slot.window = w;
                // Serve the Java threads' frame updates until they are done with it.
                for (;;) {
                    DWORD r = MsgWaitForMultipleObjects(1, &slot.enough, FALSE, INFINITE, QS_ALLINPUT);
                    if (r == WAIT_OBJECT_0) break;
                    MSG msg;
                    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
                }
                slot.window = nullptr;
                DestroyWindow(w);
            }
            --windowThreadsLeft;
        });
    }
    for (int t = 0; t < kJavaThreads; ++t) {
        threads.emplace_back([&, t] {
            JavaVM* javaVm = vm.javaVm();
            void* env = nullptr;
            ASSERT_EQ(javaVm->AttachCurrentThread(&env, nullptr), JNI_OK);
            std::minstd_rand random(1234u + t);
            while (windowThreadsLeft > 0) {
                Slot& slot = slots[random() % kWindowThreads];
                HWND w = slot.window;
                if (!w) {
                    std::this_thread::yield();
                    continue;
                }
                switch (random() % 4) {
                    case 0:
                    case 1:
                        if (vm.call(install, wndProc, handle(w))) ++installs;
                        break;
                    case 2:
                        vm.call(updateFrame, wndProc, handle(w), static_cast<jint>(random() % 8));
                        break;
                    default:
                        vm.call(uninstall, wndProc, handle(w));
                        break;
                }
                if (++slot.ops == kOpsPerWindow) SetEvent(slot.enough);
            }
            javaVm->DetachCurrentThread();
        });
    }
    for (std::thread& t : threads) t.join();
    for (Slot& slot : slots) CloseHandle(slot.enough);

    EXPECT_GT(installs.load(), kRounds) << "the windows were subclassed now and then";
    // The map still works: a fresh window installs and uninstalls. (An
    // install that came after a window's last message left a record for a
    // window that is gone: the next install releases it.)
    HWND w = createWindow(L"After");
    EXPECT_EQ(vm.call(install, wndProc, handle(w)), handle(w));
    vm.call(uninstall, wndProc, handle(w));
    EXPECT_EQ(GetWindowLongPtrW(w, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&ownProcedure));
    DestroyWindow(w);
    // One global reference per record: only the test's own is left.
    EXPECT_EQ(vm.liveGlobalRefs(), 1u) << "a record outlived its window";
    vm.call([](JNIEnv* env) { env->DeleteGlobalRef(wndProc); });
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
}

}  // namespace
