// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32UserInfo {
    static native boolean isMemberOfGroup0(int group);
    static native boolean executeElevated0(String file, String params, String dir, int show);
    static native int getElevationType0();
    static native String addUser0(String a, String b, String c, String d, String e, boolean f, boolean g);
    static native int deleteUser0(String server, String user);
    static native int deleteLocalGroup0(String server, String group);
    static native String getAccountName0(String sid, boolean domain);
    static native String getUserProfileDirectory0(String user, String password);
    static native String getUserSid0();
    static native boolean setLsaAccountRight0(String account, String right, boolean add);
}
