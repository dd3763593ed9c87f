// Processes and facts of the system, without windows: the listed processes,
// the environment block, memory and disk figures, a move for the next boot,
// starting and ending processes, and the reboot that must be refused.
#include "console_capture.h"
#include "target.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;

// The windowed test program as a child process, ended when the test is over;
// its process id as Java sees one.
struct Child : qartest::BackgroundProgram {
    explicit Child(const std::vector<std::wstring>& args) : BackgroundProgram(WBNATIVE_WINDOW_TARGET_EXE, args) {}
    jint pid() const { return static_cast<jint>(BackgroundProgram::pid()); }
};

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        misc_ = vm_.defineClass(std::string(wbtest::kWin32) + "Misc").name();
        exec_ = vm_.defineClass(std::string(wbtest::kWin32) + "Win32Exec").name();
    }
    jclass misc() { return vm_.findClass(misc_); }
    std::vector<std::wstring> texts(jobjectArray array) {
        std::vector<std::wstring> out;
        for (jobject o : vm_.objectElements(array)) out.push_back(o ? vm_.text(static_cast<jstring>(o)) : L"<null>");
        return out;
    }
    jint terminate(const std::vector<jint>& ids, bool force, jint timeout) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_terminateProcesses0), misc(),
                        vm_.newArray(ids), static_cast<jboolean>(force), timeout);
    }

    Jvm vm_;
    std::string misc_, exec_;
};

std::wstring lower(std::wstring s) {
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

TEST_F(SystemTest, RunningModulesListThisProcessWithItsImagePath) {
    wchar_t image[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, image, MAX_PATH), 0u);
    const std::wstring self = std::to_wstring(GetCurrentProcessId()) + L" ";
    for (bool keepDebugOff : {true, false}) {
        SCOPED_TRACE(keepDebugOff);
        jobjectArray array =
            vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getRunningModules0), misc(),
                     static_cast<jboolean>(keepDebugOff));
        ASSERT_NE(array, nullptr);
        std::vector<std::wstring> lines = texts(array);
        int found = 0;
        for (const std::wstring& line : lines) {
            size_t blank = line.find(L' ');
            ASSERT_NE(blank, std::wstring::npos) << qartest::toUtf8(line);
            EXPECT_EQ(line.find_first_not_of(L"0123456789"), blank) << qartest::toUtf8(line);
            EXPECT_GT(line.size(), blank + 3) << "a full path follows: " << qartest::toUtf8(line);
            if (line.rfind(self, 0) == 0) {
                ++found;
                EXPECT_EQ(lower(line.substr(self.size())), lower(image));
            }
        }
        EXPECT_EQ(found, 1);
    }
}

TEST_F(SystemTest, EnvVarPairsAreTheWholeBlockInOrder) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"WBNATIVE_TEST_VAR", L"a=b c"));
    // A per-drive current folder, hidden from the usual listings.
    ASSERT_TRUE(SetEnvironmentVariableW(L"=Q:", L"Q:\\some folder"));
    std::vector<std::wstring> expected;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* e = block; *e; e += wcslen(e) + 1) expected.emplace_back(e);
    FreeEnvironmentStringsW(block);

    jobjectArray array =
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getEnvVarPairs0), misc());
    ASSERT_NE(array, nullptr);
    std::vector<std::wstring> pairs = texts(array);
    EXPECT_EQ(pairs, expected);
    auto has = [&](const std::wstring& entry) { return std::find(pairs.begin(), pairs.end(), entry) != pairs.end(); };
    EXPECT_TRUE(has(L"WBNATIVE_TEST_VAR=a=b c"));
    EXPECT_TRUE(has(L"=Q:=Q:\\some folder"));
}

TEST_F(SystemTest, PhysicalMemoryAndFreeDiskSpace) {
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    EXPECT_EQ(vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPhysicalMemory0), misc()),
              static_cast<jlong>(memory.ullTotalPhys));
    EXPECT_GT(memory.ullTotalPhys, 0u);

    auto freeSpace = [&](const std::wstring& path) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getFreeDiskSpace0), misc(),
                        vm_.newString(path));
    };
    EXPECT_GT(freeSpace(L"C:\\windows"), 0);
    ASSERT_EQ(GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "Q: must be unmapped here";
    EXPECT_EQ(freeSpace(L"Q:\\"), -1);
    EXPECT_EQ(freeSpace(L"C:\\wbnative no such folder\\"), -1);
}

// The pending renames' value holds pairs: "\??\source", then "\??\target"
// or "" for a deletion.
class PendingRenames {
public:
    static constexpr wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    static std::vector<std::wstring> read() {
        std::vector<wchar_t> data(65536);
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr,
                         data.data(), &size))
            return {};
        std::vector<std::wstring> out;
        const wchar_t* end = data.data() + size / sizeof(wchar_t);
        for (const wchar_t* p = data.data(); p < end && (p + 1 < end || *p);) {
            out.emplace_back(p);
            p += out.back().size() + 1;
        }
        while (!out.empty() && out.back().empty() && out.size() % 2) out.pop_back();
        return out;
    }
    // Removes the pairs whose source contains marker.
    static void removeMine(const std::wstring& marker) {
        std::vector<std::wstring> entries = read();
        std::wstring data;
        for (size_t i = 0; i + 1 < entries.size(); i += 2) {
            if (entries[i].find(marker) != std::wstring::npos) continue;
            data += entries[i] + L'\0' + entries[i + 1] + L'\0';
        }
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key)) return;
        if (data.empty())
            RegDeleteValueW(key, L"PendingFileRenameOperations");
        else
            RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>((data.size() + 1) * 2));
        RegCloseKey(key);
    }
};

