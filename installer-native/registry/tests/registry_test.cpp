// Registry natives against Wine's real registry, each test under a key of its own.
#include "console_capture.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <algorithm>

namespace {

using qarjvm::Jvm;

constexpr jint kHKCU = 2;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("Software\\QAR wbnative tests\\") + info->name();
        path_.assign(name.begin(), name.end());
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        vm_.defineClass("com/wizbuild/api/windows/WinRegistry$ExpandString").constructor("(Ljava/lang/String;)V");
        cls_ = vm_.defineClass("com/wizbuild/runtime/installer/platform/win32/Registry").name();
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }

    jclass cls() { return vm_.findClass(cls_); }
    jstring str(const std::wstring& s) { return vm_.newString(s); }
    jstring path(const std::wstring& sub = L"") { return str(sub.empty() ? path_ : path_ + L"\\" + sub); }

    bool set(jobject value, jint type, const std::wstring& name = L"v", jint root = kHKCU) {
        auto fn = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_setValue0);
        return vm_.call(fn, cls(), root, path(), str(name), value, type, 0) == JNI_TRUE;
    }
    jobject get(const std::wstring& name = L"v", jint root = kHKCU) {
        auto fn = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0);
        return vm_.call(fn, cls(), root, path(), str(name), 0);
    }
    // Writes raw data the way another program would.
    void rawSet(DWORD type, const void* data, DWORD size) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegSetValueExW(key, L"v", 0, type, static_cast<const BYTE*>(data), size), 0);
        RegCloseKey(key);
    }
    std::vector<BYTE> rawGet(DWORD& type) {
        std::vector<BYTE> data(300000);
        DWORD size = static_cast<DWORD>(data.size());
        if (RegGetValueW(HKEY_CURRENT_USER, path_.c_str(), L"v", RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size))
            return {};
        data.resize(size);
        return data;
    }
    bool keyExists(const std::wstring& sub = L"") {
        HKEY key;
        std::wstring p = sub.empty() ? path_ : path_ + L"\\" + sub;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, p.c_str(), 0, KEY_READ, &key)) return false;
        RegCloseKey(key);
        return true;
    }
    std::vector<std::wstring> texts(jobject array) {
        std::vector<std::wstring> out;
        for (jobject o : vm_.objectElements(static_cast<jobjectArray>(array))) out.push_back(vm_.text(static_cast<jstring>(o)));
        return out;
    }

    Jvm vm_;
    std::string cls_;
    std::wstring path_;
};

TEST_F(RegistryTest, EachValueTypeWrittenAndReadBack) {
    ASSERT_TRUE(set(str(L"text \u00e4"), 1));
    EXPECT_EQ(vm_.text(static_cast<jstring>(get())), L"text \u00e4");

    ASSERT_TRUE(set(str(L"%TEMP%\\x"), 5));
    jobject expand = get();
    ASSERT_NE(expand, nullptr);
    EXPECT_EQ(vm_.className(expand), "com/wizbuild/api/windows/WinRegistry$ExpandString");
    EXPECT_EQ(vm_.text(static_cast<jstring>(vm_.constructorArgs(expand)[0].l)), L"%TEMP%\\x");

    ASSERT_TRUE(set(vm_.boxInt(-7), 2));
    EXPECT_EQ(vm_.unboxInt(get()), -7);
    ASSERT_TRUE(set(vm_.boxLong(0x123456789abcdefLL), 6));
    EXPECT_EQ(vm_.unboxLong(get()), 0x123456789abcdefLL);

    ASSERT_TRUE(set(vm_.newObjectArray("java/lang/String", {str(L"a"), str(L"bc")}), 3));
    EXPECT_EQ(texts(get()), (std::vector<std::wstring>{L"a", L"bc"}));
    DWORD type = 0;
    std::vector<BYTE> raw = rawGet(type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(raw.size(), 12u);  // "a\0bc\0\0"

    ASSERT_TRUE(set(vm_.newArray<jbyte>({1, 0, -1}), 4));
    EXPECT_EQ(vm_.elements<jbyte>(static_cast<jarray>(get())), (std::vector<jbyte>{1, 0, -1}));
}

TEST_F(RegistryTest, RootCodesOutsideTheTableTouchNothing) {
    auto exists = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_keyExists0);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0);
    auto deleteKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0);
    for (jint root : {0, 6}) {
        EXPECT_EQ(vm_.call(exists, cls(), root, str(L"Software"), 0), JNI_FALSE);
        EXPECT_EQ(vm_.call(create, cls(), root, path(), 0), JNI_FALSE);
        EXPECT_EQ(get(L"v", root), nullptr);
        EXPECT_FALSE(set(str(L"x"), 1, L"v", root));
        vm_.call(deleteKey, cls(), root, str(L"Software"), JNI_FALSE, 0);
    }
    EXPECT_FALSE(keyExists());
    EXPECT_EQ(vm_.call(exists, cls(), kHKCU, str(L"Software"), 0), JNI_TRUE);
}

