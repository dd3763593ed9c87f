// The binaries of a signed release package (made by the release.signed_package
// test with the test PKI's "Norvale Data AG" leaf): each carries a signature
// that Wine's real WinVerifyTrust accepts, signed by the publisher the update
// service expects of installers, and each still works after stripping and
// signing: the programs run, the libraries load and export their entry points.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "signature.h"
#include "test_pki.h"
#include "wine_process.h"

using namespace qartest;

namespace {

std::wstring packaged(const wchar_t* name) { return winPath(SIGNED_PACKAGE_DIR) + L"\\" + name; }

const wchar_t* const kPackaged[] = {L"qarupdateservice.exe", L"qar-client-cli.exe", L"launcher.exe",
                                    L"qa2winutil.dll", L"wbnative.dll"};

class SignedPackage : public testing::TestWithParam<const wchar_t*> {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(trustTestRoot(), 0u); }
};

TEST_P(SignedPackage, CarriesATrustedSignatureByTheExpectedPublisher) {
    std::wstring path = packaged(GetParam());
    ASSERT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << toUtf8(path);
    EXPECT_EQ(verifyTrustStatus(path), 0);
    // The update service's own check: trusted, and the signer's name is the
    // publisher it requires of the installers it runs.
    InstallerValidation validation = validateInstaller(path.c_str());
    EXPECT_EQ(validation.trustStatus, 0);
    EXPECT_EQ(validation.signer, SignerCheck::Matches);
}

INSTANTIATE_TEST_SUITE_P(Binaries, SignedPackage, testing::ValuesIn(kPackaged),
                         [](const testing::TestParamInfo<const wchar_t*>& info) {
                             std::string name = toUtf8(info.param);
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// Help options end each program before it touches anything else: the update
// service with -1, the others with 0.
TEST(SignedPackageWorks, ProgramsRun) {
    struct Case {
        const wchar_t* program;
        DWORD exitCode;
    };
    const Case cases[] = {{L"qarupdateservice.exe", static_cast<DWORD>(-1)},
                          {L"qar-client-cli.exe", 0},
                          {L"launcher.exe", 0}};
    for (const Case& c : cases) {
        ProcessResult r = runProgram(packaged(c.program), {L"--help"});
        EXPECT_EQ(r.exitCode, c.exitCode) << toUtf8(c.program) << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << toUtf8(c.program) << "\n" << r.out;
    }
}

TEST(SignedPackageWorks, LibrariesLoadAndExport) {
    struct Case {
        const wchar_t* library;
        const char* exportName;
    };
    const Case cases[] = {
#ifdef _WIN64
        {L"qa2winutil.dll", "Java_ch_qar_qarapp2_windows_utils_JNICodeSigningVerifier_verifyExecutable"},
#else
        {L"qa2winutil.dll", "_Java_ch_qar_qarapp2_windows_utils_JNICodeSigningVerifier_verifyExecutable@12"},
#endif
        {L"wbnative.dll", "registerNatives"},
        {L"wbnative.dll", "registerNativesBorder"},
    };
    for (const Case& c : cases) {
        HMODULE module = LoadLibraryExW(packaged(c.library).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        ASSERT_NE(module, nullptr) << toUtf8(c.library) << ": " << GetLastError();
        EXPECT_NE(GetProcAddress(module, c.exportName), nullptr) << toUtf8(c.library) << " " << c.exportName;
        FreeLibrary(module);
    }
}

}  // namespace
