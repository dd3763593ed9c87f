// Authenticode validation of an installer copy against Wine's real wintrust
// and crypt32, with files signed by the test PKI. Where Wine's status codes
// differ from Windows, the checks assert what Windows means (a non-zero
// status, the logged line).
#include <gtest/gtest.h>

#include <windows.h>

#include "console_capture.h"
#include "signature.h"
#include "test_pki.h"
#include "wine_process.h"

using namespace qartest;

namespace {

// Collects what the routine writes to standard output, timestamps removed.
std::string captureLog(InstallerValidation (*routine)(const wchar_t*), const std::wstring& path,
                       InstallerValidation* result) {
    ConsoleCapture capture;
    *result = routine(path.c_str());
    std::string text;
    for (const std::string& line : unstampedLines(capture.out())) text += line + "\n";
    return text;
}

struct SignatureCase {
    const char* name;
    const wchar_t* file;
    bool valid;             // signed, trusted, by the expected publisher
    bool signerExamined;    // the trust check passed and the names were logged
    const char* errorLine;  // the logged error, or nullptr
};

class Validation : public testing::TestWithParam<SignatureCase> {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(trustTestRoot(), 0u); }
};

TEST_P(Validation, ValidatesTheCopy) {
    const SignatureCase& c = GetParam();
    InstallerValidation result;
    std::string log = captureLog(validateInstaller, winPath(c.file), &result);
    if (c.valid) {
        EXPECT_TRUE(result.passed()) << log;
        EXPECT_EQ(log,
                  "The file is signed and the signature is valid.\n"
                  "Signing certificate information:\nQAR Test Root CA\n"
                  "Signing certificate information:\nNorvale Data AG\n");
        return;
    }
    EXPECT_FALSE(result.passed()) << log;
    EXPECT_EQ(log.find("Signing certificate information:") != std::string::npos, c.signerExamined) << log;
    if (c.signerExamined) {
        EXPECT_EQ(result.trustStatus, 0);
        EXPECT_EQ(result.signer, SignerCheck::PublisherMismatch);
        EXPECT_NE(log.find("The file is signed and the signature is valid.\n"), std::string::npos) << log;
    } else {
        EXPECT_NE(result.trustStatus, 0);
        EXPECT_EQ(log.find("signature is valid"), std::string::npos) << log;
    }
    EXPECT_NE(log.find(c.errorLine), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Installers, Validation,
    testing::Values(
        SignatureCase{"TrustedNorvale", QAR_PKI_SAMPLE_NORVALE_EXE, true, true, nullptr},
        SignatureCase{"Unsigned", QAR_PKI_SAMPLE_EXE, false, false,
                      "The file is not signed or the signature is invalid - code 0x800b0100\n"},
        // A byte changed after signing, an untrusted root, an expired leaf:
        // WinVerifyTrust refuses each with its own status.
        SignatureCase{"ChangedByte", QAR_PKI_SAMPLE_CHANGED_BYTE_EXE, false, false, "WinVerifyTrust error - code 0x"},
        SignatureCase{"UntrustedRoot", QAR_PKI_SAMPLE_UNTRUSTED_ROOT_EXE, false, false,
                      "WinVerifyTrust error - code 0x800b0109\n"},
        SignatureCase{"Expired", QAR_PKI_SAMPLE_NORVALE_EXPIRED_EXE, false, false,
                      "WinVerifyTrust error - code 0x800b0101\n"},
        SignatureCase{"OtherPublisher", QAR_PKI_SAMPLE_OTHER_PUBLISHER_EXE, false, true,
                      "Signing certificate information:\nOther Publisher AG\n"
                      "Certificate data doesn't match expectation - code 0x00000000\n"},
        SignatureCase{"SubjectDiffersInCase", QAR_PKI_SAMPLE_NORVALE_CASE_EXE, false, true,
                      "Signing certificate information:\nnorvale data AG\n"
                      "Certificate data doesn't match expectation - code 0x00000000\n"},
        SignatureCase{"SubjectWithSuffix", QAR_PKI_SAMPLE_NORVALE_SUFFIX_EXE, false, true,
                      "Signing certificate information:\nNorvale Data AG Schweiz\n"
                      "Certificate data doesn't match expectation - code 0x00000000\n"}),
    [](const testing::TestParamInfo<SignatureCase>& info) { return std::string(info.param.name); });

TEST(ValidationOfAMissingFile, IsRefusedBeforeTheSigner) {
    InstallerValidation result;
    std::string log = captureLog(validateInstaller, L"C:\\no\\such\\installer.exe", &result);
    EXPECT_NE(result.trustStatus, 0);
    EXPECT_EQ(log.find("Signing certificate information:"), std::string::npos) << log;
}

}  // namespace
