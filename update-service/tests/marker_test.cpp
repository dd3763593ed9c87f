// The marker file's format and trust rules, and the requester's polling
// interval, checked on the routines themselves.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include "explicit_security.h"
#include "handoff.h"
#include "marker_file.h"
#include "wine_process.h"

using namespace qartest;

namespace {

class MarkerFile : public testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir(L"marker");
        marker_ = dir_ + L"\\qa2_postinstall";
    }
    void TearDown() override { removeTree(dir_); }
    std::wstring dir_, marker_;
};

struct RoundTrip {
    const wchar_t* path;
    std::string bytes;
};

// The writer creates the marker with its explicit descriptor; the reader
// still opens it and trusts its owner.
TEST_F(MarkerFile, WriterAndReaderAgree) {
    const RoundTrip cases[] = {
        {L"C:\\Apps\\Client Tool\\Client Tool.exe", "C:\\Apps\\Client Tool\\Client Tool.exe\r\n"},
        {L"C:\\Apps\\Z\u00fcrich\\app.exe", "C:\\Apps\\Z\xfcrich\\app.exe\r\n"},  // one byte a character
        {L"C:\\Apps\\\u041a\u043b\u0438\u0435\u043d\u0442\\app.exe",
         "\xEF\xBB\xBF" "C:\\Apps\\\xD0\x9A\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82\\app.exe\r\n"},
    };
    for (const RoundTrip& c : cases) {
        ASSERT_EQ(writeMarkerFile(marker_.c_str(), c.path), 0u);
        EXPECT_EQ(readFile(marker_), c.bytes);
        wchar_t path[1024];
        EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 1024), MarkerRead::Found);
        EXPECT_STREQ(path, c.path);
    }
}

TEST_F(MarkerFile, ReaderTakesTheFirstLineOnly) {
    struct Case {
        std::string bytes;
        MarkerRead result;
        const wchar_t* path;
    } cases[] = {
        {"C:\\a.exe\r\nC:\\b.exe\r\n", MarkerRead::Found, L"C:\\a.exe"},
        {"C:\\a.exe\nrest", MarkerRead::Found, L"C:\\a.exe"},
        {"C:\\a.exe\rrest", MarkerRead::Found, L"C:\\a.exe"},
        {"C:\\a.exe", MarkerRead::Found, L"C:\\a.exe"},
        {"", MarkerRead::Empty, L""},
        {"\r\n", MarkerRead::Empty, L""},
        {std::string(1023, 'a') + "\r\n", MarkerRead::Found, nullptr},
        {std::string(1024, 'a') + "\r\n", MarkerRead::TooLong, L""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFile(marker_, c.bytes));
        wchar_t path[1024];
        wmemset(path, L'#', 1024);
        EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 1024), c.result) << c.bytes.size();
        if (c.path) EXPECT_STREQ(path, c.path);
        else EXPECT_EQ(wcslen(path), 1023u);
    }
    DeleteFileW(marker_.c_str());
    wchar_t path[16];
    EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 16), MarkerRead::Missing);
}

// The UTF-8 form: the limit counts units, not bytes; a mark without a path,
// or bytes that are not UTF-8, give no path.
TEST_F(MarkerFile, ReaderOfTheUtf8Form) {
    const std::string bom = "\xEF\xBB\xBF";
    std::string units1023, units1024;
    for (int i = 0; i < 1023; ++i) units1023 += "\xE2\x82\xAC";  // U+20AC, three bytes
    units1024 = units1023 + "\xD0\x9A";
    struct Case {
        std::string bytes;
        MarkerRead result;
        size_t length;
    } cases[] = {
        {bom + units1023 + "\r\n", MarkerRead::Found, 1023},
        {bom + units1024 + "\r\n", MarkerRead::TooLong, 0},
        {bom + units1023, MarkerRead::Found, 1023},  // the whole buffer, no line end
        // Longer than the reader's buffer, which cuts it inside a character.
        {bom + units1023 + units1023 + "\r\n", MarkerRead::TooLong, 0},
        {bom + "\r\n", MarkerRead::Empty, 0},
        {bom, MarkerRead::Empty, 0},
        {bom + "C:\\\xC3(.exe\r\n", MarkerRead::Empty, 0},
        {"\xEF\xBB\r\n", MarkerRead::Found, 2},  // no mark: two Latin-1 units
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFile(marker_, c.bytes));
        wchar_t path[1024];
        wmemset(path, L'#', 1024);
        EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 1024), c.result) << c.bytes.size();
        EXPECT_EQ(wcslen(path), c.length) << c.bytes.size();
        if (c.length == 1023) {
            for (size_t i = 0; i < 1023; ++i) ASSERT_EQ(path[i], L'\u20AC') << i;
        }
    }

    // A path beyond Latin-1 that fills the limit goes out in the UTF-8 form.
    std::wstring longPath(1023, L'\u20AC');
    ASSERT_EQ(writeMarkerFile(marker_.c_str(), longPath.c_str()), 0u);
    EXPECT_EQ(readFile(marker_), bom + units1023 + "\r\n");
}

