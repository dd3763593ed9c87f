// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class ShellLink {
    static native boolean createWide0(String link, String target, String dir, String icon, String args, boolean admin, String description, int show);
    static native boolean changeNotify0(byte[] link, byte[] folder);
    static native boolean initialize0();
    static native boolean uninitialize();
    static native boolean create0(String link, byte[] target, byte[] dir, byte[] icon, byte[] args, boolean admin, byte[] description);
}
