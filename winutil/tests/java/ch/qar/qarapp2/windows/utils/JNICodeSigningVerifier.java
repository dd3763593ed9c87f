package ch.qar.qarapp2.windows.utils;

/** The client's declaration of the verifier native (test-only: checks JNI names). */
public class JNICodeSigningVerifier {
    /** The HRESULT of WinVerifyTrust for the file, sign-extended; 0 when trusted. */
    public native long verifyExecutable(String path);
}