TEST_F(MarkerFile, WriterReplacesAPlantedLinkWithoutTouchingItsTarget) {
    std::wstring victim = dir_ + L"\\victim.txt";
    ASSERT_TRUE(writeFile(victim, "keep me"));
    ASSERT_TRUE(CreateHardLinkW(marker_.c_str(), victim.c_str(), nullptr));
    wchar_t path[64];
    EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 64), MarkerRead::Untrusted);

    ASSERT_EQ(writeMarkerFile(marker_.c_str(), L"C:\\app.exe"), 0u);
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_EQ(readFile(marker_), "C:\\app.exe\r\n");
    EXPECT_EQ(readMarkerFile(marker_.c_str(), path, 64), MarkerRead::Found);
}

// Wine neither enforces file DACLs nor runs anything as another account, so
// the marker's descriptor is checked as the writer builds it, entry by entry,
// and through AccessCheck for a token that is a member of Users alone.
TEST(MarkerDescriptor, UsersMayReadOnlySystemAndAdministratorsMayWrite) {
    ExplicitSecurity security;
    ASSERT_EQ(buildMarkerSecurity(security), SecurityStep::Built) << security.error();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(security.descriptor(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the temp folder's entries must not be inherited";
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.descriptor(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);
    EXPECT_FALSE(defaulted);

    struct Expected {
        WELL_KNOWN_SID_TYPE who;
        DWORD mask;
    } expected[] = {
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ},
    };
    ASSERT_EQ(dacl->AceCount, 3);
    for (DWORD i = 0; i < 3; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags, 0) << "no inheritance, entry " << i;
        EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, expected[i].who)) << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << i;
    }

    // What a standard user (or an administrator's filtered token) gets: read,
    // never write. The check needs an owner and group in the descriptor.
    alignas(8) BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    SECURITY_DESCRIPTOR checked = *static_cast<SECURITY_DESCRIPTOR*>(security.descriptor());
    ASSERT_TRUE(SetSecurityDescriptorOwner(&checked, system, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorGroup(&checked, system, FALSE));

    alignas(8) BYTE users[SECURITY_MAX_SID_SIZE];
    size = sizeof(users);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
    BOOL member = FALSE;
    HANDLE impersonation = nullptr;
    ASSERT_TRUE(DuplicateToken(process, SecurityImpersonation, &impersonation));
    ASSERT_TRUE(CheckTokenMembership(impersonation, users, &member));
    ASSERT_TRUE(member) << "the test token must be a member of Users";

    // Administrators for deny only, as in a filtered token.
    alignas(8) BYTE admins[SECURITY_MAX_SID_SIZE];
    size = sizeof(admins);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    SID_AND_ATTRIBUTES disabled[] = {{admins, 0}};
    HANDLE restrictedPrimary = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, disabled, 0, nullptr, 0, nullptr, &restrictedPrimary))
        << GetLastError();
    HANDLE restricted = nullptr;
    ASSERT_TRUE(DuplicateToken(restrictedPrimary, SecurityImpersonation, &restricted));
    CloseHandle(restrictedPrimary);

    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    struct Check {
        DWORD desired;
        BOOL granted;
    } checks[] = {{FILE_GENERIC_READ, TRUE}, {FILE_GENERIC_WRITE, FALSE}, {DELETE, FALSE}, {WRITE_DAC, FALSE}};
    for (const Check& c : checks) {
        PRIVILEGE_SET privileges;
        DWORD privilegesSize = sizeof(privileges);
        DWORD grantedAccess = 0;
        BOOL status = FALSE;
        SetLastError(0xdeadbeef);
        ASSERT_TRUE(AccessCheck(&checked, restricted, c.desired, &mapping, &privileges, &privilegesSize,
                                &grantedAccess, &status))
            << GetLastError();
        EXPECT_EQ(status, c.granted) << std::hex << c.desired;
    }
    CloseHandle(restricted);
    CloseHandle(impersonation);
    CloseHandle(process);
}

TEST(MarkerOwner, OnlySystemAdministratorsOrTheUserItself) {
    const wchar_t* self = L"S-1-5-21-1111-2222-3333-1001";
    struct Case {
        const wchar_t* owner;
        bool trusted;
    } cases[] = {
        {L"S-1-5-18", true},                       // local system
        {L"S-1-5-32-544", true},                   // Administrators
        {self, true},                              // the clone's own user
        {L"S-1-5-21-1111-2222-3333-1002", false},  // another user
        {L"S-1-5-32-545", false},                  // Users
        {L"S-1-1-0", false},                       // Everyone
        {L"S-1-5-19", false},                      // local service
    };
    PSID selfSid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(self, &selfSid));
    for (const Case& c : cases) {
        PSID owner = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(c.owner, &owner));
        EXPECT_EQ(isTrustedMarkerOwner(owner, selfSid), c.trusted) << toUtf8(c.owner);
        LocalFree(owner);
    }
    EXPECT_FALSE(isTrustedMarkerOwner(nullptr, selfSid));
    LocalFree(selfSid);
}

TEST(Requester, PollingIntervalIsATenthOfTheWaitHintWithinBounds) {
    struct Case {
        DWORD waitHint, interval;
    } cases[] = {{30000, 3000}, {500, 1000}, {200000, 10000}, {0, 1000}, {10000, 1000}, {100000, 10000}, {45000, 4500}};
    for (const Case& c : cases) EXPECT_EQ(pollingInterval(c.waitHint), c.interval) << c.waitHint;
}

}  // namespace
