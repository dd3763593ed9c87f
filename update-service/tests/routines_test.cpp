// In-process tests of routines whose effect Wine does not let a black-box test
// observe: the DACL extension (Wine stores no service security), the error and
// warning texts, and the program's resources.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstring>

#include "console_capture.h"
#include "explicit_security.h"
#include "handoff.h"
#include "logging.h"
#include "scoped.h"
#include "service_registration.h"
#include "wine_process.h"

using namespace qartest;

namespace {

struct DaclCase {
    const wchar_t* sddl;  // security descriptor to extend
    int existingAces;
    const char* name;
};

class LocalStartDacl : public testing::TestWithParam<DaclCase> {};

TEST_P(LocalStartDacl, AppendsTheLocalAceBehindTheExistingOnes) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(GetParam().sddl, SDDL_REVISION_1, &sd, nullptr));
    alignas(8) BYTE out[EXTENDED_DACL_SIZE + 16];
    memset(out, 0xCC, sizeof(out));
    ASSERT_TRUE(buildLocalStartDacl(sd, out));
    LocalFree(sd);

    auto* acl = reinterpret_cast<PACL>(out);
    EXPECT_TRUE(IsValidAcl(acl));
    EXPECT_EQ(acl->AclSize, EXTENDED_DACL_SIZE);
    ASSERT_EQ(acl->AceCount, GetParam().existingAces + 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, acl->AceCount - 1, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Mask, 0x000201FDu);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &sid));
    EXPECT_STREQ(sid, L"S-1-2-0");
    LocalFree(sid);
    for (size_t i = EXTENDED_DACL_SIZE; i < sizeof(out); ++i) ASSERT_EQ(out[i], 0xCC) << "written past the buffer";
}

INSTANTIATE_TEST_SUITE_P(Dacls, LocalStartDacl,
                         testing::Values(DaclCase{L"D:", 0, "Empty"},  // what Wine's service manager returns
                                         DaclCase{L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;IU)", 3, "ThreeAces"}),
                         [](const testing::TestParamInfo<DaclCase>& info) { return std::string(info.param.name); });

TEST(LocalStartDaclRefusal, AbsentDaclIsReportedNotRead) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SY", SDDL_REVISION_1, &sd, nullptr));
    alignas(8) BYTE out[EXTENDED_DACL_SIZE];
    memset(out, 0xCC, sizeof(out));
    ConsoleCapture capture;
    bool built = buildLocalStartDacl(sd, out);
    std::string text = capture.out();
    LocalFree(sd);
    EXPECT_FALSE(built);
    EXPECT_NE(text.find("The service has no DACL to extend. - code 0x00000538"), std::string::npos) << text;
    EXPECT_EQ(out[0], 0xCC);
}

TEST(LocalStartDaclRefusal, DaclLargerThanTheBufferIsNotCopied) {
    // 60 ACEs for distinct SIDs make a DACL of well over 1024 bytes.
    std::wstring sddl = L"D:";
    for (int i = 0; i < 60; ++i) sddl += L"(A;;GA;;;S-1-5-21-1-2-3-" + std::to_wstring(1000 + i) + L")";
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
    alignas(8) BYTE out[EXTENDED_DACL_SIZE + 16];
    memset(out, 0xCC, sizeof(out));
    ConsoleCapture capture;
    bool built = buildLocalStartDacl(sd, out);
    std::string text = capture.out();
    LocalFree(sd);
    EXPECT_FALSE(built);
    EXPECT_NE(text.find("The service's DACL does not fit the buffer. - code 0x0000007a"), std::string::npos) << text;
    for (BYTE b : out) ASSERT_EQ(b, 0xCC);
}

TEST(LogTexts, ErrorAndWarningFormats) {
    struct Case {
        void (*log)();
        const char* expected;
    } cases[] = {
        {[] { logError(L"Certificate data doesn't match expectation", 0); },
         "  Certificate data doesn't match expectation - code 0x00000000\r\n"},
        {[] { logError(L"Failed to access the SCManager.", 5); }, "  Failed to access the SCManager. - code 0x00000005\r\n"},
        {[] { logError(L"WinVerifyTrust", 0x800B0100); }, "  WinVerifyTrust - code 0x800b0100\r\n"},
        {[] { SetLastError(1234); logWarning(L"Something is odd"); }, "  Something is odd 1234\r\n"},
    };
    for (const Case& c : cases) {
        ConsoleCapture capture;
        c.log();
        std::string text = capture.out();
        ASSERT_GE(text.size(), 21u);
        EXPECT_EQ(text.substr(19), c.expected);
    }
}

TEST(LogTexts, OverlongErrorTextIsCutAtTheBuffer) {
    std::wstring longText(2000, L'x');
    ConsoleCapture capture;
    logError(longText.c_str(), 1);
    std::string text = capture.out();
    // 511 units of composed text plus the timestamp, two blanks and CR LF.
    EXPECT_EQ(text.size(), 19u + 2 + 511 + 2) << text.size();
}

