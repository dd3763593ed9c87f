// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.laf;
class WindowsNativeBorder {
    static class WndProc {
        native long installImpl(long hwnd);
        native void uninstallImpl(long hwnd);
        native void updateFrame(long hwnd, int flags);
        native void showWindow(long hwnd, int command);
    }
    static native int registryGetIntValue(String key, String name, int fallback);
}