TEST_F(RegistryTest, StringsReadWithAndWithoutTerminator) {
    rawSet(REG_SZ, L"abc", 6);  // no terminator
    EXPECT_EQ(vm_.text(static_cast<jstring>(get())), L"abc");
    rawSet(REG_SZ, L"abc\0", 10);  // two terminators: one stays
    EXPECT_EQ(vm_.text(static_cast<jstring>(get())), std::wstring(L"abc\0", 4));
    rawSet(REG_MULTI_SZ, L"a\0bc", 8);  // the last string without its terminator
    EXPECT_EQ(texts(get()), (std::vector<std::wstring>{L"a", L"bc"}));
    rawSet(REG_MULTI_SZ, L"a\0bc\0", 12);
    EXPECT_EQ(texts(get()), (std::vector<std::wstring>{L"a", L"bc"}));
}

TEST_F(RegistryTest, SizeLimitsOfTheValueBuffer) {
    std::vector<BYTE> big(100002, 1);
    rawSet(REG_BINARY, big.data(), static_cast<DWORD>(big.size()));
    EXPECT_EQ(get(), nullptr);

    ASSERT_TRUE(set(str(std::wstring(60000, L'x')), 1));
    DWORD type = 0;
    std::vector<BYTE> raw = rawGet(type);
    EXPECT_EQ(raw.size(), 100000u);  // 49999 characters and the terminator
    EXPECT_EQ(vm_.text(static_cast<jstring>(get())), std::wstring(49999, L'x'));

    // A multi-string that would not fit is refused whole.
    EXPECT_FALSE(set(vm_.newObjectArray("java/lang/String", {str(std::wstring(30000, L'a')), str(std::wstring(30000, L'b'))}), 3, L"m"));
}

TEST_F(RegistryTest, MultiStringsAndBinaryEdges) {
    EXPECT_FALSE(set(vm_.newObjectArray("java/lang/String", {str(L"a"), str(L""), str(L"b")}), 3));
    EXPECT_EQ(get(), nullptr);  // nothing written
    ASSERT_TRUE(set(vm_.newObjectArray("java/lang/String", {}), 3));
    DWORD type = 0;
    EXPECT_EQ(rawGet(type).size(), 2u);
    ASSERT_TRUE(set(vm_.newArray<jbyte>({}), 4));
    EXPECT_EQ(rawGet(type).size(), 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    // Wrong object for the type code, or an unknown code: nothing written.
    EXPECT_FALSE(set(vm_.boxInt(1), 1, L"w"));
    EXPECT_FALSE(set(nullptr, 2, L"w"));
    EXPECT_FALSE(set(str(L"x"), 7, L"w"));
    EXPECT_EQ(get(L"w"), nullptr);
}

TEST_F(RegistryTest, DeleteKeyOnlyIfEmptyAndRecursive) {
    auto deleteKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0);
    ASSERT_EQ(vm_.call(create, cls(), kHKCU, path(L"a\\b\\c"), 0), JNI_TRUE);
    ASSERT_EQ(vm_.call(create, cls(), kHKCU, path(L"a\\d"), 0), JNI_TRUE);
    ASSERT_TRUE(set(str(L"x"), 1));
    vm_.call(deleteKey, cls(), kHKCU, path(), JNI_TRUE, 0);
    EXPECT_TRUE(keyExists(L"a\\b\\c"));
    vm_.call(deleteKey, cls(), kHKCU, path(L"a\\b\\c"), JNI_TRUE, 0);  // empty: deleted
    EXPECT_FALSE(keyExists(L"a\\b\\c"));
    EXPECT_TRUE(keyExists(L"a\\b"));
    vm_.call(deleteKey, cls(), kHKCU, path(), JNI_FALSE, 0);
    EXPECT_FALSE(keyExists());
}

// No path names the root key: deleteKey0 refuses it, with or without
// only-if-empty, prints one line and deletes nothing. The other natives keep
// "no path is the root key itself". HKEY_CURRENT_USER is this test's own key
// for the process meanwhile, so that a deletion could not empty the prefix's.
TEST_F(RegistryTest, DeleteKeyRefusesTheRootKey) {
    auto deleteKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0);
    auto exists = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_keyExists0);
    auto subKeys = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumSubKeys0);
    ASSERT_EQ(vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0), cls(), kHKCU,
                       path(L"a\\b"), 0),
              JNI_TRUE);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_ALL_ACCESS, &root), 0);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, root), 0);
    for (const wchar_t* keyPath : {static_cast<const wchar_t*>(nullptr), L"", L"\\", L"\\\\"}) {
        for (jboolean onlyIfEmpty : {JNI_FALSE, JNI_TRUE}) {
            SCOPED_TRACE(testing::Message() << (keyPath ? qartest::toUtf8(keyPath) : "null") << " " << int(onlyIfEmpty));
            std::string out;
            {
                qartest::ConsoleCapture capture;
                vm_.call(deleteKey, cls(), kHKCU, keyPath ? str(keyPath) : nullptr, onlyIfEmpty, 0);
                out = capture.out();
            }
            EXPECT_EQ(qartest::stripCr(out), "no key path: not deleting a root key\n");
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyExW(root, L"a\\b", 0, KEY_READ, &key), 0);
            RegCloseKey(key);
        }
    }
    EXPECT_EQ(vm_.call(exists, cls(), kHKCU, nullptr, 0), JNI_TRUE);
    EXPECT_EQ(texts(vm_.call(subKeys, cls(), kHKCU, nullptr, 0)), std::vector<std::wstring>{L"a"});
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(root);
    EXPECT_TRUE(keyExists(L"a\\b"));
}

