// Every native that copies a Java string, with the VM out of memory at the
// first, second, ... copy: the native returns its failure value, touches
// nothing, and makes no JNI call while the OutOfMemoryError is pending (the
// stand-in VM fails the test for any such call).
#include "wbnative_test.h"
#include "wine_process.h"

#include <cstring>
#include <functional>
#include <type_traits>

namespace {

using qarjvm::Jvm;

// Calls <class>.<method> with a null class and the arguments; the result as
// a number: 0 for void and null, 1 for another reference.
template <typename R, typename... A>
jlong callNative(Jvm& vm, const char* cls, const char* method, A... args) {
    auto fn = wbtest::native<R(JNICALL*)(JNIEnv*, jclass, A...)>(cls, method);
    if constexpr (std::is_void_v<R>) {
        vm.call(fn, jclass(nullptr), args...);
        return 0;
    } else if constexpr (std::is_pointer_v<R>) {
        return vm.call(fn, jclass(nullptr), args...) ? 1 : 0;
    } else {
        return static_cast<jlong>(vm.call(fn, jclass(nullptr), args...));
    }
}

struct Case {
    const char* native;
    std::function<jlong(Jvm&)> call;
    jlong failure;
    // WinInet reports JNI failures on its connection object and clears them.
    bool exceptionCleared = false;
};

jstring S(Jvm& vm, const wchar_t* text) { return vm.newString(std::wstring(text)); }

constexpr jint kHKCU = 2;
const wchar_t kKey[] = L"Software\\QAR wbnative tests\\StringCopy";

class StringCopyFailure : public ::testing::Test {
protected:
    void SetUp() override {
        // The natives' HKEY_CURRENT_USER is a scratch key for this process:
        // a native that took a failed copy for "no path" would empty it, not
        // the prefix's whole user hive.
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &scratch_, nullptr), 0);
        ASSERT_EQ(RegCreateKeyExW(scratch_, L"Keep\\Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child_, nullptr), 0);
        const wchar_t text[] = L"value";
        ASSERT_EQ(RegSetValueExW(child_, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), 0);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch_), 0);
        dir_ = qartest::makeTempDir(L"stringcopy");
        file_ = dir_ + L"\\source.txt";
        ASSERT_TRUE(qartest::writeFile(file_, "x"));
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        if (child_) RegCloseKey(child_);
        if (scratch_) RegCloseKey(scratch_);
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        qartest::removeTree(dir_);
    }
    bool scratchIntact() {
        DWORD size = 0;
        return RegGetValueW(scratch_, L"Keep\\Child", L"v", RRF_RT_REG_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS;
    }

    HKEY scratch_ = nullptr;
    HKEY child_ = nullptr;
    std::wstring dir_;
    std::wstring file_;
};

