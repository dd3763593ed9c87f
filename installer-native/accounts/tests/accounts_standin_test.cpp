// The account natives that reach netapi32, through a test-only module of
// that name loaded first (Wine's own only pretends to manage accounts). SIDs
// of groups are still looked up in Wine's real advapi32.
//
// Wine prefers its own netapi32 even to a module loaded by its full path,
// unless the program's DLL overrides say otherwise (its own main, below).
#include "wbnative_test.h"

#include <lm.h>

#include <cstdio>
#include <string>

namespace {

using qarjvm::Jvm;

// The stand-in netapi32, loaded under its own name and its controls bound.
class StandIn {
public:
    explicit StandIn(const wchar_t* path) {
        EXPECT_EQ(GetModuleHandleW(L"netapi32.dll"), nullptr) << "a netapi32 is loaded already";
        module_ = LoadLibraryW(path);
        EXPECT_NE(module_, nullptr) << GetLastError();
        EXPECT_EQ(GetModuleHandleW(L"netapi32.dll"), module_);
        reset = control<void(__cdecl*)()>("standinReset");
        failNext = control<void(__cdecl*)(const char*, DWORD, DWORD)>("standinFailNext");
        addGroup = control<void(__cdecl*)(LPCWSTR)>("standinAddGroup");
        hasUser = control<BOOL(__cdecl*)(LPCWSTR)>("standinHasUser");
        isMember = control<BOOL(__cdecl*)(LPCWSTR, LPCWSTR)>("standinIsMember");
        log_ = control<const wchar_t*(__cdecl*)()>("standinLog");
        outstanding = control<long(__cdecl*)()>("standinOutstandingBuffers");
        reset();
    }
    ~StandIn() { FreeLibrary(module_); }
    std::wstring log() { return log_(); }

