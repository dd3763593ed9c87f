package ch.qar.qarapp2.windows.utils;

/** The client's declaration of the remote-session native (test-only: checks JNI names). */
public class JNIRemoteSessionChecker {
    public native boolean isRemoteSession();
}
