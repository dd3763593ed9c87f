// Test-only declaration of the natives the installer runtime binds in wbnative.
package com.wizbuild.runtime.installer.platform.win32.wininet;
class WinInet {
    static native boolean init0();
    static native String getErrorMessage0(int code);
    static native int getErrorCode0(long state);
    static native int getErrorLocation0(long state);
    static native void clearError0(long state);
    static native void destroy0(long state);
    static native long connect0(String host, int port, String user, String password, int a, String agent, int b, int c);
    static native void openRequest0(long state, String verb, String path, int a, int b);
    static native byte[] getHeaders0(long state);
    static native int read0(long state, byte[] buffer, int offset, int length);
    static native int internetErrorDlg0(long state, int a, int b, long hwnd);
    static native int sendRequest0(long state, String headers, byte[] body);
    static native void setOption0(long state, int option, byte[] value);
    static native void setDwordOption0(long state, int option, int value);
}
