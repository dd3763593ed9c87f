// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class WinGuiHelper {
    static native Object getPeer0(java.awt.Window window, Class<?> peerClass);
    static native long getHwnd0(Object peer, java.lang.reflect.Method method);
    static native void destroyHIcon0(long icon);
    static native long createHIcon0(byte[] data, int width, int height);
    static native void flashWindow0(long hwnd, boolean flash);
}
