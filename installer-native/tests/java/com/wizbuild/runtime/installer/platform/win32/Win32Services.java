// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32Services {
    static native int installService0(String name, String displayName, String binary);
    static native int changeServiceConfig0(String name, String displayName, String binary, int type, int start, String dependencies, String account, String password, String description);
    static native int setRestartServiceConfig0(String name, boolean restart, int delay, int count, int resetPeriod);
    static native int setDelayedAutoStart0(String name, boolean delayed);
    static native int stopService0(String name, int timeout);
    static native int startService0(String name, String[] args);
    static native int uninstallService0(String name);
    static native int queryStatus0(String name);
    static native int getStartType0(String name);
    static native String getServiceBinary0(String name);
}
