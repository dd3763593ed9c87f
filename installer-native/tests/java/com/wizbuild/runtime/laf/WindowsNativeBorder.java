// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.laf;
class WindowsNativeBorder {
    static class WndProc {
        static native long installImpl(long hwnd);
        static native void uninstallImpl(long hwnd);
        static native void updateFrame(long hwnd, int flags);
        static native void showWindow(long hwnd, int command);
    }
    static native int registryGetIntValue(String key, String name, int fallback);
}
