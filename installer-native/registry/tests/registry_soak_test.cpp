// Soak: the registry natives round after round under one key of their own;
// handles, memory and the VM's references stay flat.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

constexpr jint kHKCU = 2;

TEST(RegistrySoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    vm.defineClass("com/wizbuild/api/windows/WinRegistry$ExpandString").constructor("(Ljava/lang/String;)V");
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + "Registry").name();
    const std::wstring key = L"Software\\QAR wbnative tests\\soak " + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());

    auto exists = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_keyExists0);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0);
    auto get = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0);
    auto set = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_setValue0);
    auto deleteValue = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteValue0);
    auto deleteKey = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0);
    auto subKeys = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumSubKeys0);
    auto values = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumValues0);

    wbtest::soakFamily(vm, "registry", {300}, [&](size_t i) {
        jclass c = vm.findClass(cls);
        jstring path = vm.newString(key);
        jstring sub = vm.newString(key + L"\\sub");
        ASSERT_EQ(vm.call(create, c, kHKCU, sub, 0), JNI_TRUE);
        ASSERT_EQ(vm.call(exists, c, kHKCU, path, 0), JNI_TRUE);
        // One value of each kind the natives convert, in turn.
        jobject value;
        jint type;
        switch (i % 5) {
            case 0: value = vm.newString(L"text " + std::to_wstring(i)); type = 1; break;
            case 1: value = vm.newString(L"%TEMP%\\x"); type = 5; break;
            case 2: value = vm.boxInt(static_cast<jint>(i)); type = 2; break;
            case 3: value = vm.boxLong(static_cast<jlong>(i) << 33); type = 6; break;
            default: value = vm.newObjectArray("java/lang/String", {vm.newString(L"a"), vm.newString(L"bc")}); type = 3; break;
        }
        jstring name = vm.newString(L"v");
        ASSERT_EQ(vm.call(set, c, kHKCU, path, name, value, type, 0), JNI_TRUE);
        ASSERT_NE(vm.call(get, c, kHKCU, path, name, 0), nullptr);
        ASSERT_EQ(vm.call(get, c, kHKCU, path, vm.newString(L"missing"), 0), nullptr);
        ASSERT_NE(vm.call(subKeys, c, kHKCU, path, 0), nullptr);
        ASSERT_NE(vm.call(values, c, kHKCU, path, 0), nullptr);
        vm.call(deleteValue, c, kHKCU, path, name, 0);
        vm.call(deleteKey, c, kHKCU, sub, JNI_FALSE, 0);
    });
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
