// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class VistaFileChooser {
    static native void initialize0();
    static native String[] displayDialog0(long owner, String title, String okLabel, String fileName, String folder, int mode, int options, boolean multi, String defaultExtension, String[] filterNames, String[] filterPatterns, int filterIndex, String[] places, boolean[] flags);
}