TEST_F(SystemTest, MoveWithDelayUntilRebootSchedulesAMoveOrADeletion) {
    std::wstring dir = qartest::makeTempDir(L"delayed move");
    std::wstring source = dir + L"\\source.txt", target = dir + L"\\target.txt", doomed = dir + L"\\doomed.txt";
    ASSERT_TRUE(qartest::writeFile(source, "s"));
    ASSERT_TRUE(qartest::writeFile(doomed, "d"));
    auto move = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_moveWithDelayUntilReboot0);
    EXPECT_TRUE(vm_.call(move, misc(), vm_.newString(source), vm_.newString(target)));
    EXPECT_TRUE(vm_.call(move, misc(), vm_.newString(doomed), static_cast<jstring>(nullptr)));

    std::vector<std::wstring> entries = PendingRenames::read();
    PendingRenames::removeMine(dir);
    qartest::removeTree(dir);
    auto after = [&](const std::wstring& path) -> std::wstring {
        for (size_t i = 0; i + 1 < entries.size(); i += 2)
            if (lower(entries[i]) == lower(L"\\??\\" + path)) return entries[i + 1];
        return L"<not scheduled>";
    };
    EXPECT_EQ(lower(after(source)), lower(L"\\??\\" + target));
    EXPECT_EQ(after(doomed), L"") << "a deletion";
}

TEST_F(SystemTest, LaunchStartsAProcessOrReturnsTheError) {
    std::wstring dir = qartest::makeTempDir(L"launch");
    std::wstring marker = dir + L"\\started.txt";
    auto launch = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Exec_launch0);
    jclass exec = vm_.findClass(exec_);
    std::wstring line = qartest::quoteArg(qartest::winPath(WBNATIVE_WINDOW_TARGET_EXE)) + L" marker " +
                        qartest::quoteArg(marker);
    EXPECT_EQ(vm_.call(launch, exec, static_cast<jstring>(nullptr), vm_.newString(line)), 0);
    for (int i = 0; i < 600 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    EXPECT_NE(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "the child ran";
    Sleep(200);  // let it close the file
    qartest::removeTree(dir);

    EXPECT_EQ(vm_.call(launch, exec, vm_.newString(L"C:\\wbnative no such program.exe"), static_cast<jstring>(nullptr)),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(vm_.call(launch, exec, static_cast<jstring>(nullptr), static_cast<jstring>(nullptr)),
              ERROR_INVALID_PARAMETER);
}

// Windows refuses names beyond its limits with 206; Wine's CreateProcessW
// ended this whole process instead, without a word.
TEST_F(SystemTest, LaunchRefusesOverlongNames) {
    auto launch = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Exec_launch0);
    jclass exec = vm_.findClass(exec_);
    jstring overlong = vm_.newString(std::wstring(40000, L'a'));
    EXPECT_EQ(vm_.call(launch, exec, overlong, vm_.newString(L"x")), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(vm_.call(launch, exec, static_cast<jstring>(nullptr), overlong), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(SystemTest, PidFromHandleUsesTheLow32Bits) {
    Child child({L"sleep"});
    auto pidOf = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_getPidFromHandle0);
    jlong handle = static_cast<jlong>(reinterpret_cast<intptr_t>(child.handle()));
    EXPECT_EQ(vm_.call(pidOf, misc(), handle), child.pid());
    EXPECT_EQ(vm_.call(pidOf, misc(), handle | (jlong{0x12345678} << 32)), child.pid()) << "high half ignored";
    // The pseudo-handle of this process, sign-extended as the VM passes it.
    EXPECT_EQ(vm_.call(pidOf, misc(), jlong{-1}), static_cast<jint>(GetCurrentProcessId()));
    EXPECT_EQ(vm_.call(pidOf, misc(), jlong{0}), 0);
}

TEST_F(SystemTest, ForcedTerminationEndsTheProcesses) {
    Child a({L"sleep"}), b({L"sleep"});
    EXPECT_EQ(terminate({a.pid(), b.pid()}, true, 0), 1);
    EXPECT_TRUE(a.ended(10000));
    EXPECT_TRUE(b.ended(10000));
    EXPECT_EQ(a.exitCode(), 0u);
    // An id that no process has cannot be reached; the others still end.
    Child c({L"sleep"});
    EXPECT_EQ(terminate({0x7FFFFFF0, c.pid()}, true, 0), 0);
    EXPECT_TRUE(c.ended(10000));
}

TEST_F(SystemTest, PoliteCloseOfAProcessWithoutVisibleWindowIsZeroAtOnce) {
    Child windowless({L"sleep"});
    DWORD start = GetTickCount();
    EXPECT_EQ(terminate({windowless.pid()}, false, 60000), 0);
    EXPECT_LT(GetTickCount() - start, 30000u) << "no wait for a process that was not asked";
    EXPECT_FALSE(windowless.ended());
    EXPECT_EQ(terminate({}, false, 60000), 1) << "nothing to close";
}

TEST_F(SystemTest, RebootIsRefusedWithoutTheShutdownPrivilege) {
    // Take the privilege out of this process's token for good (each test case
    // is a process of its own), and make sure it is gone before asking.
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES removal{};
    removal.PrivilegeCount = 1;
    removal.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &removal.Privileges[0].Luid));
    AdjustTokenPrivileges(token, FALSE, &removal, 0, nullptr, nullptr);
    TOKEN_PRIVILEGES enable = removal;
    enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(0xdeadbeef);
    AdjustTokenPrivileges(token, FALSE, &enable, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED)) << "the privilege is still held: not calling reboot0";

    vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_reboot0), misc());
    Sleep(1000);
    SUCCEED() << "still running";
}

}  // namespace
