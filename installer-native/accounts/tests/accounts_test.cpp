// The account natives against Wine's own advapi32, userenv, shell32 and
// netapi32: tokens, SID lookups, account names, profile folders, LSA rights.
#include "wbnative_test.h"

#include <lm.h>
#include <sddl.h>

#include <string>

namespace {

using qarjvm::Jvm;

std::wstring textOf(Jvm& vm, jstring s) { return s ? vm.text(s) : L"<null>"; }

std::wstring processUserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[512];
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    CloseHandle(token);
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::wstring out = text ? text : L"";
    LocalFree(text);
    return out;
}

TEST(Win32UserInfo, CurrentUserAndElevation) {
    Jvm vm;
    EXPECT_EQ(textOf(vm, vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserSid0),
                                 jclass(nullptr))),
              processUserSid());
    // Wine runs every process elevated.
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getElevationType0),
                      jclass(nullptr)),
              TokenElevationTypeFull);
}

TEST(Win32UserInfo, GroupMembershipFromTheThreadTokenFirst) {
    Jvm vm;
    auto isMember = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_isMemberOfGroup0);
    EXPECT_TRUE(vm.call(isMember, jclass(nullptr), jint(DOMAIN_ALIAS_RID_ADMINS)));
    EXPECT_FALSE(vm.call(isMember, jclass(nullptr), jint(DOMAIN_ALIAS_RID_BACKUP_OPS)));

    // A filtered administrator token: Administrators kept for deny only,
    // impersonated by this thread.
    HANDLE process = nullptr, restricted = nullptr, impersonation = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    BYTE adminsBuffer[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof adminsBuffer;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsBuffer, &adminsSize));
    SID_AND_ATTRIBUTES disable{adminsBuffer, 0};
    ASSERT_TRUE(CreateRestrictedToken(process, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted));
    ASSERT_TRUE(DuplicateToken(restricted, SecurityImpersonation, &impersonation));
    ASSERT_TRUE(SetThreadToken(nullptr, impersonation));
    jboolean filtered = vm.call(isMember, jclass(nullptr), jint(DOMAIN_ALIAS_RID_ADMINS));
    std::wstring sid =
        textOf(vm, vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserSid0),
                           jclass(nullptr)));
    RevertToSelf();
    EXPECT_FALSE(filtered);
    EXPECT_EQ(sid, processUserSid());
    EXPECT_TRUE(vm.call(isMember, jclass(nullptr), jint(DOMAIN_ALIAS_RID_ADMINS)));
    CloseHandle(impersonation);
    CloseHandle(restricted);
    CloseHandle(process);
}

TEST(Win32UserInfo, ExecuteElevatedStartsTheProgram) {
    Jvm vm;
    auto execute = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_executeElevated0);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring marker = std::wstring(temp) + L"wbnative-elevated-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(marker.c_str());
    EXPECT_TRUE(vm.call(execute, jclass(nullptr), vm.newString(L"cmd.exe"),
                        vm.newString(L"/c echo started> \"" + marker + L"\""), vm.newString(temp), jint(SW_HIDE)));
    // It does not wait: the program writes its marker on its own time.
    for (int i = 0; i < 200 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
    Sleep(200);
    DeleteFileW(marker.c_str());

    EXPECT_FALSE(vm.call(execute, jclass(nullptr), vm.newString(L"C:\\no\\such\\program.exe"), jstring(nullptr),
                         jstring(nullptr), jint(SW_HIDE)));
}

// Wine's ShellExecuteW ended this whole process, without a word, for a
// name longer than Windows takes: refused before, as Windows refuses it.
TEST(Win32UserInfo, ExecuteElevatedRefusesOverlongNames) {
    Jvm vm;
    auto execute = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_executeElevated0);
    jstring overlong = vm.newString(std::wstring(40000, L'a'));
    EXPECT_FALSE(vm.call(execute, jclass(nullptr), overlong, jstring(nullptr), jstring(nullptr), jint(SW_HIDE)));
    EXPECT_FALSE(vm.call(execute, jclass(nullptr), vm.newString(L"C:\\no\\such\\program.exe"), overlong,
                         jstring(nullptr), jint(SW_HIDE)));
    EXPECT_FALSE(vm.call(execute, jclass(nullptr), vm.newString(L"C:\\no\\such\\program.exe"), jstring(nullptr),
                         overlong, jint(SW_HIDE)));
}

