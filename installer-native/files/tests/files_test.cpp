// FileVersion, FolderInfo and ACLHandling, loaded as the runtime loads them,
// against Wine's own version, shell, network and security functions.
#include "console_capture.h"
#include "wbnative_test.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <string>

namespace {

using qarjvm::Jvm;

std::wstring tempFolder() {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return path;
}

// A file of its own in the temp folder, removed at the end.
struct TempFile {
    std::wstring path;
    explicit TempFile(const std::wstring& name, const char* text = "text\r\n")
        : path(tempFolder() + std::to_wstring(GetCurrentProcessId()) + L"-" + name) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(h, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(h);
    }
    ~TempFile() { DeleteFileW(path.c_str()); }
};

std::wstring textOf(Jvm& vm, jstring s) { return s ? vm.text(s) : L"<null>"; }

TEST(FileVersion, ComparesFixedFileVersionsOnly) {
    Jvm vm;
    auto compare = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FileVersion_compare0);
    TempFile text(L"version.txt");
    const std::wstring v1234 = WBTEST_VERSION_1234_EXE, v12310 = WBTEST_VERSION_12310_EXE,
                       v1234product = WBTEST_VERSION_1234_PRODUCT_EXE;
    // Far longer than the 32768-unit path buffer.
    const std::wstring tooLong = L"C:\\" + std::wstring(40000, L'a') + L".exe";
    struct Case {
        std::wstring first, second;
        jint expected;
    } cases[] = {
        {v1234, v12310, 2},        // 1.2.3.4 < 1.2.3.10: numbers, not text
        {v12310, v1234, 1},
        {v1234, v1234product, 0},  // product versions differ, file versions do not
        {v1234, v1234, 0},
        {text.path, v1234, 3},
        {v1234, text.path, 3},
        {L"C:\\no\\such\\file.exe", v1234, 3},
        {tooLong, v1234, 3},
        {v1234, tooLong, 3},
    };
    for (const Case& c : cases) {
        jint r = vm.call(compare, jclass(nullptr), vm.newString(c.first), vm.newString(c.second));
        EXPECT_EQ(r, c.expected) << std::string(c.first.begin(), c.first.begin() + std::min<size_t>(c.first.size(), 80))
                                 << " vs " << std::string(c.second.begin(), c.second.end()).substr(0, 80);
    }
}

std::wstring shellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path), S_OK) << csidl;
    return path;
}

std::wstring knownFolder(const GUID& id) {
    PWSTR path = nullptr;
    std::wstring out = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) ? path : L"<null>";
    CoTaskMemFree(path);
    return out;
}

TEST(FolderInfo, SpecialFoldersByCodeWithTheirFallbacks) {
    Jvm vm;
    auto folder = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSpecialFolder0);
    struct Case {
        jint code;
        bool common;
        std::wstring expected;
    } cases[] = {
        {3, false, shellFolder(CSIDL_PROGRAMS)},
        {3, true, shellFolder(CSIDL_COMMON_PROGRAMS)},
        {7, true, shellFolder(CSIDL_COMMON_APPDATA)},
        {11, true, shellFolder(CSIDL_LOCAL_APPDATA)},  // no all-users form: the user's own
        {500, false, shellFolder(CSIDL_DESKTOP)},
        {0, true, shellFolder(CSIDL_DESKTOP)},
        {1000, true, shellFolder(CSIDL_DESKTOP)},
        {1001, false, knownFolder(FOLDERID_Downloads)},
        {1004, true, knownFolder(FOLDERID_LocalAppDataLow)},
        {5000, false, knownFolder(FOLDERID_Profile)},
        {1005, true, knownFolder(FOLDERID_Profile)},
        // Wine lacks the per-user program files folder (E_INVALIDARG): null.
        {1002, false, knownFolder(FOLDERID_UserProgramFiles)},
    };
    EXPECT_NE(cases[0].expected, cases[1].expected);
    EXPECT_NE(cases[7].expected, cases[9].expected);
    for (const Case& c : cases)
        EXPECT_EQ(textOf(vm, vm.call(folder, jclass(nullptr), c.code, jboolean(c.common))), c.expected)
            << c.code << (c.common ? " common" : " per-user");
}

