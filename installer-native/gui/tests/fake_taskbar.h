// What the test-only taskbar object (fake_taskbar.cpp) was asked to do; the
// test reads it through the DLL's export fakeTaskbarState.
#pragma once

#include <windows.h>

struct FakeTaskbarState {
    LONG created;  // objects made by the class factory
    LONG hrInitCalls;
    LONG progressCalls;
    HWND progressWindow;
    ULONGLONG completed;
    ULONGLONG total;
    LONG stateCalls;
    HWND stateWindow;
    int state;
    LONG overlayCalls;
    HWND overlayWindow;
    HICON overlayIcon;
    bool overlayDescriptionNull;
};

typedef FakeTaskbarState*(__cdecl* FakeTaskbarStateFn)();