TEST_F(StringCopyFailure, EveryNativeReturnsItsFailureValueAtOnce) {
    const jint notEnoughMemory = ERROR_NOT_ENOUGH_MEMORY;
    static std::wstring sFile;
    sFile = file_;
    const Case cases[] = {
        {"FileVersion.compare0", [](Jvm& vm) {
             return callNative<jint>(vm, "FileVersion", "compare0", S(vm, L"C:\\windows\\system32\\kernel32.dll"),
                                     S(vm, L"C:\\windows\\system32\\user32.dll")); }, 3},
        {"FolderInfo.getPathFromRegistry0", [](Jvm& vm) {
             return callNative<jstring>(vm, "FolderInfo", "getPathFromRegistry0", S(vm, L"ProgramFilesDir")); }, 0},
        {"FolderInfo.getDriveType0", [](Jvm& vm) {
             return callNative<jint>(vm, "FolderInfo", "getDriveType0", S(vm, L"C:\\")); }, DRIVE_UNKNOWN},
        // The caller's own string, as for every other failure.
        {"FolderInfo.getShortPathName0", [](Jvm& vm) {
             return callNative<jstring>(vm, "FolderInfo", "getShortPathName0", S(vm, L"C:\\windows")); }, 1},
        {"FolderInfo.getUniversalPathName0", [](Jvm& vm) {
             return callNative<jstring>(vm, "FolderInfo", "getUniversalPathName0", S(vm, L"C:\\")); }, 1},
        {"Misc.getFreeDiskSpace0", [](Jvm& vm) {
             return callNative<jlong>(vm, "Misc", "getFreeDiskSpace0", S(vm, L"C:\\")); }, -1},
        // A failed target is no null target: nothing is scheduled for deletion.
        {"Misc.moveWithDelayUntilReboot0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Misc", "moveWithDelayUntilReboot0", vm.newString(sFile),
                                         vm.newString(sFile + L".moved")); }, JNI_FALSE},
        {"Win32Exec.launch0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32Exec", "launch0", S(vm, L"C:\\qar\\no-such.exe"),
                                     S(vm, L"no-such.exe")); }, notEnoughMemory},
        {"ShellLink.createWide0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "ShellLink", "createWide0", vm.newString(sFile + L".lnk"),
                                         S(vm, L"C:\\qar\\t.exe"), S(vm, L"C:\\qar"), S(vm, L"C:\\qar\\t.ico"),
                                         S(vm, L"-a"), jboolean(JNI_FALSE), S(vm, L"d"), jint(1)); }, JNI_FALSE},
        {"ShellLink.create0", [](Jvm& vm) {
             auto bytes = [&vm](const char* text) {
                 return vm.newArray<jbyte>(std::vector<jbyte>(text, text + std::strlen(text) + 1));
             };
             return callNative<jboolean>(vm, "ShellLink", "create0", vm.newString(sFile + L".lnk"),
                                         bytes("C:\\qar\\t.exe"), bytes("C:\\qar"), jbyteArray(nullptr),
                                         jbyteArray(nullptr), jboolean(JNI_FALSE), jbyteArray(nullptr)); }, JNI_FALSE},
        {"Win32CommunicationBackend.createListener0", [](Jvm& vm) {
             return callNative<jlong>(vm, "Win32CommunicationBackend", "createListener0",
                                      S(vm, L"\\\\.\\pipe\\qar-string-copy-probe")); }, -1},
        {"Win32UserInfo.executeElevated0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Win32UserInfo", "executeElevated0", S(vm, L"C:\\qar\\no-such.exe"),
                                         S(vm, L"-x"), S(vm, L"C:\\qar"), jint(0)); }, JNI_FALSE},
        {"Win32UserInfo.addUser0", [](Jvm& vm) {
             return callNative<jstring>(vm, "Win32UserInfo", "addUser0", S(vm, L"qarprobe"), S(vm, L"pw"),
                                        S(vm, L"c"), S(vm, L"qarprobegroup"), S(vm, L"gc"), jboolean(JNI_FALSE),
                                        jboolean(JNI_FALSE)); }, 0},
        {"Win32UserInfo.deleteUser0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32UserInfo", "deleteUser0", S(vm, L""), S(vm, L"qarprobe")); }, -1},
        {"Win32UserInfo.deleteLocalGroup0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32UserInfo", "deleteLocalGroup0", S(vm, L""), S(vm, L"qarprobe")); }, -1},
        {"Win32UserInfo.getAccountName0", [](Jvm& vm) {
             return callNative<jstring>(vm, "Win32UserInfo", "getAccountName0", S(vm, L"S-1-5-32-544"),
                                        jboolean(JNI_FALSE)); }, 0},
        {"Win32UserInfo.getUserProfileDirectory0", [](Jvm& vm) {
             return callNative<jstring>(vm, "Win32UserInfo", "getUserProfileDirectory0", S(vm, L"S-1-5-18"),
                                        S(vm, L"pw")); }, 0},
        // A failed right is no null right, which would revoke them all.
        {"Win32UserInfo.setLsaAccountRight0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Win32UserInfo", "setLsaAccountRight0", S(vm, L"S-1-5-32-545"),
                                         S(vm, L"SeServiceLogonRight"), jboolean(JNI_FALSE)); }, JNI_FALSE},
        {"ACLHandling.addACE", [](Jvm& vm) {
             return callNative<jboolean>(vm, "ACLHandling", "addACE", vm.newString(sFile), jboolean(JNI_FALSE),
                                         jboolean(JNI_TRUE), jboolean(JNI_FALSE), jboolean(JNI_FALSE),
                                         jboolean(JNI_FALSE), jint(3), S(vm, L"S-1-5-32-545")); }, JNI_FALSE},
        {"Registry.keyExists0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Registry", "keyExists0", kHKCU, S(vm, L"Keep"), jint(0)); }, JNI_FALSE},
        {"Registry.createKey0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Registry", "createKey0", kHKCU, S(vm, L"Keep\\New"), jint(0)); },
         JNI_FALSE},
        {"Registry.getValue0", [](Jvm& vm) {
             return callNative<jobject>(vm, "Registry", "getValue0", kHKCU, S(vm, L"Keep\\Child"), S(vm, L"v"),
                                        jint(0)); }, 0},
        {"Registry.setValue0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Registry", "setValue0", kHKCU, S(vm, L"Keep\\Child"), S(vm, L"w"),
                                         jobject(S(vm, L"x")), jint(1), jint(0)); }, JNI_FALSE},
        // No value name is the default value: a failed copy deletes nothing.
        {"Registry.deleteValue0", [](Jvm& vm) {
             return callNative<void>(vm, "Registry", "deleteValue0", kHKCU, S(vm, L"Keep\\Child"), S(vm, L"w"),
                                     jint(0)); }, 0},
        // No path is the root key: a failed copy must not delete its tree.
        {"Registry.deleteKey0", [](Jvm& vm) {
             return callNative<void>(vm, "Registry", "deleteKey0", kHKCU, S(vm, L"Keep\\Nothing"), jboolean(JNI_FALSE),
                                     jint(0)); }, 0},
        {"Registry.deleteKey0 only if empty", [](Jvm& vm) {
             return callNative<void>(vm, "Registry", "deleteKey0", kHKCU, S(vm, L"Keep\\Nothing"), jboolean(JNI_TRUE),
                                     jint(0)); }, 0},
        {"Registry.saveKey0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Registry", "saveKey0", kHKCU, S(vm, L"Keep"),
                                         vm.newString(sFile + L".hive"), jint(0)); }, JNI_FALSE},
        {"Registry.restoreKey0", [](Jvm& vm) {
             return callNative<jboolean>(vm, "Registry", "restoreKey0", kHKCU, S(vm, L"Keep"),
                                         vm.newString(sFile + L".missing"), jint(0)); }, JNI_FALSE},
        {"Registry.enumSubKeys0", [](Jvm& vm) {
             return callNative<jobjectArray>(vm, "Registry", "enumSubKeys0", kHKCU, S(vm, L"Keep"), jint(0)); }, 0},
        {"Registry.enumValues0", [](Jvm& vm) {
             return callNative<jobjectArray>(vm, "Registry", "enumValues0", kHKCU, S(vm, L"Keep"), jint(0)); }, 0},
        {"Win32Handle.getDeviceName0", [](Jvm& vm) {
             return callNative<jstring>(vm, "Win32Handle", "getDeviceName0", S(vm, L"C:")); }, 0},
        // A name no service can have: nothing is created when the copies work.
        {"Win32Services.installService0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32Services", "installService0", S(vm, L"qar\\invalid"), S(vm, L"d"),
                                     S(vm, L"C:\\qar\\no-such.exe")); }, notEnoughMemory},
        {"Win32Services.queryStatus0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32Services", "queryStatus0", S(vm, L"qar-no-such-service")); },
         notEnoughMemory},
        {"Win32Services.stopService0", [](Jvm& vm) {
             return callNative<jint>(vm, "Win32Services", "stopService0", S(vm, L"qar-no-such-service"), jint(0)); },
         notEnoughMemory},
        {"Win32Services.getServiceBinary0", [](Jvm& vm) {
             return callNative<jstring>(vm, "Win32Services", "getServiceBinary0", S(vm, L"qar-no-such-service")); },
         0},
        {"Win32Proxy.getAutoProxyConfig0", [](Jvm& vm) {
             jobjectArray out = vm.newObjectArray("java/lang/String", {nullptr, nullptr, nullptr, nullptr});
             return callNative<jlong>(vm, "Win32Proxy", "getAutoProxyConfig0", out, S(vm, L"http://127.0.0.1:1/"),
                                      S(vm, L"http://127.0.0.1:1/proxy.pac"), jint(2), jint(0), jboolean(JNI_FALSE)); },
         notEnoughMemory},
        // The connection object tells: location 1, code 6.
        {"WinInet.connect0", [](Jvm& vm) {
             const char* cls = "com/wizbuild/runtime/installer/platform/win32/wininet/WinInet";
             callNative<jboolean>(vm, cls, "init0");
             jlong h = callNative<jlong>(vm, cls, "connect0", S(vm, L"agent"), jint(1), S(vm, L""), S(vm, L""),
                                         jint(0), S(vm, L"127.0.0.1"), jint(1), jint(0));
             jlong failure = callNative<jint>(vm, cls, "getErrorLocation0", h) * 100 +
                             callNative<jint>(vm, cls, "getErrorCode0", h);
             callNative<void>(vm, cls, "destroy0", h);
             return failure; }, 106, true},
        {"WindowsNativeBorder.registryGetIntValue", [](Jvm& vm) {
             return callNative<jint>(vm, "com/wizbuild/runtime/laf/WindowsNativeBorder", "registryGetIntValue",
                                     S(vm, L"Keep"), S(vm, L"n"), jint(-7)); }, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.native);
        unsigned failed = 0;
        for (unsigned nth = 1;; ++nth) {
            Jvm vm;
            vm.allowPendingExceptionOnReturn(true);
            vm.failNext("GetStringChars", nth);
            jlong result = c.call(vm);
            std::string pending = vm.takeException();
            if (vm.unusedFailures() > 0) break;  // fewer copies than nth
            ++failed;
            EXPECT_EQ(result, c.failure) << "copy " << nth << " failed";
            EXPECT_EQ(pending, c.exceptionCleared ? "" : "java/lang/OutOfMemoryError") << "copy " << nth << " failed";
            EXPECT_TRUE(scratchIntact()) << "copy " << nth << " failed";
        }
        EXPECT_GT(failed, 0u) << "the native copied no string";
    }
}

}  // namespace
