// The test PKI under Wine's real wintrust and crypt32: copies signed under the
// trusted root verify, the others fail with the codes Windows gives them, and
// each copy's signer carries the intended common name.
#include "test_pki.h"
#include "wine_process.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// The simple display name (the CN) of the certificate that signed the file.
std::wstring signerName(const std::wstring& path) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG msg = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &msg, nullptr)) {
        return L"<no signature>";
    }
    std::wstring name = L"<no signer>";
    DWORD size = 0;
    if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        std::vector<BYTE> buffer(size);
        auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
        if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
            CERT_INFO wanted{};
            wanted.Issuer = signer->Issuer;
            wanted.SerialNumber = signer->SerialNumber;
            PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                             CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
            if (cert) {
                wchar_t text[256] = L"";
                CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 256);
                name = text;
                CertFreeCertificateContext(cert);
            }
        }
    }
    CryptMsgClose(msg);
    CertCloseStore(store, 0);
    return name;
}

struct Case {
    const char* what;
    const wchar_t* file;
    LONG status;          // what Windows (and Wine 8.0 for SHA-1 leaves) reports
    const wchar_t* signer;
};

const Case kCases[] = {
    {"unsigned", QAR_PKI_SAMPLE_EXE, static_cast<LONG>(TRUST_E_NOSIGNATURE), L"<no signature>"},
    {"Norvale Data AG", QAR_PKI_SAMPLE_NORVALE_EXE, 0, L"Norvale Data AG"},
    {"other publisher", QAR_PKI_SAMPLE_OTHER_PUBLISHER_EXE, 0, L"Other Publisher AG"},
    {"name differing in case", QAR_PKI_SAMPLE_NORVALE_CASE_EXE, 0, L"norvale data AG"},
    {"name with a suffix", QAR_PKI_SAMPLE_NORVALE_SUFFIX_EXE, 0, L"Norvale Data AG Schweiz"},
    {"expired leaf", QAR_PKI_SAMPLE_NORVALE_EXPIRED_EXE, static_cast<LONG>(CERT_E_EXPIRED), L"Norvale Data AG"},
    {"untrusted root", QAR_PKI_SAMPLE_UNTRUSTED_ROOT_EXE, static_cast<LONG>(CERT_E_UNTRUSTEDROOT),
     L"Norvale Data AG"},
    {"byte changed after signing", QAR_PKI_SAMPLE_CHANGED_BYTE_EXE, static_cast<LONG>(TRUST_E_BAD_DIGEST),
     L"Norvale Data AG"},
};

class TestPki : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() {
        // Twice: the second call must find the root already there.
        ASSERT_EQ(qartest::trustTestRoot(), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(qartest::trustTestRoot(), static_cast<DWORD>(ERROR_SUCCESS));
    }
};

TEST_P(TestPki, VerifiesAsWindowsWould) {
    const Case& c = GetParam();
    std::wstring path = qartest::winPath(c.file);
    EXPECT_EQ(qartest::verifyTrustStatus(path), c.status) << c.what << ": " << qartest::toUtf8(path);
    EXPECT_EQ(qartest::toUtf8(signerName(path)), qartest::toUtf8(c.signer)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Copies, TestPki, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.what; *p; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(TestPkiRoot, TheSecondRootIsNotTrusted) {
    ASSERT_EQ(qartest::trustTestRoot(), static_cast<DWORD>(ERROR_SUCCESS));
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    ASSERT_NE(root, nullptr);
    auto find = [root](const wchar_t* cn) {
        PCCERT_CONTEXT cert = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, cn,
                                                         nullptr);
        if (cert) CertFreeCertificateContext(cert);
        return cert != nullptr;
    };
    EXPECT_TRUE(find(L"QAR Test Root CA"));
    EXPECT_FALSE(find(L"QAR Untrusted Test Root CA"));
    CertCloseStore(root, 0);
}

}  // namespace
