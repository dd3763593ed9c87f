// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class FileVersion {
    static native int compare0(String a, String b);
}