TEST(FolderInfo, CreatesAMissingSpecialFolder) {
    Jvm vm;
    auto folder = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSpecialFolder0);
    std::wstring favorites = shellFolder(CSIDL_FAVORITES);
    RemoveDirectoryW(favorites.c_str());  // empty in a fresh prefix, a plain folder
    ASSERT_EQ(GetFileAttributesW(favorites.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(textOf(vm, vm.call(folder, jclass(nullptr), jint(10), jboolean(false))), favorites);
    EXPECT_NE(GetFileAttributesW(favorites.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(FolderInfo, DirectoriesRegistryPathsAndDriveTypes) {
    Jvm vm;
    wchar_t windows[MAX_PATH], system[MAX_PATH];
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(
        textOf(vm, vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getWindowsDirectory0),
                           jclass(nullptr))),
        windows);
    EXPECT_EQ(
        textOf(vm, vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getSystemDirectory0),
                           jclass(nullptr))),
        system);

    auto fromRegistry = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getPathFromRegistry0);
    // The process's own registry view: "Program Files (x86)" for a 32-bit
    // process on a 64-bit system.
    wchar_t programFiles[MAX_PATH] = {};
    DWORD size = sizeof programFiles;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir",
                           RRF_RT_REG_SZ, nullptr, programFiles, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(programFiles).rfind(L"C:\\Program Files", 0), 0u);
    EXPECT_EQ(textOf(vm, vm.call(fromRegistry, jclass(nullptr), vm.newString(L"ProgramFilesDir"))), programFiles);
    EXPECT_EQ(vm.call(fromRegistry, jclass(nullptr), vm.newString(L"NoSuchValueOfWbnative")), nullptr);

    auto driveType = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getDriveType0);
    EXPECT_EQ(vm.call(driveType, jclass(nullptr), vm.newString(L"C:\\")), DRIVE_FIXED);
    EXPECT_EQ(vm.call(driveType, jclass(nullptr), vm.newString(L"C:\\no\\such\\folder\\")), DRIVE_NO_ROOT_DIR);
}

TEST(FolderInfo, ShortAndUniversalPathNames) {
    Jvm vm;
    auto shortName = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getShortPathName0);
    auto universal = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_FolderInfo_getUniversalPathName0);

    // A path that does not exist: the very object passed in.
    jstring missing = vm.newString(L"C:\\no\\such\\long folder name\\file.txt");
    jstring same = vm.call(shortName, jclass(nullptr), missing);
    EXPECT_TRUE(vm.env()->IsSameObject(same, missing));

    TempFile longName(L"a long file name.text");
    wchar_t expected[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(longName.path.c_str(), expected, MAX_PATH), 0u);
    jstring path = vm.newString(longName.path);
    jstring shortPath = vm.call(shortName, jclass(nullptr), path);
    EXPECT_FALSE(vm.env()->IsSameObject(shortPath, path));
    EXPECT_EQ(textOf(vm, shortPath), expected);
    EXPECT_NE(vm.text(shortPath), longName.path);

    // A local drive is no network connection.
    EXPECT_EQ(textOf(vm, vm.call(universal, jclass(nullptr), vm.newString(L"C:\\"))), L";2250");
}

// The access entries of an object's DACL, as the ACL API reads them back.
struct Entry {
    std::wstring sid;
    ACCESS_MASK mask;
    BYTE flags;
};

std::vector<Entry> readDacl(const std::wstring& name, SE_OBJECT_TYPE type) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::vector<Entry> out;
    EXPECT_EQ(GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &sd),
              ERROR_SUCCESS);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        LPWSTR text = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &text);
        out.push_back({text ? text : L"", ace->Mask, ace->Header.AceFlags});
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

