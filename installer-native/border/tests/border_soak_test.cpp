// Soak: a window subclassed, its frame updated, shown and hidden, and the
// subclassing removed, round after round with a new window each time, plus the
// registry reader; handles, windows, GDI objects, memory and the VM's
// references (the window records hold globals) stay flat. Needs an X display.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

using qarjvm::JavaCall;
using qarjvm::jv;
using qarjvm::jvBool;

const char kWndProc[] = "com/wizbuild/runtime/laf/WindowsNativeBorder$WndProc";
const char kBorder[] = "com/wizbuild/runtime/laf/WindowsNativeBorder";

TEST(BorderSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    vm.defineClass(kWndProc)
        .method("onNcHitTest", "(IIZ)I", [](JavaCall&) { return jv(HTCLIENT); })
        .method("isFullscreen", "()Z", [](JavaCall&) { return jvBool(false); })
        .method("fireStateChangedLaterOnce", "()V", [](JavaCall&) { return jv(0); });
    vm.defineClass(kBorder);
    auto install = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_installImpl);
    auto uninstall = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_uninstallImpl);
    auto updateFrame = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_updateFrame);
    auto showWindow = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_00024WndProc_showWindow);
    auto registryInt = WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_registryGetIntValue);

    wbtest::soakFamily(vm, "border", {100}, [&](size_t i) {
        jobject wndProc = vm.newObject(kWndProc);
        HWND w = CreateWindowExW(0, L"STATIC", L"wbnative border soak", WS_OVERLAPPEDWINDOW, 100, 100, 300, 200,
                                 nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(w, nullptr) << GetLastError();
        jlong h = static_cast<jlong>(reinterpret_cast<intptr_t>(w));
        EXPECT_EQ(vm.call(install, wndProc, h), h);
        vm.call(updateFrame, wndProc, h, jint(i % 3 == 0 ? 6 : 0));
        vm.call(showWindow, wndProc, h, jint(SW_HIDE));
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        vm.call(uninstall, wndProc, h);
        DestroyWindow(w);
        EXPECT_EQ(vm.call(registryInt, vm.findClass(kBorder), vm.newString(L"Control Panel\\Desktop"),
                          vm.newString(L"wbnative no such value"), jint(7)),
                  7);
    });
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
}

}  // namespace
