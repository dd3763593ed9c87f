// Driving a modal dialog of this process from a helper thread: the test calls
// the native on its own thread, which blocks in the dialog; the helper finds
// the dialog window, looks at it, fills it in and closes it.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace dialogtest {

// One window below a dialog, as the helper saw it.
struct Control {
    HWND hwnd;
    int id;
    std::wstring className;
    std::wstring text;
    bool visible;
};

// Every window below the dialog (all levels), in enumeration order.
std::vector<Control> controls(HWND dialog);
// The first visible control with this class (case-insensitive) and text; null when none.
HWND findControl(HWND dialog, const std::wstring& className, const std::wstring& text);
std::wstring windowText(HWND window);
// All controls, one per line, for failure messages.
std::string describe(HWND dialog);

// Runs `act` on a helper thread with the first visible dialog (class #32770)
// of this process once it appears; not at all when none appeared within a
// minute. The destructor waits for the helper.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void(HWND)> act);
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;
    // Whether a dialog was found (after the native returned).
    bool sawDialog() const { return dialog_.load() != nullptr; }

private:
    static DWORD WINAPI run(void* self);

    std::function<void(HWND)> act_;
    std::atomic<HWND> dialog_{nullptr};
    // A thread of Windows' own rather than std::thread: the thread library's
    // own mutexes make a kernel event on their first contention and keep it,
    // which a soak would read as a leaked handle.
    HANDLE thread_ = nullptr;
};

// The first visible top-level dialog window (class #32770) of this process
// other than `except`; null when none.
HWND findDialog(HWND except);

// Polls `condition` every 20 ms for up to a minute; its last result.
bool waitFor(const std::function<bool()>& condition);

}  // namespace dialogtest
