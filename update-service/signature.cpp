#include "signature.h"

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>

#include "logging.h"
#include "scoped.h"
#include "system_library.h"

namespace {

// WINTRUST and CRYPT32, loaded from the system folder on first use and kept
// for the life of the process.
struct TrustFunctions {
    decltype(&WinVerifyTrust) winVerifyTrust;
    decltype(&CryptQueryObject) cryptQueryObject;
    decltype(&CryptMsgGetParam) cryptMsgGetParam;
    decltype(&CryptMsgClose) cryptMsgClose;
    decltype(&CertFindCertificateInStore) certFindCertificateInStore;
    decltype(&CertGetNameStringW) certGetNameStringW;
    decltype(&CertFreeCertificateContext) certFreeCertificateContext;
    decltype(&CertCloseStore) certCloseStore;
};

template <typename F>
bool bind(HMODULE module, const char* name, F* function) {
    *function = module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    return *function != nullptr;
}

// The functions, or nullptr with the last error set when a DLL or function is missing.
const TrustFunctions* trustFunctions() {
    static TrustFunctions functions;
    static bool loaded = false;
    if (loaded) return &functions;
    HMODULE wintrust = loadSystemLibrary(L"wintrust.dll");
    HMODULE crypt32 = wintrust ? loadSystemLibrary(L"crypt32.dll") : nullptr;
    TrustFunctions f = {};
    bool complete = bind(wintrust, "WinVerifyTrust", &f.winVerifyTrust) &&
                    bind(crypt32, "CryptQueryObject", &f.cryptQueryObject) &&
                    bind(crypt32, "CryptMsgGetParam", &f.cryptMsgGetParam) &&
                    bind(crypt32, "CryptMsgClose", &f.cryptMsgClose) &&
                    bind(crypt32, "CertFindCertificateInStore", &f.certFindCertificateInStore) &&
                    bind(crypt32, "CertGetNameStringW", &f.certGetNameStringW) &&
                    bind(crypt32, "CertFreeCertificateContext", &f.certFreeCertificateContext) &&
                    bind(crypt32, "CertCloseStore", &f.certCloseStore);
    if (!complete) {
        DWORD error = GetLastError();
        logError(L"Failed to load the signature functions from the system folder", error);
        SetLastError(error);
        return nullptr;
    }
    functions = f;
    loaded = true;
    return &functions;
}

struct LocalTraits {
    static void* invalid() { return nullptr; }
    static bool valid(void* p) { return p != nullptr; }
    static void close(void* p) { LocalFree(p); }
};
using ScopedLocal = Scoped<void*, LocalTraits>;

struct StoreTraits {
    static HCERTSTORE invalid() { return nullptr; }
    static bool valid(HCERTSTORE h) { return h != nullptr; }
    static void close(HCERTSTORE h) { trustFunctions()->certCloseStore(h, 0); }
};
struct MessageTraits {
    static HCRYPTMSG invalid() { return nullptr; }
    static bool valid(HCRYPTMSG h) { return h != nullptr; }
    static void close(HCRYPTMSG h) { trustFunctions()->cryptMsgClose(h); }
};
struct CertTraits {
    static PCCERT_CONTEXT invalid() { return nullptr; }
    static bool valid(PCCERT_CONTEXT c) { return c != nullptr; }
    static void close(PCCERT_CONTEXT c) { trustFunctions()->certFreeCertificateContext(c); }
};

// The trust request as WinVerifyTrust knows it since Windows 8: the mingw
// header's WINTRUST_DATA ends before the signature-settings pointer, and the
// size field tells the system which layout it gets (52 bytes on 32-bit).
struct TrustRequest {
    WINTRUST_DATA data;
    void* signatureSettings;
};
static_assert(sizeof(TrustRequest) == (sizeof(void*) == 4 ? 52 : 88), "trust request layout");

struct TrustStatusText {
    LONG status;
    const wchar_t* text;
};

const TrustStatusText TRUST_STATUS_TEXTS[] = {
    {static_cast<LONG>(TRUST_E_NOSIGNATURE), L"The file is not signed or the signature is invalid"},
    {static_cast<LONG>(CRYPT_E_FILE_ERROR),
     L"File error - make sure the file exists and the path is the full path to the file"},
    {static_cast<LONG>(CRYPT_E_SECURITY_SETTINGS),
     L"CRYPT_E_SECURITY_SETTINGS - The hash representing the subject or the publisher wasn't explicitly trusted by "
     L"the admin and admin policy has disabled user trust. No signature, publisher or timestamp errors."},
    {static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED), L"The signature is present but not trusted (user clicked 'no')"},
    {static_cast<LONG>(TRUST_E_EXPLICIT_DISTRUST), L"The signature is present but specifically disallowed"},
};

