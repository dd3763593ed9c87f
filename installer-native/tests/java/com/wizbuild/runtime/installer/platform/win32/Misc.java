// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
import com.wizbuild.api.windows.WindowInfo;
class Misc {
    static native void reboot0();
    static native String[] getRunningModules0(boolean all);
    static native String[] getEnvVarPairs0();
    static native void broadcastSettingChange0();
    static native long getPhysicalMemory0();
    static native long getFreeDiskSpace0(String path);
    static native boolean moveWithDelayUntilReboot0(String from, String to);
    static native void toFront0();
    static native int terminateProcesses0(int[] pids, boolean force, int timeout);
    static native String getWindowTitle0(int pid);
    static native void setForegroundWindow0(long hwnd);
    static native WindowInfo[] getTopLevelWindows0(Class<?> infoClass, int pid);
    static native int getPidFromHandle0(long handle);
    static native boolean registerExtensionFunctions0(ClassLoader loader, String exportName);
}