    void (*reset)();
    void (*failNext)(const char*, DWORD, DWORD);
    void (*addGroup)(LPCWSTR);
    BOOL (*hasUser)(LPCWSTR);
    BOOL (*isMember)(LPCWSTR, LPCWSTR);
    long (*outstanding)();

private:
    template <typename F>
    F control(const char* name) {
        F f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    HMODULE module_ = nullptr;
    const wchar_t* (*log_)() = nullptr;
};

const wchar_t kUserSid[] = L"S-1-5-21-1000-2000-3000-1001";

struct AddUserCase {
    const char* what;
    const wchar_t* group;          // null: none
    bool groupExists;
    bool createGroup, failIfGroupExists;
    const char* failFunction;      // the stand-in call that fails, or null
    DWORD failStatus, failIndex;
    std::wstring expected;         // result text, or L"<null>"
    bool userCreated;
};

TEST(AddUser, EveryResultText) {
    const AddUserCase cases[] = {
        {"no group", nullptr, false, false, false, nullptr, 0, 0, kUserSid, true},
        {"group created", L"Users", false, true, false, nullptr, 0, 0,
         std::wstring(kUserSid) + L" S-1-5-32-545 true", true},
        {"group there, may exist", L"Users", true, true, false, nullptr, 0, 0,
         std::wstring(kUserSid) + L" S-1-5-32-545 false", true},
        {"group there, taken as is", L"Administrators", true, false, false, nullptr, 0, 0,
         std::wstring(kUserSid) + L" S-1-5-32-544 false", true},
        {"group exists, as a global group", L"Users", true, true, false, "NetLocalGroupAdd", NERR_GroupExists, 0,
         std::wstring(kUserSid) + L" S-1-5-32-545 false", true},
        {"group whose SID is unknown", L"wbnative-group", false, true, false, nullptr, 0, 0, kUserSid, true},
        {"group there, must not exist", L"Users", true, true, true, nullptr, 0, 0, L"1 1379", false},
        {"group cannot be created", L"Users", false, true, false, "NetLocalGroupAdd", ERROR_ACCESS_DENIED, 0, L"1 5",
         false},
        {"group missing", L"Users", false, false, false, nullptr, 0, 0, L"6 2220", false},
        {"user exists", nullptr, false, false, false, "NetUserAdd", NERR_UserExists, 0, L"2 2224 0", false},
        {"bad parameter", L"Users", true, false, false, "NetUserAdd", ERROR_INVALID_PARAMETER, 3, L"2 87 3", false},
        {"user not read back", nullptr, false, false, false, "NetUserGetInfo", NERR_UserNotFound, 0, L"3 2221", true},
        {"member not added", L"Users", true, false, false, "NetLocalGroupAddMembers", ERROR_NO_SUCH_MEMBER, 0,
         L"4 1387", true},
        {"member already there", L"Users", true, false, false, "NetLocalGroupAddMembers", ERROR_MEMBER_IN_ALIAS, 0,
         std::wstring(kUserSid) + L" S-1-5-32-545 false", true},
    };
    StandIn standIn(WBTEST_NETAPI32_EXE);
    auto addUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0);
    for (const AddUserCase& c : cases) {
        standIn.reset();
        if (c.groupExists) standIn.addGroup(c.group);
        if (c.failFunction) standIn.failNext(c.failFunction, c.failStatus, c.failIndex);
        Jvm vm;
        jstring result = vm.call(addUser, jclass(nullptr), vm.newString(L"wbuser"), vm.newString(L"Secret1!"),
                                 vm.newString(L"a comment"), c.group ? vm.newString(c.group) : jstring(nullptr),
                                 vm.newString(L"group comment"), jboolean(c.createGroup),
                                 jboolean(c.failIfGroupExists));
        EXPECT_EQ(result ? vm.text(result) : L"<null>", c.expected) << c.what;
        EXPECT_EQ(standIn.hasUser(L"wbuser") != FALSE, c.userCreated) << c.what;
        EXPECT_EQ(standIn.outstanding(), 0) << c.what << ": a netapi32 buffer was not freed";
        if (c.expected.rfind(kUserSid, 0) == 0 && c.group && !c.failFunction) {
            EXPECT_TRUE(standIn.isMember(c.group, kUserSid)) << c.what;
        }
    }
}

TEST(AddUser, CallsNetapi32WithTheDocumentedRecords) {
    StandIn standIn(WBTEST_NETAPI32_EXE);
    auto addUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0);
    Jvm vm;
    jstring result = vm.call(addUser, jclass(nullptr), vm.newString(L"wbuser"), vm.newString(L"Secret1!"),
                             vm.newString(L"a comment"), vm.newString(L"Users"), vm.newString(L"group comment"),
                             jboolean(true), jboolean(false));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(standIn.log(),
              L"NetLocalGroupAdd null 1 \"Users\" \"group comment\"\n"
              L"NetUserAdd null 1 \"wbuser\" \"Secret1!\" age=0 priv=1 home=null \"a comment\" flags=1 script=null\n"
              L"NetUserGetInfo null \"wbuser\" 23\n"
              L"NetLocalGroupAddMembers null \"Users\" 0 \"S-1-5-21-1000-2000-3000-1001\" 1\n");
    standIn.reset();
    standIn.addGroup(L"Users");
    vm.call(addUser, jclass(nullptr), vm.newString(L"wbuser"), vm.newString(L"p"), vm.newString(L"c"),
            vm.newString(L"Users"), jstring(nullptr), jboolean(false), jboolean(false));
    EXPECT_EQ(standIn.log().substr(0, 45), L"NetLocalGroupGetInfo null \"Users\" 1\nNetUserAd");
}

TEST(AddUser, AUserSidThatCannotBeWrittenGivesFailureFive) {
    StandIn standIn(WBTEST_NETAPI32_EXE);
    auto addUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0);
    Jvm vm;
    jstring result = vm.call(addUser, jclass(nullptr), vm.newString(L"bad-sid"), vm.newString(L"p"),
                             vm.newString(L"c"), jstring(nullptr), jstring(nullptr), jboolean(false), jboolean(false));
    EXPECT_EQ(result ? vm.text(result) : L"<null>", L"5");
    EXPECT_EQ(standIn.outstanding(), 0);
}

