// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32Exec {
    static native int launch0(String file, String args);
}
