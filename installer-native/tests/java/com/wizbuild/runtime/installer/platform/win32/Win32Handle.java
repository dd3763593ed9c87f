// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32Handle {
    static native Object[] list0();
    static native boolean close0(int handle);
    static native String getDeviceName0(String path);
}
