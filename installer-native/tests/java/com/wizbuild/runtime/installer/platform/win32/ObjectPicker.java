// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class ObjectPicker {
    static class Result {}
    static native Result[] show0(boolean a, boolean b, boolean c, boolean d, boolean e);
}
