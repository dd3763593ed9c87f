#include "dialog_driver.h"

#include <cwctype>
#include <utility>

#include "wine_process.h"

namespace dialogtest {

namespace {

BOOL CALLBACK collect(HWND window, LPARAM param) {
    wchar_t className[128] = L"";
    GetClassNameW(window, className, 128);
    reinterpret_cast<std::vector<Control>*>(param)->push_back(
        {window, GetDlgCtrlID(window), className, windowText(window), IsWindowVisible(window) != FALSE});
    return TRUE;
}

bool sameText(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

}  // namespace

// The first visible top-level dialog window of this process other than `except`.
HWND findDialog(HWND except) {
    struct Search {
        HWND except;
        HWND found = nullptr;
        static BOOL CALLBACK visit(HWND window, LPARAM param) {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            wchar_t className[64] = L"";
            GetClassNameW(window, className, 64);
            auto* search = reinterpret_cast<Search*>(param);
            if (pid == GetCurrentProcessId() && window != search->except && IsWindowVisible(window) &&
                std::wstring(className) == L"#32770") {
                reinterpret_cast<Search*>(param)->found = window;
                return FALSE;
            }
            return TRUE;
        }
    } search{except};
    EnumWindows(&Search::visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring windowText(HWND window) {
    wchar_t text[512] = L"";
    // WM_GETTEXT, not GetWindowTextW: the latter does not ask another thread's controls.
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}

std::vector<Control> controls(HWND dialog) {
    std::vector<Control> all;
    EnumChildWindows(dialog, collect, reinterpret_cast<LPARAM>(&all));
    return all;
}

HWND findControl(HWND dialog, const std::wstring& className, const std::wstring& text) {
    for (const Control& c : controls(dialog))
        if (c.visible && sameText(c.className, className) && c.text == text) return c.hwnd;
    return nullptr;
}

std::string describe(HWND dialog) {
    std::string out;
    for (const Control& c : controls(dialog))
        out += std::to_string(c.id) + " " + qartest::toUtf8(c.className) + " \"" + qartest::toUtf8(c.text) + "\"" +
               (c.visible ? "" : " (hidden)") + "\n";
    return out;
}

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000; ++i) {
        if (condition()) return true;
        Sleep(20);
    }
    return condition();
}

DialogDriver::DialogDriver(std::function<void(HWND)> act) : act_(std::move(act)) {
    thread_ = CreateThread(nullptr, 0, &DialogDriver::run, this, 0, nullptr);
}

DWORD WINAPI DialogDriver::run(void* self) {
    auto* driver = static_cast<DialogDriver*>(self);
    HWND dialog = nullptr;
    waitFor([&] { return (dialog = findDialog(nullptr)) != nullptr; });
    driver->dialog_ = dialog;
    if (dialog) driver->act_(dialog);
    // A dialog the action left open would block the test for good: end it,
    // and any box it opened, as cancelled.
    if (dialog && !waitFor([&] { return !IsWindow(dialog); })) {
        for (int i = 0; i < 10; ++i)
            if (HWND box = findDialog(dialog)) EndDialog(box, IDCANCEL);
        EndDialog(dialog, IDCANCEL);
    }
    return 0;
}

DialogDriver::~DialogDriver() {
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
}

}  // namespace dialogtest