// Longer than the converter's stack buffer: the whole line reaches the
// console and the log file, each unit as one byte ('?' beyond U+00FF).
TEST(LogTexts, LongLineReachesConsoleAndLogFileWhole) {
    std::wstring text;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        text += L"a\u00e9\u0416"[i % 3];
        expected += "a\xe9?"[i % 3];
    }
    std::wstring temp = makeTempDir(L"longline");
    wchar_t savedTmp[MAX_PATH] = L"";
    DWORD hadTmp = GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    ConsoleCapture capture;
    LogFileOpen opened = openLogFile();
    logLine(text.c_str());
    if (logFile) fclose(logFile);
    logFile = nullptr;
    std::string out = capture.out();
    SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);

    ASSERT_EQ(opened, LogFileOpen::Opened);
    size_t lineAt = out.find("\r\n") + 2;  // behind "logfile path: ..."
    ASSERT_EQ(out.size(), lineAt + 19 + 2 + 3000 + 2) << out.substr(0, lineAt);
    EXPECT_EQ(out.substr(lineAt + 19), "  " + expected + "\r\n");
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((temp + L"\\log_*.txt").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    auto log = readFile(temp + L"\\" + found.cFileName);
    removeTree(temp);
    ASSERT_TRUE(log);
    ASSERT_EQ(log->size(), 19u + 2 + 3000 + 2);
    EXPECT_EQ(log->substr(19), "  " + expected + "\r\n");
}

TEST(Identity, IsLocalSystemAnswersForThisProcess) {
    bool isSystem = true;
    EXPECT_EQ(isLocalSystem(&isSystem), IdentityCheck::Checked);
    EXPECT_FALSE(isSystem);  // nothing runs as LocalSystem here
}

TEST(Identity, LocalSystemSidIsBuiltOnce) {
    PSID sid = localSystemSid();
    ASSERT_TRUE(sid) << GetLastError();
    EXPECT_TRUE(IsWellKnownSid(sid, WinLocalSystemSid));
    EXPECT_EQ(localSystemSid(), sid);
}

TEST(ServiceState, FailedQueryLeavesTheCallersHandleOpen) {
    // A manager handle is no service handle: the query fails. The caller
    // still owns the handle and closes it itself.
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_TRUE(manager) << GetLastError();
    DWORD state = 0, checkPoint = 0, interval = 0;
    ConsoleCapture capture;
    ServiceQuery result = queryServiceState(manager.get(), &state, &checkPoint, &interval);
    std::string text = capture.out();
    EXPECT_EQ(result, ServiceQuery::Failed);
    EXPECT_NE(text.find("  Failed to query the service status. - code 0x"), std::string::npos) << text;
    // A closed handle would fail with ERROR_INVALID_HANDLE instead.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenServiceW(manager.get(), L"qar-no-such-service", SERVICE_QUERY_STATUS));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
}

struct MessageCase {
    DWORD id;
    const wchar_t* english;
    const wchar_t* german;
};

const MessageCase MESSAGES[] = {
    {0x40020002, L"Information from the service: %2", L"Information vom Service: %2"},
    {0xC0020001, L"An error has occurred (%2).", L"Ein Fehler ist aufgetreten (%2)."},
    {0x400203E8, L"Installing the QAR Client Updater Service.", L"Der QAR Client Updater Service wird installiert."},
    {0x400203E9, L"QAR Client Updater Service successfully installed.",
     L"Der QAR Client Updater Service wurde erfolgreich installiert."},
    {0x400203EA, L"Removing the QAR Client Updater Service.", L"Der QAR Client Updater Service wird entfernt."},
    {0x400203EB, L"QAR Client Updater Service removed successfully.",
     L"Der QAR Client Updater Service konnte erfolgreich entfernt werden."},
    {0x400203EC, L"QAR Client Updater Service starting.", L"Der QAR Client Updater Service wird gestartet."},
    {0x400203ED, L"QAR Client Updater Service successfully started.",
     L"Der QAR Client Updater Service konnte erfolgreich gestartet werden."},
    {0x400203EE, L"QAR Client Updater Service execution requested.",
     L"Die Ausf\u00fchrung des QAR Client Updater Services wurde angefordert."},
    {0x400203EF, L"QAR Client Updater Service execution request succeeded.",
     L"Die Anforderung f\u00fcr die Ausf\u00fchrung des QAR Client Updater Service war erfolgreich."},
    {0x400203F0, L"QAR Client Updater Service executing.", L"Der QAR Client Updater Service wird ausgef\u00fchrt."},
    {0x400203F1, L"QAR Client Updater Service successfully executed.",
     L"Der QAR Client Updater Service wurde erfolgreich ausgef\u00fchrt."},
    {0x400203F2, L"Committing the QAR Client installation.", L"Die QAR Client Installation wird abgeschlossen."},
    {0x400203F3, L"QAR Client installation successfully committed.",
     L"Die QAR Client Installation wurde erfolgreich abgeschlossen."},
};

TEST(Resources, MessageTableInEnglishAndGerman) {
    HMODULE exe = LoadLibraryExW(winPath(QARUPDATESERVICE_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(exe);
    for (const MessageCase& m : MESSAGES) {
        for (auto [language, expected] : {std::pair{1033, m.english}, std::pair{1031, m.german}}) {
            wchar_t text[512] = {};
            SetLastError(0xdeadbeef);
            DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, exe, m.id, language,
                                     text, 512, nullptr);
            EXPECT_NE(n, 0u) << std::hex << m.id << " lang " << std::dec << language << " error " << GetLastError();
            EXPECT_EQ(std::wstring(text), std::wstring(expected) + L"\r\n")
                << std::hex << m.id << " lang " << std::dec << language;
        }
    }
    FreeLibrary(exe);
}

TEST(Resources, ManifestAsksForInvokerRightsAndVersionIsPresent) {
    HMODULE exe = LoadLibraryExW(winPath(QARUPDATESERVICE_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(exe);
    HRSRC res = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(res);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(exe, res))), SizeofResource(exe, res));
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    FreeLibrary(exe);

    std::wstring path = winPath(QARUPDATESERVICE_EXE);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void**)&fixed, &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
}

}  // namespace
