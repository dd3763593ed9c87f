// The window procedure that puts a Java window's client area over the native
// title bar, and the process-wide state its Java call-backs need.
#pragma once

#include "window_map.h"

// Binds the call-back methods (from the WndProc object's class) and the
// optional system functions once per process; false, for good, when any is
// missing.
bool initCallbackState(JNIEnv* env, jobject wndProc);

// The replacement procedure installed by installImpl.
LRESULT CALLBACK borderWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
