// JNICodeSigningVerifier.verifyExecutable: is an executable's Authenticode
// signature present, valid and trusted?
#include <jni.h>
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <cstdio>

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

// A zero-terminated UTF-16 path on the process heap; the library links no C++
// runtime, so it holds its buffers itself.
class WidePath {
public:
    WidePath() = default;
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;
    ~WidePath() {
        if (text_) HeapFree(GetProcessHeap(), 0, text_);
    }
    // Room for units characters and the terminator; false when out of memory.
    bool allocate(size_t units) {
        text_ = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (units + 1) * sizeof(wchar_t)));
        return text_ != nullptr;
    }
    wchar_t* get() const { return text_; }

private:
    wchar_t* text_ = nullptr;
};

// Modified UTF-8 (what GetStringUTFChars returns) to UTF-16. Every one-, two-
// or three-byte sequence is one UTF-16 unit; supplementary characters come as
// two encoded surrogates, which a plain UTF-8 decoder would reject, and NUL
// as C0 80. out has room for size units and a terminator (never more units
// than bytes). Returns false for bytes that are not modified UTF-8, or that
// decode to a NUL (which would cut the path short and so name another file
// than the one the caller meant).
bool decodeModifiedUtf8(const char* bytes, size_t size, wchar_t* out) {
    auto continuation = [bytes, size](size_t i) { return i < size && (bytes[i] & 0xC0) == 0x80; };
    size_t n = 0;
    for (size_t i = 0; i < size;) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        wchar_t unit;
        if (b < 0x80) {
            unit = static_cast<wchar_t>(b);
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && continuation(i + 1)) {
            unit = static_cast<wchar_t>(((b & 0x1F) << 6) | (bytes[i + 1] & 0x3F));
            i += 2;
        } else if ((b & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
            unit = static_cast<wchar_t>(((b & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) | (bytes[i + 2] & 0x3F));
            i += 3;
        } else {
            return false;
        }
        if (unit == L'\0') return false;
        out[n++] = unit;
    }
    out[n] = L'\0';
    return true;
}

// The Java string's text as a path: S_OK, E_INVALIDARG for a null string or
// a text that cannot name a file (see decodeModifiedUtf8), E_OUTOFMEMORY when
// the VM cannot hand out the characters or no buffer is left for them.
HRESULT pathOf(JNIEnv* env, jstring path, WidePath& out) {
    if (!path) return E_INVALIDARG;
    const char* utf = env->GetStringUTFChars(path, nullptr);
    if (!utf) {
        env->ExceptionClear();  // natives of this library never throw
        return E_OUTOFMEMORY;
    }
    size_t size = static_cast<size_t>(env->GetStringUTFLength(path));
    HRESULT result = S_OK;
    if (!out.allocate(size)) {
        result = E_OUTOFMEMORY;
    } else if (!decodeModifiedUtf8(utf, size, out.get())) {
        result = E_INVALIDARG;
    }
    env->ReleaseStringUTFChars(path, utf);
    return result;
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
    WidePath file;
    HRESULT invalid = pathOf(env, path, file);
    if (invalid != S_OK) {
        printResult(invalid, GetLastError());
        return static_cast<jlong>(invalid);
    }

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.get();
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
