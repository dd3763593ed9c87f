// JNICodeSigningVerifier.verifyExecutable: is an executable's Authenticode
// signature present, valid and trusted?
#include <jni.h>
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace {

// WINTRUST_DATA in the form that ends with the signature-settings pointer
// (52 bytes on 32-bit Windows); mingw's header stops one member short.
struct TrustRequest {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    WINTRUST_FILE_INFO* pFile;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};
static_assert(offsetof(TrustRequest, pSignatureSettings) == sizeof(WINTRUST_DATA),
              "TrustRequest extends WINTRUST_DATA by the signature settings");
#ifndef _WIN64
static_assert(sizeof(TrustRequest) == 52, "the 52-byte trust request");
static_assert(sizeof(WINTRUST_FILE_INFO) == 16, "the 16-byte file description");
#endif

// Modified UTF-8 (what GetStringUTFChars returns) to UTF-16. Every one-, two-
// or three-byte sequence is one UTF-16 unit; supplementary characters come as
// two encoded surrogates, which a plain UTF-8 decoder would reject, and NUL
// as C0 80. Returns false for bytes that are not modified UTF-8.
bool decodeModifiedUtf8(const std::string& bytes, std::wstring& out) {
    out.clear();
    auto continuation = [&bytes](size_t i) { return i < bytes.size() && (bytes[i] & 0xC0) == 0x80; };
    for (size_t i = 0; i < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && continuation(i + 1)) {
            out += static_cast<wchar_t>(((b & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
            i += 2;
        } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
            out += static_cast<wchar_t>(((b & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// The Java string's text as a path: S_OK, E_INVALIDARG for a null string or
// a text with a NUL (which would cut the path short and so name another file
// than the one the caller meant), E_OUTOFMEMORY when the VM cannot hand out
// the characters.
HRESULT pathOf(JNIEnv* env, jstring path, std::wstring& out) {
    if (!path) return E_INVALIDARG;
    const char* utf = env->GetStringUTFChars(path, nullptr);
    if (!utf) {
        env->ExceptionClear();  // natives of this library never throw
        return E_OUTOFMEMORY;
    }
    std::string bytes(utf, static_cast<size_t>(env->GetStringUTFLength(path)));
    env->ReleaseStringUTFChars(path, utf);
    if (!decodeModifiedUtf8(bytes, out) || out.find(L'\0') != std::wstring::npos) return E_INVALIDARG;
    return S_OK;
}

// The diagnostic lines for a result; lastError is GetLastError() right after
// the verification.
void printResult(LONG status, DWORD lastError) {
    switch (status) {
        case 0:
            std::printf("WinVerifyTrust successful\n");
            break;
        case TRUST_E_NOSIGNATURE:
            std::printf("WinVerifyTrust error: TRUST_E_NOSIGNATURE\n");
            std::printf("Last error: %ld\n", static_cast<long>(lastError));
            break;
        case CRYPT_E_SECURITY_SETTINGS:
        case TRUST_E_SUBJECT_NOT_TRUSTED:
        case TRUST_E_EXPLICIT_DISTRUST:
            std::printf("WinVerifyTrust error: CRYPT_E_SECURITY_SETTINGS\n");
            break;
        default:
            std::printf("WinVerifyTrust error: 0x%lx\n", static_cast<unsigned long>(status));
            break;
    }
    std::fflush(stdout);
}

}  // namespace

// Verifies the file's Authenticode signature with WinVerifyTrust (generic
// verify action, no UI, no revocation check) and returns its HRESULT
// sign-extended: 0 for a present, valid and trusted signature. A null path or
// one that cannot name a file gives E_INVALIDARG without a verification (see
// pathOf).
extern "C" JNIEXPORT jlong JNICALL
Java_ch_qar_qarapp2_windows_utils_JNICodeSigningVerifier_verifyExecutable(JNIEnv* env, jobject, jstring path) {
    std::wstring file;
    HRESULT invalid = pathOf(env, path, file);
    if (invalid != S_OK) {
        printResult(invalid, GetLastError());
        return static_cast<jlong>(invalid);
    }

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.c_str();
    fileInfo.hFile = nullptr;
    fileInfo.pgKnownSubject = nullptr;

    TrustRequest request{};
    request.cbStruct = sizeof(request);
    request.dwUIChoice = WTD_UI_NONE;
    request.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &fileInfo;
    request.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(nullptr, &action, &request);
    DWORD lastError = GetLastError();
    printResult(status, lastError);

    // Release the verification state; the result of closing does not matter.
    request.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &request);

    return static_cast<jlong>(status);
}