TEST_F(RegistryTest, EnumerationOfSubkeysAndValues) {
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0);
    auto subKeys = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumSubKeys0);
    auto values = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumValues0);
    ASSERT_EQ(vm_.call(create, cls(), kHKCU, path(), 0), JNI_TRUE);
    jobject empty = vm_.call(values, cls(), kHKCU, path(), 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(vm_.arrayLength(static_cast<jarray>(empty)), 0u);
    ASSERT_EQ(vm_.call(create, cls(), kHKCU, path(L"k1"), 0), JNI_TRUE);
    ASSERT_EQ(vm_.call(create, cls(), kHKCU, path(L"k2"), 0), JNI_TRUE);
    ASSERT_TRUE(set(str(L"x"), 1, L"v1"));
    ASSERT_TRUE(set(str(L"x"), 1, L"v2"));
    std::vector<std::wstring> keys = texts(vm_.call(subKeys, cls(), kHKCU, path(), 0));
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"k1", L"k2"}));
    std::vector<std::wstring> names = texts(vm_.call(values, cls(), kHKCU, path(), 0));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"v1", L"v2"}));
    EXPECT_EQ(vm_.call(values, cls(), kHKCU, path(L"missing"), 0), nullptr);
}

// Wine keeps the two views apart under HKLM\Software.
TEST_F(RegistryTest, ViewFlagsSelectTheRegistryView) {
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0);
    auto exists = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_keyExists0);
    auto deleteKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0);
    std::wstring key = L"Software\\QAR wbnative view test " + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(vm_.call(create, cls(), 3, str(key), KEY_WOW64_32KEY), JNI_TRUE);
    EXPECT_EQ(vm_.call(exists, cls(), 3, str(key), KEY_WOW64_32KEY), JNI_TRUE);
    EXPECT_EQ(vm_.call(exists, cls(), 3, str(key), KEY_WOW64_64KEY), JNI_FALSE);
    vm_.call(deleteKey, cls(), 3, str(key), JNI_FALSE, KEY_WOW64_32KEY);
    EXPECT_EQ(vm_.call(exists, cls(), 3, str(key), KEY_WOW64_32KEY), JNI_FALSE);
}

TEST_F(RegistryTest, DeleteValueRemovesOnlyThatValue) {
    auto deleteValue = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteValue0);
    ASSERT_TRUE(set(str(L"one"), 1, L"a"));
    ASSERT_TRUE(set(str(L"two"), 1, L"b"));
    vm_.call(deleteValue, cls(), kHKCU, path(), str(L"a"), 0);
    vm_.call(deleteValue, cls(), kHKCU, path(), str(L"missing"), 0);
    vm_.call(deleteValue, cls(), kHKCU, path(L"no such key"), str(L"b"), 0);
    EXPECT_EQ(get(L"a"), nullptr);
    jobject kept = get(L"b");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(vm_.text(static_cast<jstring>(kept)), L"two");
    EXPECT_FALSE(keyExists(L"no such key"));
}

// A key saved to a hive file; restoring one creates the target key when
// missing. Wine writes hives in its own text format, overwrites an existing
// file (Windows refuses) and its RegRestoreKeyW reports success without
// loading anything, so the restored values are not checked here.
TEST_F(RegistryTest, SaveKeyToAHiveFileAndRestoreIntoANewKey) {
    auto saveKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_saveKey0);
    auto restoreKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_restoreKey0);
    std::wstring dir = qartest::makeTempDir(L"registry-hive");
    std::wstring hive = dir + L"\\saved.hiv";
    ASSERT_TRUE(set(str(L"kept"), 1, L"a"));
    EXPECT_EQ(vm_.call(saveKey, cls(), kHKCU, path(), str(hive), 0), JNI_TRUE);
    std::string saved = qartest::readFile(hive).value_or("");
    EXPECT_NE(saved.find("\"a\"=\"kept\""), std::string::npos) << saved;
    EXPECT_EQ(vm_.call(saveKey, cls(), kHKCU, path(L"no such key"), str(dir + L"\\other.hiv"), 0), JNI_FALSE);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\other.hiv").c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_EQ(vm_.call(restoreKey, cls(), kHKCU, path(L"restored"), str(hive), 0), JNI_TRUE);
    EXPECT_TRUE(keyExists(L"restored"));
    qartest::removeTree(dir);
}

}  // namespace
