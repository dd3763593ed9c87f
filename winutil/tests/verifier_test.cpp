// verifyExecutable against Wine's real wintrust and crypt32: results and
// diagnostic lines for files signed with the test PKI, unsigned, changed,
// missing, and named by paths beyond ASCII.
#include "natives_fixture.h"

#include "console_capture.h"
#include "test_pki.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct Verification {
    jlong result;
    std::vector<std::string> lines;
};

std::string hexLine(jlong result) {
    char line[64];
    std::snprintf(line, sizeof(line), "WinVerifyTrust error: 0x%lx", static_cast<unsigned long>(result & 0xFFFFFFFF));
    return line;
}

class VerifyExecutable : public Qa2winutilTest {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(qartest::trustTestRoot(), static_cast<DWORD>(ERROR_SUCCESS)); }

    void SetUp() override {
        Qa2winutilTest::SetUp();
        if (HasFatalFailure()) return;
        // Beyond ASCII, and beyond the Basic Multilingual Plane: modified UTF-8
        // carries U+1F600 as two encoded surrogates.
        dir_ = qartest::makeTempDir(L"Z\u00fcrich \u65e5\u672c \U0001F600");
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        qartest::removeTree(dir_);
        Qa2winutilTest::TearDown();
    }

    Verification verify(jstring path) {
        qartest::ConsoleCapture capture;
        jlong result = vm.call(verifyExecutable, verifier, path);
        return {result, qartest::lines(capture.out())};
    }
    Verification verify(const std::wstring& path) { return verify(vm.newString(path)); }

    std::wstring copyInto(const wchar_t* program, const std::wstring& name) {
        std::wstring target = dir_ + L"\\" + name;
        EXPECT_TRUE(CopyFileW(qartest::winPath(program).c_str(), target.c_str(), FALSE)) << GetLastError();
        return target;
    }

    std::wstring dir_;
};

struct FileCase {
    const char* name;
    const wchar_t* file;
    LONG status;
};

// WinVerifyTrust's codes as Windows gives them (Wine 8.0 agrees for leaves signed with SHA-1).
const FileCase kFiles[] = {
    {"SignedAndTrusted", QAR_PKI_SAMPLE_NORVALE_EXE, 0},
    {"Unsigned", QAR_PKI_SAMPLE_EXE, static_cast<LONG>(TRUST_E_NOSIGNATURE)},
    {"ChangedAfterSigning", QAR_PKI_SAMPLE_CHANGED_BYTE_EXE, static_cast<LONG>(TRUST_E_BAD_DIGEST)},
    {"ExpiredCertificate", QAR_PKI_SAMPLE_NORVALE_EXPIRED_EXE, static_cast<LONG>(CERT_E_EXPIRED)},
    {"UntrustedRoot", QAR_PKI_SAMPLE_UNTRUSTED_ROOT_EXE, static_cast<LONG>(CERT_E_UNTRUSTEDROOT)},
};

// The lines the table of results prescribes. For an unsigned file the second
// line carries the last error as a signed decimal: Windows and Wine set it to
// the status itself.
std::vector<std::string> expectedLines(LONG status) {
    if (status == 0) return {"WinVerifyTrust successful"};
    if (status == static_cast<LONG>(TRUST_E_NOSIGNATURE))
        return {"WinVerifyTrust error: TRUST_E_NOSIGNATURE", "Last error: -2146762496"};
    return {hexLine(status)};
}

class VerifyFiles : public VerifyExecutable, public ::testing::WithParamInterface<FileCase> {};

TEST_P(VerifyFiles, ResultSignExtendedAndLines) {
    const FileCase& c = GetParam();
    Verification v = verify(qartest::winPath(c.file));
    EXPECT_EQ(v.result, static_cast<jlong>(c.status));  // negative HRESULTs stay negative in 64 bits
    EXPECT_EQ(v.lines, expectedLines(c.status));
}

INSTANTIATE_TEST_SUITE_P(Files, VerifyFiles, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifyExecutable, UnsignedIsTheNegativeNoSignatureCode) {
    EXPECT_EQ(verify(qartest::winPath(QAR_PKI_SAMPLE_EXE)).result, -2146762496LL);
}

TEST_F(VerifyExecutable, MissingFileIsAnErrorWithItsCode) {
    Verification v = verify(dir_ + L"\\missing.exe");
    EXPECT_NE(v.result, 0);
    EXPECT_EQ(v.lines, std::vector<std::string>{hexLine(v.result)});
}

TEST_F(VerifyExecutable, PathsBeyondAsciiNameTheSameFile) {
    // A file found proves the path: a wrong one would be a missing file.
    Verification trusted = verify(copyInto(QAR_PKI_SAMPLE_NORVALE_EXE, L"sign\u00e9 \u7f72\u540d.exe"));
    EXPECT_EQ(trusted.result, 0);
    EXPECT_EQ(trusted.lines, expectedLines(0));
    Verification unsigned_ = verify(copyInto(QAR_PKI_SAMPLE_EXE, L"\U0001F512 unsigned.exe"));
    EXPECT_EQ(unsigned_.result, static_cast<jlong>(static_cast<LONG>(TRUST_E_NOSIGNATURE)));
}

TEST_F(VerifyExecutable, NullPathIsInvalidArgument) {
    Verification v = verify(static_cast<jstring>(nullptr));
    EXPECT_EQ(v.result, static_cast<jlong>(E_INVALIDARG));
    EXPECT_EQ(v.lines, std::vector<std::string>{"WinVerifyTrust error: 0x80070057"});
}

TEST_F(VerifyExecutable, PathWithNulIsInvalidArgumentNotItsPrefix) {
    // Cut at the NUL, the path would name the trusted file.
    std::wstring trusted = copyInto(QAR_PKI_SAMPLE_NORVALE_EXE, L"trusted.exe");
    Verification v = verify(trusted + L"\0.txt"s);
    EXPECT_EQ(v.result, static_cast<jlong>(E_INVALIDARG));
    EXPECT_EQ(v.lines, std::vector<std::string>{"WinVerifyTrust error: 0x80070057"});
}

TEST_F(VerifyExecutable, OutOfMemoryInTheVmIsNoJavaException) {
    vm.failNext("GetStringUTFChars");
    Verification v = verify(qartest::winPath(QAR_PKI_SAMPLE_NORVALE_EXE));
    EXPECT_EQ(v.result, static_cast<jlong>(E_OUTOFMEMORY));
    EXPECT_EQ(v.lines, std::vector<std::string>{"WinVerifyTrust error: 0x8007000e"});
    EXPECT_EQ(vm.takeException(), "");  // the stand-in fails the test if the native left one pending
}

}  // namespace
