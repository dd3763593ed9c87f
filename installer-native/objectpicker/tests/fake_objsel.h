// What the test-only object picker (fake_objsel.cpp) was given and what it
// answers. The test reads and sets it through the DLL's export
// fakePickerState, once the DLL is loaded in its process.
#pragma once

#include <windows.h>

struct FakePickerState {
    // Set by the test: InvokeDialog's result and, for S_OK, the
    // DS_SELECTION_LIST block that GetData hands out (the test owns it).
    HRESULT invokeResult;
    HGLOBAL selections;

    // What the picker received.
    LONG created;          // picker objects made by the class factory
    LONG initializeCalls;
    ULONG initSize;
    bool targetComputerNull;
    ULONG scopeCount;
    ULONG options;
    ULONG attributeCount;
    wchar_t attribute[64];  // the first attribute name
    ULONG scopeSize;
    ULONG scopeType;
    ULONG scopeFlags;
    ULONG uplevelBoth;
    ULONG uplevelMixed;
    ULONG uplevelNative;
    ULONG downlevel;
    LONG invokeCalls;
    HWND owner;

    // Objects alive: pickers, data objects and storage medium owners.
    LONG liveObjects;
    LONG mediumReleases;
};

typedef FakePickerState*(__cdecl* FakePickerStateFn)();
