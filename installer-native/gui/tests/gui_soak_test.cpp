// Soak: icons made from bytes and destroyed, a window flashed, a Java
// window's peer and handle looked up, and the taskbar natives, round after
// round; handles, GDI and USER objects, memory and the VM's references stay
// flat.
#include "family_soak.h"
#include "icon_bytes.h"
#include "wbnative_test.h"

#include <cstdint>

namespace {

using qarjvm::JavaCall;

const std::string kHelper = std::string(wbtest::kWin32) + "WinGuiHelper";
const std::string kTaskBar = std::string(wbtest::kWin32) + "WinTaskBar";
const char kPeer[] = "sun/awt/windows/WWindowPeer";

// An icon file (or the group-icon layout) of 32-bpp images of one colour each.
std::string iconFile(const std::vector<int>& sizes, bool group) {
    std::vector<std::string> images;
    for (int size : sizes) images.push_back(wbtest::iconImage(size, 0x7F7F7F7F));
    return wbtest::iconFile(images, sizes, group);
}

TEST(GuiSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    vm.defineClass(kHelper);
    vm.defineClass(kTaskBar);
    vm.defineClass("java/awt/peer/ComponentPeer");
    vm.defineClass("java/awt/Component").field("peer", "Ljava/awt/peer/ComponentPeer;");
    vm.defineClass("java/awt/Window", "java/awt/Component");
    vm.defineClass(kPeer, "java/awt/peer/ComponentPeer").field("hwnd", "J").method("getHWnd", "()J", [](JavaCall& c) {
        return c.vm.getField(c.self, "hwnd");
    });
    auto getPeer = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getPeer0);
    auto getHwnd = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getHwnd0);
    auto createIcon = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_createHIcon0);
    auto destroyIcon = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_destroyHIcon0);
    auto flash = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_flashWindow0);
    auto initTaskBar = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_initTaskBar0);
    auto overlay = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setOverlayIcon0);
    auto progress = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setProgress0);
    auto state = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setState0);

    HWND window = CreateWindowExW(0, L"STATIC", L"wbnative gui soak", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr) << GetLastError();
    const jlong handle = static_cast<jlong>(reinterpret_cast<intptr_t>(window));
    const std::string files[] = {iconFile({16, 32}, false), iconFile({16, 32, 48}, true)};

    wbtest::soakFamily(vm, "gui", {300}, [&](size_t i) {
        jclass helper = vm.findClass(kHelper);
        const std::string& file = files[i % 2];
        jbyteArray bytes = vm.newArray(std::vector<jbyte>(file.begin(), file.end()));
        vm.expectReadOnly(bytes);
        jint size = i % 3 == 0 ? 16 : 32;
        jlong icon = vm.call(createIcon, helper, bytes, size, size);
        EXPECT_NE(icon, 0);

        jobject peer = vm.newObject(kPeer);
        vm.setField(peer, "hwnd", qarjvm::jvLong(handle));
        jobject javaWindow = vm.newObject("java/awt/Window");
        vm.setField(javaWindow, "peer", qarjvm::jvObject(peer));
        jobject found = vm.call(getPeer, helper, javaWindow, vm.findClass("java/awt/Component"));
        EXPECT_NE(found, nullptr);
        EXPECT_EQ(vm.call(getHwnd, helper, found, vm.reflectedMethod(kPeer, "getHWnd", "()J")), handle);
        vm.call(flash, helper, handle, jboolean(i % 2 == 0));

        jclass taskBar = vm.findClass(kTaskBar);
        vm.call(initTaskBar, taskBar);
        vm.call(overlay, taskBar, handle, icon);
        vm.call(progress, taskBar, handle, jlong(i % 100), jlong(100));
        vm.call(state, taskBar, handle, jint(i % 2 ? 2 : 0));
        vm.call(overlay, taskBar, handle, jlong(0));
        vm.call(destroyIcon, helper, icon);
    });
    DestroyWindow(window);
}

}  // namespace
