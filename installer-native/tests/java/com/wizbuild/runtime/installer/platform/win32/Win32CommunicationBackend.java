// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32;
class Win32CommunicationBackend {
    static native long getInvalidHandle0();
    static native long createListener0(String name);
    static native byte[] readDataBlock0(long pipe);
    static native boolean writeDataBlock0(long pipe, byte[] data);
    static native long connectClient0(String name);
    static native boolean connectNamedPipe0(long pipe);
    static native void disconnectNamedPipe0(long pipe);
    static native void closeHandle0(long handle);
    static native boolean isProcessAlive0(int pid);
    static native int getCurrentProcessId0();
}
