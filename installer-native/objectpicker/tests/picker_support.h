// What the object picker's tests share: the test-only picker registered for
// CLSID_DsObjectPicker, its state, an owner window, SID bytes.
#pragma once

#include "com_server_override.h"
#include "fake_objsel.h"
#include "wine_process.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <string>
#include <vector>

namespace wbtest {

inline std::wstring fakePath() { return qartest::winPath(WBTEST_FAKE_OBJSEL_EXE); }

// The fake registered as the picker's in-process server while alive.
struct FakeRegistration : wbtest::ComServerOverride {
    FakeRegistration() : ComServerOverride(L"{17D6CCD8-3B7B-11D2-B9E0-00C04FD8DBF7}", fakePath(), L"Both") {}
};

// The fake's state; loading it here gives the module COM loads later.
inline FakePickerState& fake() {
    static HMODULE module = LoadLibraryW(fakePath().c_str());
    EXPECT_NE(module, nullptr);
    auto fn = reinterpret_cast<FakePickerStateFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "fakePickerState")));
    return *fn();
}

// A top-level window of this process, destroyed with the object.
class Window {
public:
    explicit Window(bool visible) {
        static ATOM atom = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"wbtest-picker-owner";
            return RegisterClassW(&wc);
        }();
        EXPECT_NE(atom, 0);
        hwnd = CreateWindowExW(0, L"wbtest-picker-owner", L"picker owner",
                               WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 10, 10, 200, 100, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(hwnd, nullptr) << GetLastError();
    }
    ~Window() { DestroyWindow(hwnd); }
    HWND hwnd;
};

// Bytes of a SID given as a string.
inline std::vector<BYTE> sidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid));
    std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return bytes;
}

}  // namespace wbtest