// A name's result as the signer check's, under the same number.
SignerCheck signerCheckOf(NameCheck result) {
    switch (result) {
    case NameCheck::Matches:
        return SignerCheck::Matches;
    case NameCheck::NoLength:
        return SignerCheck::NameNoLength;
    case NameCheck::NoMemory:
        return SignerCheck::NameNoMemory;
    case NameCheck::Unreadable:
        return SignerCheck::NameUnreadable;
    case NameCheck::Mismatch:
        break;
    }
    return SignerCheck::PublisherMismatch;
}

}  // namespace

InstallerValidation validateInstaller(const wchar_t* path) {
    InstallerValidation result;
    result.trustStatus = verifyTrust(path);
    if (result.trustStatus == 0) result.signer = checkSigner(path);
    return result;
}

LONG verifyTrust(const wchar_t* path) {
    const TrustFunctions* api = trustFunctions();
    if (!api) {
        LONG status = HRESULT_FROM_WIN32(GetLastError());
        logError(L"WinVerifyTrust error", static_cast<DWORD>(status));
        return status;
    }
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;

    TrustRequest request = {};
    WINTRUST_DATA& trustData = request.data;
    trustData.cbStruct = sizeof(request);
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_NONE;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = api->winVerifyTrust(nullptr, &action, &trustData);

    if (status == 0) {
        logLine(L"The file is signed and the signature is valid.");
    } else {
        const wchar_t* text = L"WinVerifyTrust error";
        for (const TrustStatusText& known : TRUST_STATUS_TEXTS) {
            if (known.status == status) text = known.text;
        }
        logError(text, static_cast<DWORD>(status));
    }

    // Release the verification state; the result does not matter.
    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    api->winVerifyTrust(nullptr, &action, &trustData);
    return status;
}

SignerCheck checkSigner(const wchar_t* path) {
    const TrustFunctions* api = trustFunctions();
    HCERTSTORE storeHandle = nullptr;
    HCRYPTMSG messageHandle = nullptr;
    if (!api || !api->cryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                       CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &storeHandle,
                                       &messageHandle, nullptr)) {
        logError(L"CryptQueryObject failed", GetLastError());
        return SignerCheck::NoSignature;
    }
    Scoped<HCERTSTORE, StoreTraits> storeGuard(storeHandle);
    Scoped<HCRYPTMSG, MessageTraits> messageGuard(messageHandle);

    DWORD signerInfoSize = 0;
    if (!api->cryptMsgGetParam(messageHandle, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &signerInfoSize)) {
        logError(L"CryptMsgGetParam failed to get length of signer info", GetLastError());
        return SignerCheck::NoSignerInfoSize;
    }
    ScopedLocal signerInfo(LocalAlloc(LPTR, signerInfoSize));
    if (!signerInfo) {
        logError(L"LocalAlloc failed for signer info", GetLastError());
        return SignerCheck::NoSignerInfoMemory;
    }
    if (!api->cryptMsgGetParam(messageHandle, CMSG_SIGNER_INFO_PARAM, 0, signerInfo.get(), &signerInfoSize)) {
        logError(L"CryptMsgGetParam failed to get content of signer info", GetLastError());
        return SignerCheck::NoSignerInfo;
    }

    // The signer's certificate is the one with the signer's issuer and serial number.
    auto* signer = static_cast<CMSG_SIGNER_INFO*>(signerInfo.get());
    CERT_INFO certInfo = {};
    certInfo.Issuer = signer->Issuer;
    certInfo.SerialNumber = signer->SerialNumber;
    Scoped<PCCERT_CONTEXT, CertTraits> certificate(api->certFindCertificateInStore(
        storeHandle, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
    if (!certificate) {
        logError(L"CertFindCertificateInStore failed", GetLastError());
        return SignerCheck::NoCertificate;
    }

    NameCheck issuer = readCertificateName(certificate.get(), CERT_NAME_ISSUER_FLAG, nullptr);
    if (issuer != NameCheck::Matches) return signerCheckOf(issuer);
    return signerCheckOf(readCertificateName(certificate.get(), 0, EXPECTED_PUBLISHER));
}

NameCheck readCertificateName(PCCERT_CONTEXT certificate, DWORD flags, const wchar_t* expected) {
    const TrustFunctions* api = trustFunctions();
    DWORD length =
        api ? api->certGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0) : 0;
    if (length == 0) {
        logError(L"CertGetNameString failed to get length information", GetLastError());
        return NameCheck::NoLength;
    }
    ScopedLocal name(LocalAlloc(LPTR, length * sizeof(wchar_t)));
    if (!name) {
        logError(L"LocalAlloc failed", GetLastError());
        return NameCheck::NoMemory;
    }
    auto* text = static_cast<wchar_t*>(name.get());
    if (api->certGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, text, length) == 0) {
        logError(L"CertGetNameString failed to get information from certificate", GetLastError());
        return NameCheck::Unreadable;
    }
    logLine(L"Signing certificate information:");
    logLine(text);
    if (expected && wcscmp(text, expected) != 0) {
        logError(L"Certificate data doesn't match expectation", 0);
        return NameCheck::Mismatch;
    }
    return NameCheck::Matches;
}
