// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class WinTaskBar {
    static native void initTaskBar0();
    static native void setOverlayIcon0(long hwnd, long icon);
    static native void setProgress0(long hwnd, long done, long total);
    static native void setState0(long hwnd, int state);
}
