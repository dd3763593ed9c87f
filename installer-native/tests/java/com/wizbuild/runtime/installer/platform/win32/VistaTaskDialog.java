// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class VistaTaskDialog {
    static native int show0(long owner, String title, String instruction, String content, int buttons, int icon, int defaultButton, String verification, String[] customButtons, int flags);
    static native void init0();
}
