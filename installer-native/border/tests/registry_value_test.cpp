// WindowsNativeBorder.registryGetIntValue: DWORD values under HKEY_CURRENT_USER.
#include "wbnative_test.h"

#include <string>

namespace {

const char kBorder[] = "com/wizbuild/runtime/laf/WindowsNativeBorder";
const wchar_t kKey[] = L"Software\\WbnativeBorderTest";

class RegistryValueTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
        vm_.defineClass(kBorder);
    }
    void TearDown() override {
        if (key_) RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    }
    void set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    // null texts stand for null string references.
    jint get(const wchar_t* key, const wchar_t* name, jint fallback) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_laf_WindowsNativeBorder_registryGetIntValue),
                        vm_.findClass(kBorder), key ? vm_.newString(std::wstring(key)) : nullptr,
                        name ? vm_.newString(std::wstring(name)) : nullptr, fallback);
    }

    qarjvm::Jvm vm_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryValueTest, DwordValuesOrTheFallback) {
    DWORD dword = 0x80000001, four = 7;
    unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    set(L"Dword", REG_DWORD, &dword, sizeof dword);
    set(L"Text", REG_SZ, L"12", sizeof L"12");
    set(L"Eight", REG_BINARY, eight, sizeof eight);
    set(L"Four", REG_BINARY, &four, sizeof four);
    set(L"Qword", REG_QWORD, eight, sizeof eight);
    set(L"Gr\u00f6\u00dfe\u2013\u65e5", REG_DWORD, &four, sizeof four);
    struct Case {
        const wchar_t* key;
        const wchar_t* name;
        jint expected;
    };
    const Case cases[] = {
        {kKey, L"Dword", static_cast<jint>(0x80000001)},
        {kKey, L"Missing", -5},
        {kKey, L"Text", -5},   // a string holding a number is still no DWORD
        {kKey, L"Eight", -5},  // a binary longer than a DWORD
        {kKey, L"Qword", -5},
        {kKey, L"Four", 7},    // four binary bytes read as a DWORD, as RRF_RT_DWORD allows
        {kKey, L"Gr\u00f6\u00dfe\u2013\u65e5", 7},  // names beyond ASCII
        {L"Software\\WbnativeBorderTest\\Missing", L"Dword", -5},
        {L"Software\\WbnativeBorderTest", L"", -5},  // no default value
    };
    for (const Case& c : cases) EXPECT_EQ(get(c.key, c.name, -5), c.expected) << c.name;
}

TEST_F(RegistryValueTest, NullNamesMeanTheKeyItselfAndItsDefaultValue) {
    DWORD dword = 42;
    EXPECT_EQ(get(kKey, nullptr, -5), -5) << "no default value yet";
    set(nullptr, REG_DWORD, &dword, sizeof dword);
    EXPECT_EQ(get(kKey, nullptr, -5), 42);
    EXPECT_EQ(get(nullptr, L"NoSuchValueAtTheTop", -5), -5);
    EXPECT_EQ(get(nullptr, nullptr, -5), -5);
}

}  // namespace
