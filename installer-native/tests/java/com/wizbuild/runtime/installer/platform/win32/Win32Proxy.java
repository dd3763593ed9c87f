// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32Proxy {
    static native int getIEConfig0(String[] out);
    static native int getDefaultConfig0(String[] out);
    static native long getAutoProxyConfig0(String[] out, String url, String pacUrl, int a, int b, boolean c);
    static native boolean loadFunctions0();
}
