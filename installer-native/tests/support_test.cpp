// The helpers every family shares.
#include "console_capture.h"
#include "wbnative.h"
#include "wbnative_test.h"
#include "wine_process.h"

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
            std::unique_ptr<wchar_t[]> copy;
            EXPECT_TRUE(jstringToWide(env, str, copy));
            return std::vector<wchar_t>(copy.get(), copy.get() + n + 1);
        }, s);
        std::vector<wchar_t> expected(text.begin(), text.end());
        expected.push_back(L'\0');
        EXPECT_EQ(copied, expected);
    }
    bool isNull = vm.call([](JNIEnv* env) {
        std::unique_ptr<wchar_t[]> copy(new wchar_t[1]);
        return jstringToWide(env, nullptr, copy) && copy == nullptr;
    });
    EXPECT_TRUE(isNull);
}

// A copy the VM cannot make is a failure, not a null: the caller must tell it
// from a Java null, or a null default (the root key, all rights) would act.
TEST(JstringToWide, AFailedCopyIsNoNull) {
    Jvm vm;
    vm.allowPendingExceptionOnReturn(true);
    vm.failNext("GetStringChars");
    bool copied = vm.call([](JNIEnv* env, jstring str) {
        std::unique_ptr<wchar_t[]> copy;
        return jstringToWide(env, str, copy);
    }, vm.newString(L"Software\\Vendor"));
    EXPECT_FALSE(copied);
    EXPECT_EQ(vm.takeException(), "java/lang/OutOfMemoryError");
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

// A folder on PATH and the current directory, each holding a test DLL under
// the names of system DLLs: those the system lacks (the shell helpers loaded
// ahead of shell32, a made-up one) and one it has.
class PlantedDlls : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = qartest::makeTempDir(L"planted");
        for (const wchar_t* name : kNames)
            ASSERT_TRUE(CopyFileW(qartest::winPath(WBTEST_PLANTED_EXE).c_str(), (dir_ + L"\\" + name).c_str(), FALSE));
        wchar_t path[32767];
        DWORD n = GetEnvironmentVariableW(L"PATH", path, 32767);
        ASSERT_LT(n, 32767u);
        ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (dir_ + L";" + std::wstring(path, n)).c_str()));
        GetCurrentDirectoryW(MAX_PATH, previousDirectory_);
        ASSERT_TRUE(SetCurrentDirectoryW(dir_.c_str()));
    }
    void TearDown() override {
        SetCurrentDirectoryW(previousDirectory_);
        qartest::removeTree(dir_);
    }
    // The folder a loaded module came from.
    static std::wstring folderOf(HMODULE module) {
        wchar_t file[MAX_PATH] = {};
        GetModuleFileNameW(module, file, MAX_PATH);
        std::wstring path(file);
        return path.substr(0, path.find_last_of(L'\\'));
    }
    static std::wstring systemDirectory() {
        wchar_t dir[MAX_PATH] = {};
        GetSystemDirectoryW(dir, MAX_PATH);
        return dir;
    }

    static constexpr const wchar_t* kNames[] = {L"davhlpr.dll", L"fwbase.dll", L"qar-planted.dll", L"version.dll"};
    std::wstring dir_;
    wchar_t previousDirectory_[MAX_PATH] = {};
};

TEST_F(PlantedDlls, AreNeverLoadedInsteadOfSystemDlls) {
    // Both ways of loading: the search flag, and the full path where the
    // system does not know the flag.
    for (bool searchFlag : {true, false}) {
        SCOPED_TRACE(searchFlag ? "LOAD_LIBRARY_SEARCH_SYSTEM32" : "full path");
        EXPECT_EQ(loadSystemLibraryFrom(L"qar-planted.dll", searchFlag), nullptr);
        EXPECT_EQ(GetModuleHandleW(L"qar-planted.dll"), nullptr);
        HMODULE version = loadSystemLibraryFrom(L"version.dll", searchFlag);
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(_wcsicmp(folderOf(version).c_str(), systemDirectory().c_str()), 0) << folderOf(version);
        FreeLibrary(version);
    }
    EXPECT_EQ(loadSystemLibrary(L"qar-planted.dll"), nullptr);
    // The helpers shell32 is loaded behind are missing from this system: they stay missing.
    EXPECT_TRUE(loadShellFunctions());
    EXPECT_EQ(GetModuleHandleW(L"davhlpr.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"fwbase.dll"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"planted.dll"), nullptr);
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
    qartest::ConsoleCapture capture;
    printError(L"register %S failed %d", "com/example/Some$Inner", -1);
    printError(L"plain");
    std::string err = capture.err();
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    EXPECT_EQ(err, "ERROR: register com/example/Some$Inner failed -1\nERROR: plain\n");
    EXPECT_EQ(capture.out(), "");
}

}  // namespace
