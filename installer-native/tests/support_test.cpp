// The helpers every family shares.
#include "console_capture.h"
#include "wbnative.h"
#include "wbnative_test.h"

#include <shlobj.h>

#include <algorithm>

namespace {

using qarjvm::Jvm;

TEST(JstringToWide, CopiesWholeStringsAndKeepsNull) {
    Jvm vm;
    for (const std::wstring& text : {std::wstring(), std::wstring(L"C:\\Program Files\\\u00e4\u20ac"),
                                     std::wstring(L"a\0b", 3)}) {
        jstring s = vm.newString(text);
        std::vector<wchar_t> copied = vm.call([](JNIEnv* env, jstring str) {
            jsize n = env->GetStringLength(str);
            std::unique_ptr<wchar_t[]> copy = jstringToWide(env, str);
            return std::vector<wchar_t>(copy.get(), copy.get() + n + 1);
        }, s);
        std::vector<wchar_t> expected(text.begin(), text.end());
        expected.push_back(L'\0');
        EXPECT_EQ(copied, expected);
    }
    bool isNull = vm.call([](JNIEnv* env) { return jstringToWide(env, nullptr) == nullptr; });
    EXPECT_TRUE(isNull);
}

TEST(SetPrivilege, TellsWhetherTheTokenHoldsThePrivilege) {
    EXPECT_TRUE(setPrivilege(L"SeBackupPrivilege", true));
    EXPECT_TRUE(setPrivilege(L"SeBackupPrivilege", false));
    EXPECT_TRUE(setPrivilege(L"SeBackupPrivilege", true));
    EXPECT_FALSE(setPrivilege(L"SeNoSuchPrivilege", true));
    // Removed from the token, the privilege can no longer be enabled.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeSystemtimePrivilege", &tp.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    CloseHandle(token);
    EXPECT_FALSE(setPrivilege(L"SeSystemtimePrivilege", true));
}

TEST(LoadSystemLibrary, ReturnsLoadedModulesAndLoadsOthers) {
    EXPECT_EQ(loadSystemLibrary(L"kernel32.dll"), GetModuleHandleW(L"kernel32.dll"));
    ASSERT_EQ(GetModuleHandleW(L"version.dll"), nullptr);
    HMODULE version = loadSystemLibrary(L"version.dll");
    EXPECT_NE(version, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"version.dll"), version);
    EXPECT_EQ(loadSystemLibrary(L"no-such-module.dll"), nullptr);
}

TEST(ShellFunctions, BindShell32Once) {
    EXPECT_TRUE(loadShellFunctions());
    EXPECT_NE(GetModuleHandleW(L"shell32.dll"), nullptr);
    EXPECT_TRUE(loadShellFunctions());
    shellChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    // A missing file: ShellExecuteW's own error result (at most 32), not 0.
    INT_PTR r = reinterpret_cast<INT_PTR>(shellExecute(nullptr, L"open", L"C:\\no\\such\\file.exe", nullptr, nullptr, SW_HIDE));
    EXPECT_GT(r, 0);
    EXPECT_LE(r, 32);
}

TEST(PrintError, WritesOneLineToStandardErrorWithNarrowStrings) {
    qarjvm::ConsoleCapture capture;
    printError(L"register %S failed %d", "com/example/Some$Inner", -1);
    printError(L"plain");
    std::string err = capture.err();
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    EXPECT_EQ(err, "ERROR: register com/example/Some$Inner failed -1\nERROR: plain\n");
    EXPECT_EQ(capture.out(), "");
}

}  // namespace
