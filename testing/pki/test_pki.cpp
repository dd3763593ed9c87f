#include "test_pki.h"

#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <vector>

namespace qartest {

namespace {

struct StoreHandle {
    HCERTSTORE h = nullptr;
    explicit StoreHandle(HCERTSTORE value) : h(value) {}
    ~StoreHandle() { if (h) CertCloseStore(h, 0); }
    StoreHandle(const StoreHandle&) = delete;
    StoreHandle& operator=(const StoreHandle&) = delete;
};

bool readBytes(const std::wstring& path, std::vector<BYTE>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20);
    DWORD got = 0;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size();
    }
    CloseHandle(file);
    return ok;
}

}  // namespace

std::wstring testPkiFile(const std::wstring& name) {
    std::wstring path = std::wstring(QAR_TEST_PKI_DIR) + L"/" + name;
    for (auto& c : path) if (c == L'/') c = L'\\';
    return path;
}

DWORD trustTestRoot() {
    std::vector<BYTE> der;
    if (!readBytes(testPkiFile(L"root.der"), der)) return GetLastError() ? GetLastError() : ERROR_INVALID_DATA;
    StoreHandle root(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!root.h) return GetLastError();
    // USE_EXISTING: a second call (or a second test process) finds it there.
    if (!CertAddEncodedCertificateToStore(root.h, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
        return GetLastError();
    }
    return ERROR_SUCCESS;
}

LONG verifyTrustStatus(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    return status;
}

}  // namespace qartest
