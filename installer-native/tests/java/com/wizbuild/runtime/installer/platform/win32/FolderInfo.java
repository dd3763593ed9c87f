// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class FolderInfo {
    static native String getSpecialFolder0(int folder, boolean create);
    static native String getPathFromRegistry0(String name);
    static native String getWindowsDirectory0();
    static native String getSystemDirectory0();
    static native int getDriveType0(String root);
    static native String getShortPathName0(String path);
    static native String getUniversalPathName0(String path);
}
