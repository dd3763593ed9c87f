// Other processes through their top-level windows, with a windowed test
// program as the target: asking them to close, their titles and records,
// bringing windows to the front. Needs an X display (run under xvfb-run).
#include "wbnative_test.h"
#include "console_capture.h"
#include "wine_process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;

const char kWindowInfo[] = "com/wizbuild/api/windows/WindowInfo";

// The windowed target, running until its windows are gone or the test ends.
// Its windows exist once the constructor returns.
class Target {
public:
    Target(const std::wstring& mode, const std::vector<std::wstring>& windows) {
        static int serial = 0;
        std::wstring eventName =
            L"wbnative-window-target-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
        std::wstring line = qartest::quoteArg(qartest::winPath(WBNATIVE_WINDOW_TARGET_EXE)) + L" " + mode + L" " +
                            qartest::quoteArg(eventName);
        for (const auto& w : windows) line += L" " + qartest::quoteArg(w);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &info_));
        CloseHandle(info_.hThread);
        HANDLE waits[] = {ready, info_.hProcess};
        EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0) << "the target's windows are up";
        CloseHandle(ready);
    }
    ~Target() {
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
        CloseHandle(info_.hProcess);
    }
    bool ended(DWORD ms = 0) { return WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0; }
    jint pid() const { return static_cast<jint>(info_.dwProcessId); }
    // The target's top-level window with this title.
    HWND window(const std::wstring& title) {
        struct Find {
            DWORD pid;
            const std::wstring* title;
            HWND found;
            static BOOL CALLBACK visit(HWND w, LPARAM p) {
                auto* f = reinterpret_cast<Find*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                wchar_t text[256];
                GetWindowTextW(w, text, 256);
                if (pid == f->pid && *f->title == text) f->found = w;
                return TRUE;
            }
        } find{info_.dwProcessId, &title, nullptr};
        EnumWindows(&Find::visit, reinterpret_cast<LPARAM>(&find));
        return find.found;
    }

    // The title of the target's last titled hidden top-level window, in
    // enumeration order.
    std::wstring lastHiddenTitle() {
        struct Find {
            DWORD pid;
            std::wstring title;
            static BOOL CALLBACK visit(HWND w, LPARAM p) {
                auto* f = reinterpret_cast<Find*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                wchar_t text[256];
                if (pid == f->pid && !IsWindowVisible(w) && GetWindowTextW(w, text, 256) > 0) f->title = text;
                return TRUE;
            }
        } find{info_.dwProcessId, L""};
        EnumWindows(&Find::visit, reinterpret_cast<LPARAM>(&find));
        return find.title;
    }

private:
    PROCESS_INFORMATION info_{};
};

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        misc_ = vm_.defineClass(std::string(wbtest::kWin32) + "Misc").name();
        vm_.defineClass(kWindowInfo).constructor("(JILjava/lang/String;Ljava/lang/String;)V");
    }
    jclass misc() { return vm_.findClass(misc_); }
    jint terminate(const std::vector<jint>& ids, jint timeout) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_terminateProcesses0), misc(),
                        vm_.newArray(ids), static_cast<jboolean>(false), timeout);
    }
    std::wstring title(jint pid) {
        jstring text =
            vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getWindowTitle0), misc(), pid);
        EXPECT_NE(text, nullptr);
        return text ? vm_.text(text) : L"<null>";
    }
    jobjectArray windows(jint pid, const std::string& cls = kWindowInfo) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getTopLevelWindows0), misc(),
                        vm_.findClass(cls), pid);
    }

    Jvm vm_;
    std::string misc_;
};

TEST_F(WindowsTest, PoliteCloseEndsProcessesThatCloseTheirWindows) {
    Target a(L"closes", {L"v:First"}), b(L"closes", {L"v:Second", L"v:Third"});
    EXPECT_EQ(terminate({a.pid(), b.pid()}, 30000), 1);
    EXPECT_TRUE(a.ended());
    EXPECT_TRUE(b.ended()) << "each of its visible windows was asked";
}

TEST_F(WindowsTest, PoliteCloseOfAProcessIgnoringWmCloseTimesOut) {
    Target stubborn(L"ignores", {L"v:Stubborn"});
    DWORD start = GetTickCount();
    EXPECT_EQ(terminate({stubborn.pid()}, 1000), 3);
    EXPECT_GE(GetTickCount() - start, 900u);
    EXPECT_FALSE(stubborn.ended());
}

TEST_F(WindowsTest, PoliteCloseWithAWindowlessProcessIsZeroButAsksTheOthers) {
    Target closes(L"closes", {L"v:Closes"}), hidden(L"closes", {L"h:Only hidden"});
    EXPECT_EQ(terminate({closes.pid(), hidden.pid()}, 30000), 0);
    EXPECT_TRUE(closes.ended(30000)) << "its window was sent WM_CLOSE all the same";
    EXPECT_FALSE(hidden.ended());
}