TEST(DeleteAccounts, ReturnTheStatusAndPassTheServer) {
    StandIn standIn(WBTEST_NETAPI32_EXE);
    auto deleteUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0);
    auto deleteGroup = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteLocalGroup0);
    Jvm vm;
    auto addUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0);
    vm.call(addUser, jclass(nullptr), vm.newString(L"wbuser"), vm.newString(L"p"), vm.newString(L"c"),
            jstring(nullptr), jstring(nullptr), jboolean(false), jboolean(false));
    standIn.addGroup(L"wbgroup");

    EXPECT_EQ(vm.call(deleteUser, jclass(nullptr), jstring(nullptr), vm.newString(L"wbuser")), NERR_Success);
    EXPECT_EQ(vm.call(deleteUser, jclass(nullptr), jstring(nullptr), vm.newString(L"wbuser")), NERR_UserNotFound);
    EXPECT_EQ(vm.call(deleteGroup, jclass(nullptr), vm.newString(L"\\\\server"), vm.newString(L"wbgroup")),
              NERR_Success);
    EXPECT_EQ(vm.call(deleteGroup, jclass(nullptr), jstring(nullptr), vm.newString(L"wbgroup")), NERR_GroupNotFound);
    std::wstring log = standIn.log();
    EXPECT_NE(log.find(L"NetUserDel null \"wbuser\"\n"), std::wstring::npos) << std::string(log.begin(), log.end());
    EXPECT_NE(log.find(L"NetLocalGroupDel \"\\\\server\" \"wbgroup\"\n"), std::wstring::npos);
}

TEST(DeleteAccounts, MissingFunctionsGiveMinusOneAndNull) {
    StandIn standIn(WBTEST_NETAPI32_PARTIAL_EXE);  // lacks NetUserDel and NetLocalGroupGetInfo
    Jvm vm;
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0),
                      jclass(nullptr), jstring(nullptr), vm.newString(L"wbuser")),
              -1);
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteLocalGroup0),
                      jclass(nullptr), jstring(nullptr), vm.newString(L"wbgroup")),
              NERR_GroupNotFound);
    EXPECT_EQ(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0),
                      jclass(nullptr), vm.newString(L"wbuser"), vm.newString(L"p"), vm.newString(L"c"),
                      jstring(nullptr), jstring(nullptr), jboolean(false), jboolean(false)),
              nullptr);
    EXPECT_FALSE(standIn.hasUser(L"wbuser"));
}

}  // namespace

// Wine reads a program's DLL overrides from its AppDefaults key when the
// program starts. The first run of this program in a prefix writes the key
// and runs the tests in a new copy of itself, passing output and exit code
// through; later runs find the key and test at once.
bool preferNativeNetapi32() {
    const wchar_t kKey[] = L"Software\\Wine\\AppDefaults\\wbnative_accounts_standin_test.exe\\DllOverrides";
    const wchar_t kOrder[] = L"native,builtin";
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) !=
        ERROR_SUCCESS)
        return false;
    wchar_t value[32] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    bool present = RegQueryValueExW(key, L"netapi32", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
                       ERROR_SUCCESS &&
                   wcscmp(value, kOrder) == 0;
    if (!present)
        RegSetValueExW(key, L"netapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder), sizeof kOrder);
    RegCloseKey(key);
    return present && disposition == REG_OPENED_EXISTING_KEY;
}

int main(int argc, char** argv) {
    if (!preferNativeNetapi32() && GetEnvironmentVariableW(L"WBTEST_NETAPI32_RESTARTED", nullptr, 0) == 0) {
        SetEnvironmentVariableW(L"WBTEST_NETAPI32_RESTARTED", L"1");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
            SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::wstring commandLine = GetCommandLineW();
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process)) {
            fprintf(stderr, "could not start the tests again: %lu\n", GetLastError());
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return static_cast<int>(code);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
