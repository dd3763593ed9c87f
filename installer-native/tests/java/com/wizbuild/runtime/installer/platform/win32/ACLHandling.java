// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class ACLHandling {
    static native boolean addACE(String path, boolean a, boolean b, boolean c, boolean d, boolean e, int mask, String sid);
}