std::wstring lookedUp(const wchar_t* sidText, bool withDomain) {
    PSID sid = nullptr;
    ConvertStringSidToSidW(sidText, &sid);
    wchar_t name[256], domain[256];
    DWORD n = 256, d = 256;
    SID_NAME_USE use;
    EXPECT_TRUE(LookupAccountSidW(nullptr, sid, name, &n, domain, &d, &use)) << GetLastError();
    LocalFree(sid);
    return withDomain ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

TEST(Win32UserInfo, AccountNamesInEveryForm) {
    Jvm vm;
    auto accountName = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getAccountName0);
    const std::wstring user = processUserSid();
    struct Case {
        std::wstring sid;
        bool nameOnly;
        std::wstring expected;
    } cases[] = {
        {L"S-1-5-18", false, L"NT AUTHORITY\\System"},
        {L"S-1-5-18", true, L"NT AUTHORITY\\System"},
        {L"S-1-5-19", false, L"NT AUTHORITY\\LocalService"},
        {L"S-1-5-20", true, L"NT AUTHORITY\\NetworkService"},
        {L"S-1-5-32-544", false, L".\\Administrators"},
        {L"S-1-5-32-544", true, L"Administrators"},
        {user, false, lookedUp(user.c_str(), true)},  // the machine's name as the domain
        {user, true, lookedUp(user.c_str(), false)},
        {L"S-1-1-0", false, L".\\" + lookedUp(L"S-1-1-0", false)},  // no domain
        {L"S-1-5-21-1-2-3-4242", false, L" 1332"},  // ERROR_NONE_MAPPED
        {L"not a sid", false, L" 1337"},             // ERROR_INVALID_SID
    };
    for (const Case& c : cases)
        EXPECT_EQ(textOf(vm, vm.call(accountName, jclass(nullptr), vm.newString(c.sid), jboolean(c.nameOnly))),
                  c.expected)
            << std::string(c.sid.begin(), c.sid.end()) << (c.nameOnly ? " name only" : "");
}

TEST(Win32UserInfo, ProfileDirectoryFailureTexts) {
    Jvm vm;
    auto profile = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserProfileDirectory0);
    struct Case {
        std::wstring sid;
        std::wstring expected;
    } cases[] = {
        {L"S-1-5-18", L" no user account"},
        {L"S-1-5-19", L" no user account"},
        {L"S-1-5-20", L" no user account"},
        {L"not a sid", L" could not convert sid 1337"},
        {L"S-1-5-21-1-2-3-4242", L" could not look up account name 1332"},
        // Wine's LogonUserW accepts any password but hands out a token that
        // nothing can use, so the profile folder cannot be read with it.
        {processUserSid(), L" could not get user profile dir 6"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(textOf(vm, vm.call(profile, jclass(nullptr), vm.newString(c.sid), vm.newString(L"password"))),
                  c.expected)
            << std::string(c.sid.begin(), c.sid.end());
    EXPECT_NE(GetModuleHandleW(L"advapi32.dll"), nullptr);
}

TEST(Win32UserInfo, LsaAccountRightsBySidOrName) {
    Jvm vm;
    auto setRight = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_setLsaAccountRight0);
    // Wine's LSA accepts every change and stores none: what shows is which
    // accounts are found.
    struct Case {
        const wchar_t* account;
        const wchar_t* right;
        bool add;
        bool expected;
    } cases[] = {
        {L"S-1-5-32-545", L"SeServiceLogonRight", true, true},
        {L"Administrators", L"SeServiceLogonRight", true, true},
        {L"S-1-5-32-545", L"SeServiceLogonRight", false, true},
        {L"S-1-5-32-545", nullptr, false, true},  // every right
        {L"no-such-account-of-wbnative", L"SeServiceLogonRight", true, false},
        {nullptr, L"SeServiceLogonRight", true, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vm.call(setRight, jclass(nullptr), c.account ? vm.newString(c.account) : jstring(nullptr),
                          c.right ? vm.newString(c.right) : jstring(nullptr), jboolean(c.add)),
                  jboolean(c.expected))
            << (c.account ? std::string(c.account, c.account + wcslen(c.account)) : "null");
}

TEST(Win32UserInfo, Netapi32OfWine) {
    Jvm vm;
    // Wine's netapi32 keeps users in the calling process only and cannot
    // give the level-23 record whose SID the new user's text needs.
    jstring result = vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0),
                             jclass(nullptr), vm.newString(L"wbwineuser"), vm.newString(L"Secret1!"),
                             vm.newString(L"c"), jstring(nullptr), jstring(nullptr), jboolean(false), jboolean(false));
    EXPECT_EQ(textOf(vm, result), L"3 2140");
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0),
                      jclass(nullptr), jstring(nullptr), vm.newString(L"wbwineuser")),
              NERR_Success);
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0),
                      jclass(nullptr), jstring(nullptr), vm.newString(L"wbwineuser")),
              NERR_UserNotFound);
}

}  // namespace
