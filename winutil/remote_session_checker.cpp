// JNIRemoteSessionChecker.isRemoteSession: does the client run in a remote
// (terminal-services) session?
#include <jni.h>
#include <windows.h>

namespace {

struct RegKey {
    HKEY h = nullptr;
    ~RegKey() { if (h) RegCloseKey(h); }
};

}  // namespace

// True when Windows reports a remote session, or when the session that
// "GlassSessionId" names (the console session) is not this process's session.
// Anything that cannot be read answers false.
extern "C" JNIEXPORT jboolean JNICALL
Java_ch_qar_qarapp2_windows_utils_JNIRemoteSessionChecker_isRemoteSession(JNIEnv*, jobject) {
    if (GetSystemMetrics(SM_REMOTESESSION) != 0) return JNI_TRUE;

    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\", 0, KEY_READ,
                      &key.h) != ERROR_SUCCESS) {
        return JNI_FALSE;
    }
    // The value type is not examined; a value larger than the buffer fails
    // with ERROR_MORE_DATA. A shorter one is no session id either: comparing
    // it would compare bytes that were never read.
    DWORD glassSessionId = 0;
    DWORD size = sizeof(glassSessionId);
    DWORD type = 0;
    if (RegQueryValueExW(key.h, L"GlassSessionId", nullptr, &type, reinterpret_cast<BYTE*>(&glassSessionId),
                         &size) != ERROR_SUCCESS ||
        size != sizeof(glassSessionId)) {
        return JNI_FALSE;
    }
    DWORD sessionId = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) return JNI_FALSE;
    return sessionId != glassSessionId ? JNI_TRUE : JNI_FALSE;
}
