// The windows whose procedure this library replaced, by window handle.
#pragma once

#include <jni.h>
#include <windows.h>

// One subclassed window.
struct WindowRecord {
    JavaVM* vm;                 // from GetJavaVM at install time
    JNIEnv* env;                // the window thread's environment, fetched at first need
    jobject javaObject;         // global reference to the installing WndProc object
    HWND window;
    WNDPROC previousProcedure;  // the procedure that was replaced
    int sizeTypeOverride;       // WM_SIZE type to report instead of the real one, or -1
};

// The record of a window, or null. The record stays valid until the window
// is uninstalled or destroyed.
WindowRecord* windowMapFind(HWND window);

// Adds the record under its window; a record already there is replaced (and
// returned, for the caller to release), else null.
WindowRecord* windowMapInsert(WindowRecord* record);

// Takes the window out of the map and returns its record (null if absent).
WindowRecord* windowMapRemove(HWND window);