// A registry key of the test's own under HKCU, deleted at the end.
struct TestKey {
    std::wstring subKey;
    std::wstring objectName;
    explicit TestKey(const std::wstring& tag)
        : subKey(L"Software\\wbnative-acl-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag),
          objectName(L"CURRENT_USER\\" + subKey) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~TestKey() { RegDeleteKeyW(HKEY_CURRENT_USER, subKey.c_str()); }
};

TEST(ACLHandling, AddsAnInheritableEntryForEachTrusteeKind) {
    Jvm vm;
    auto addACE = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ACLHandling_addACE);
    struct Case {
        jint kind;
        const wchar_t* account;
        bool read, write, execute, all;
        std::wstring sid;
        ACCESS_MASK mask;
    } cases[] = {
        {3, L"S-1-5-32-545", true, false, true, false, L"S-1-5-32-545", GENERIC_READ | GENERIC_EXECUTE},
        {3, L"Administrators", false, false, false, true, L"S-1-5-32-544", GENERIC_ALL},
        {1, nullptr, true, true, false, false, L"S-1-5-11", GENERIC_READ | GENERIC_WRITE},
        {5, nullptr, true, false, false, false, L"S-1-5-32-547", GENERIC_READ},
        {0, L"S-1-5-32-545", false, true, false, false, L"S-1-1-0", GENERIC_WRITE},  // any other kind: Everyone
    };
    for (const Case& c : cases) {
        TestKey key(std::to_wstring(c.kind) + L"-" + c.sid);
        size_t before = readDacl(key.objectName, SE_REGISTRY_KEY).size();
        jstring account = c.account ? vm.newString(c.account) : nullptr;
        EXPECT_TRUE(vm.call(addACE, jclass(nullptr), vm.newString(key.objectName), jboolean(true), jboolean(c.read),
                            jboolean(c.write), jboolean(c.execute), jboolean(c.all), c.kind, account))
            << c.kind;
        std::vector<Entry> after = readDacl(key.objectName, SE_REGISTRY_KEY);
        EXPECT_EQ(after.size(), before + 1);
        auto entry = std::find_if(after.begin(), after.end(), [&](const Entry& e) { return e.sid == c.sid; });
        ASSERT_NE(entry, after.end()) << c.kind;
        EXPECT_EQ(entry->mask, c.mask) << c.kind;
        EXPECT_EQ(entry->flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(entry->flags & INHERIT_ONLY_ACE, 0);
    }
}

TEST(ACLHandling, AnAccountThatDoesNotResolveTouchesNothing) {
    Jvm vm;
    auto addACE = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ACLHandling_addACE);
    TestKey key(L"unresolved");
    size_t before = readDacl(key.objectName, SE_REGISTRY_KEY).size();
    qartest::ConsoleCapture capture;
    EXPECT_FALSE(vm.call(addACE, jclass(nullptr), vm.newString(key.objectName), jboolean(true), jboolean(true),
                         jboolean(false), jboolean(false), jboolean(false), jint(3),
                         vm.newString(L"no-such-account-of-wbnative")));
    // Not even read: a missing object would have printed its error.
    EXPECT_FALSE(vm.call(addACE, jclass(nullptr), vm.newString(L"C:\\no\\such\\object"), jboolean(false),
                         jboolean(true), jboolean(false), jboolean(false), jboolean(false), jint(3), jstring(nullptr)));
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(readDacl(key.objectName, SE_REGISTRY_KEY).size(), before);
}

TEST(ACLHandling, FilesAndMissingObjects) {
    Jvm vm;
    auto addACE = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ACLHandling_addACE);
    // Wine keeps no ACL for files: what shows is the success of every call.
    TempFile file(L"acl.txt");
    EXPECT_TRUE(vm.call(addACE, jclass(nullptr), vm.newString(file.path), jboolean(false), jboolean(true),
                        jboolean(false), jboolean(false), jboolean(false), jint(1), jstring(nullptr)));

    const std::wstring missing = tempFolder() + L"no-such-file-of-wbnative.txt";
    qartest::ConsoleCapture capture;
    EXPECT_FALSE(vm.call(addACE, jclass(nullptr), vm.newString(missing), jboolean(false),
                         jboolean(true), jboolean(false), jboolean(false), jboolean(false), jint(0), jstring(nullptr)));
    EXPECT_FALSE(vm.call(addACE, jclass(nullptr), jstring(nullptr), jboolean(false), jboolean(true), jboolean(false),
                         jboolean(false), jboolean(false), jint(0), jstring(nullptr)));
    std::string out = capture.out();
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    EXPECT_EQ(out, "GetNamedSecurityInfo Error 2 " + std::string(missing.begin(), missing.end()) + "\n");
}

}  // namespace
