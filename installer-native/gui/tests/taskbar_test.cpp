// WinTaskBar against a test-only taskbar object registered for
// CLSID_TaskbarList (fake_taskbar.cpp), and against Wine's own. The taskbar
// object is process-wide: each case needs a process of its own, as CTest
// runs them.
#include "com_server_override.h"
#include "fake_taskbar.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <objbase.h>

#include <cstdint>
#include <string>

namespace {

using qarjvm::Jvm;

const std::string kTaskBar = std::string(wbtest::kWin32) + "WinTaskBar";

std::wstring fakePath() { return qartest::winPath(WBTEST_FAKE_TASKBAR_EXE); }

// The taskbar class served by the given DLL while alive.
struct ServerOverride : wbtest::ComServerOverride {
    explicit ServerOverride(const std::wstring& dll)
        : ComServerOverride(L"{56FDF344-FD6D-11d0-958A-006097C9A090}", dll, L"Apartment") {}
};

// The fake's record; loading it here gives the module COM loads later.
FakeTaskbarState& fake() {
    static HMODULE module = LoadLibraryW(fakePath().c_str());
    EXPECT_NE(module, nullptr);
    auto fn = reinterpret_cast<FakeTaskbarStateFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "fakeTaskbarState")));
    return *fn();
}

jlong handle(const void* p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

class TaskBarTest : public ::testing::Test {
protected:
    void SetUp() override { vm_.defineClass(kTaskBar); }
    jclass cls() { return vm_.findClass(kTaskBar); }
    void init() {
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_initTaskBar0), cls());
    }
    // Each setter once, with these values.
    void setAll(HWND window, jlong completed, jlong total, jint state, HICON icon) {
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setProgress0), cls(),
                 handle(window), completed, total);
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setState0), cls(),
                 handle(window), state);
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinTaskBar_setOverlayIcon0), cls(),
                 handle(window), handle(icon));
    }
    Jvm vm_;
};

TEST_F(TaskBarTest, CreatedOnceWithoutHrInitAndSettersPassTheirValues) {
    ServerOverride registration(fakePath());
    FakeTaskbarState& s = fake();
    HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(0x1F0A4));
    HICON icon = LoadIconW(nullptr, IDI_APPLICATION);

    setAll(window, 1, 2, 2, icon);
    EXPECT_EQ(s.created, 0);
    EXPECT_EQ(s.progressCalls + s.stateCalls + s.overlayCalls, 0) << "nothing before initTaskBar0";

    init();
    init();
    EXPECT_EQ(s.created, 1);
    EXPECT_EQ(s.hrInitCalls, 0);

    // Beyond 32 bits, as installers count bytes.
    const jlong total = 0x1'2345'6789LL;
    const jint states[] = {0, 1, 2, 4, 8};
    for (jint state : states) {
        setAll(window, total / 3 + state, total, state, icon);
        EXPECT_EQ(s.progressWindow, window);
        EXPECT_EQ(s.completed, static_cast<ULONGLONG>(total / 3 + state));
        EXPECT_EQ(s.total, static_cast<ULONGLONG>(total));
        EXPECT_EQ(s.stateWindow, window);
        EXPECT_EQ(s.state, state);
        EXPECT_EQ(s.overlayWindow, window);
        EXPECT_EQ(s.overlayIcon, icon);
        EXPECT_TRUE(s.overlayDescriptionNull);
    }
    EXPECT_EQ(s.progressCalls, 5);
    EXPECT_EQ(s.stateCalls, 5);
    EXPECT_EQ(s.overlayCalls, 5);
    setAll(window, 0, 0, 0, nullptr);
    EXPECT_EQ(s.overlayIcon, nullptr) << "a null icon removes the overlay";
}

TEST_F(TaskBarTest, FailedCreationLeavesSettersInertAndIsTriedAgain) {
    FakeTaskbarState& s = fake();
    {
        ServerOverride missing(qartest::winPath(QAR_TEST_BINARY_DIR) + L"\\no-such-taskbar.dll");
        init();
        setAll(reinterpret_cast<HWND>(static_cast<intptr_t>(0x1F0A4)), 1, 2, 2, nullptr);
        // The apartment entered for the failed creation was left again.
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(hr, S_OK);
        if (SUCCEEDED(hr)) CoUninitialize();
    }
    EXPECT_EQ(s.created, 0);
    ServerOverride registration(fakePath());
    init();
    EXPECT_EQ(s.created, 1);
    setAll(reinterpret_cast<HWND>(static_cast<intptr_t>(0x1F0A4)), 1, 2, 2, nullptr);
    EXPECT_EQ(s.progressCalls, 1);
}

// Wine's own taskbar object accepts everything and shows nothing.
TEST_F(TaskBarTest, WinesOwnTaskbarAcceptsTheCalls) {
    init();
    EXPECT_NE(GetModuleHandleW(L"explorerframe.dll"), nullptr) << "Wine's taskbar object was made";
    setAll(reinterpret_cast<HWND>(static_cast<intptr_t>(0x1F0A4)), 1, 2, 2, LoadIconW(nullptr, IDI_APPLICATION));
}

}  // namespace