TEST_F(WindowsTest, WindowTitleFirstVisibleTitledElseLastTitledHidden) {
    struct Case {
        std::vector<std::wstring> windows;
        std::wstring title;
    };
    const Case cases[] = {
        {{L"h:Hidden one", L"v:Shown", L"v:"}, L"Shown"},
        {{L"v:Shown", L"h:Hidden one"}, L"Shown"},
        {{L"v:", L"h:Only hidden"}, L"<last hidden>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qartest::toUtf8(c.title));
        Target target(L"closes", c.windows);
        std::wstring expected = c.title;
        // Without a visible titled window, the last titled hidden one in
        // enumeration order wins. Like Windows, Wine gives each GUI thread a
        // hidden "Default IME" window, so it may be that one.
        if (expected == L"<last hidden>") {
            expected = target.lastHiddenTitle();
            EXPECT_TRUE(expected == L"Only hidden" || expected == L"Default IME") << qartest::toUtf8(expected);
        }
        EXPECT_EQ(title(target.pid()), expected);
    }
    EXPECT_EQ(title(0x7FFFFFF0), L"") << "an unknown id";
}

TEST_F(WindowsTest, TopLevelWindowsAreVisibleUnownedOnesWithNullSlotsLast) {
    Target target(L"closes", {L"v:Main", L"v:", L"o:Owned", L"h:Hidden"});
    jobjectArray array = windows(target.pid());
    ASSERT_NE(array, nullptr);
    std::vector<jobject> records = vm_.objectElements(array);
    ASSERT_EQ(records.size(), 2u) << "Main and the untitled window; not the owned or the hidden one";
    ASSERT_NE(records[0], nullptr);
    EXPECT_EQ(records[1], nullptr) << "the untitled window's slot, at the end";

    std::vector<jvalue> args = vm_.constructorArgs(records[0]);
    ASSERT_EQ(args.size(), 4u);
    HWND main = target.window(L"Main");
    EXPECT_EQ(args[0].j, static_cast<jlong>(reinterpret_cast<intptr_t>(main)));
    EXPECT_EQ(args[1].i, static_cast<jint>(GetWindowLongW(main, GWL_STYLE)));
    EXPECT_TRUE(args[1].i & WS_VISIBLE);
    EXPECT_EQ(vm_.text(static_cast<jstring>(args[2].l)), L"WbnativeTestTarget");
    EXPECT_EQ(vm_.text(static_cast<jstring>(args[3].l)), L"Main");
}

TEST_F(WindowsTest, TopLevelWindowsNullWhenNoneOrNoConstructor) {
    Target hiddenOnly(L"closes", {L"h:Hidden"});
    EXPECT_EQ(windows(hiddenOnly.pid()), nullptr) << "null, not an empty array";
    EXPECT_EQ(windows(0x7FFFFFF0), nullptr);

    Target shown(L"closes", {L"v:Shown"});
    vm_.defineClass("test/NoWindowInfoConstructor");
    std::string err;
    {
        qartest::ConsoleCapture capture;
        EXPECT_EQ(windows(shown.pid(), "test/NoWindowInfoConstructor"), nullptr);
        err = capture.err();
    }
    EXPECT_NE(err.find("window info constructor not found"), std::string::npos) << err;
}

// This process's own window against another process's window in front.
TEST_F(WindowsTest, ToFrontAndSetForegroundWindow) {
    WNDCLASSW cls{};
    cls.lpfnWndProc = DefWindowProcW;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = L"WbnativeTestOwn";
    ASSERT_TRUE(RegisterClassW(&cls));
    HWND own = CreateWindowExW(0, L"WbnativeTestOwn", L"Own", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                               nullptr, cls.hInstance, nullptr);
    ASSERT_TRUE(own);
    Target other(L"closes", {L"v:Other"});
    HWND front = other.window(L"Other");
    ASSERT_TRUE(front);

    // A minimised window is restored and brought to the front.
    ShowWindow(front, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(front));
    vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_setForegroundWindow0), misc(),
             static_cast<jlong>(reinterpret_cast<intptr_t>(front)));
    for (int i = 0; i < 100 && (IsIconic(front) || GetForegroundWindow() != front); ++i) Sleep(50);
    EXPECT_FALSE(IsIconic(front));
    EXPECT_EQ(GetForegroundWindow(), front);

    vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_toFront0), misc());
    for (int i = 0; i < 100 && GetForegroundWindow() != own; ++i) Sleep(50);
    EXPECT_EQ(GetForegroundWindow(), own);
    DestroyWindow(own);
}

TEST_F(WindowsTest, BroadcastSettingChangeReturns) {
    Target target(L"closes", {L"v:Listening"});
    vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_broadcastSettingChange0), misc());
    EXPECT_FALSE(target.ended());
}

}  // namespace
