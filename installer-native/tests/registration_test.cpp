// Binding the natives: the table against javac's declarations, the exports,
// registerNatives, registerNativesBorder and Misc.registerExtensionFunctions0.
#include "console_capture.h"
#include "native_table.h"
#include "target.h"
#include "wbnative_test.h"

#include <algorithm>

namespace {

using qarjvm::Jvm;
using wbnative::ClassRow;
using wbnative::kNativeClassCount;
using wbnative::kNativeClasses;
using wbnative::NativeRow;
using wbnative::Registrar;
using wbtest::recordError;
using wbtest::takeErrors;

typedef void(__cdecl* ErrorPrinter)(const wchar_t*, ...);
typedef jboolean(__cdecl* RegisterNativesFn)(JNIEnv*, HMODULE, ErrorPrinter);
typedef jboolean(__cdecl* RegisterBorderFn)(JNIEnv*, jobject, jclass, jmethodID, HMODULE, ErrorPrinter);

const char kRegistry[] = "com/wizbuild/runtime/installer/platform/win32/Registry";

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string withoutCr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

template <typename F>
F exported(HMODULE module, const char* name) {
    F fn = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    EXPECT_NE(fn, nullptr) << name;
    return fn;
}

HMODULE loadModule(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    EXPECT_NE(module, nullptr) << "LoadLibraryW failed: " << GetLastError();
    return module;
}

// Every java native declared, except those for which skip() is true.
template <typename Skip>
void declareNativesExcept(Jvm& vm, Skip skip) {
    for (const qarjvm::NativeDecl& n : wbtest::javaNatives())
        if (!skip(n)) vm.defineClass(n.className).nativeMethod(n.method, n.signature);
}

// The class's recorded registration equals its table, bound from module.
void expectRegistered(Jvm& vm, const ClassRow& cls, HMODULE module) {
    std::vector<qarjvm::RegisteredNative> got = vm.registeredNatives(cls.slashName);
    std::vector<qarjvm::RegisteredNative> want;
    for (int i = 0; i < cls.count; ++i) {
        const NativeRow& n = cls.natives[i];
        if (n.registered) want.push_back({n.method, n.signature, reinterpret_cast<void*>(GetProcAddress(module, n.exportName))});
    }
    ASSERT_EQ(got.size(), want.size()) << cls.slashName;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].name, want[i].name) << cls.slashName;
        EXPECT_EQ(got[i].signature, want[i].signature) << cls.slashName << "." << got[i].name;
        EXPECT_NE(want[i].fnPtr, nullptr) << cls.slashName << "." << got[i].name;
        EXPECT_EQ(got[i].fnPtr, want[i].fnPtr) << cls.slashName << "." << got[i].name;
    }
}

// Index of the class in the table.
int classIndex(const std::string& slashName) {
    for (int i = 0; i < kNativeClassCount; ++i)
        if (slashName == kNativeClasses[i].slashName) return i;
    ADD_FAILURE() << "no class " << slashName;
    return -1;
}

TEST(NativeTable, MatchesJavacDeclarationsAndVmExportNames) {
    size_t rows = 0, registered = 0;
    int natives = 0, border = 0;
    for (int c = 0; c < kNativeClassCount; ++c) {
        const ClassRow& cls = kNativeClasses[c];
        (cls.registrar == Registrar::registerNatives ? natives : border) += 1;
        for (int i = 0; i < cls.count; ++i) {
            const NativeRow& n = cls.natives[i];
            ++rows;
            if (n.registered) ++registered;
            const qarjvm::NativeDecl* decl = qarjvm::findNative(wbtest::javaNatives(), cls.slashName, n.method);
            ASSERT_NE(decl, nullptr);
            EXPECT_EQ(n.signature, decl->signature) << decl->jniName;
            EXPECT_EQ(n.exportName, qarjvm::exportName(*decl));
            std::string reported = std::string("Java_") + cls.slashName + "_" + n.method;
            std::replace(reported.begin(), reported.end(), '/', '_');
            EXPECT_EQ(n.reportName, reported);
        }
    }
    EXPECT_EQ(rows, wbtest::javaNatives().size());
    EXPECT_EQ(rows, 110u);
    EXPECT_EQ(registered, 109u);
    EXPECT_EQ(natives, 18);
    EXPECT_EQ(border, 2);
    // Spot checks of the names the runtime's documentation gives.
    const qarjvm::NativeDecl* setValue = qarjvm::findNative(wbtest::javaNatives(), kRegistry, "setValue0");
    const qarjvm::NativeDecl* create0 =
        qarjvm::findNative(wbtest::javaNatives(), "com/wizbuild/runtime/installer/platform/win32/ShellLink", "create0");
    ASSERT_TRUE(setValue && create0);
    if (qartest::kI686) {
        EXPECT_EQ(qarjvm::exportName(*setValue), "_Java_com_wizbuild_runtime_installer_platform_win32_Registry_setValue0@32");
        EXPECT_EQ(qarjvm::exportName(*create0), "_Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0@36");
    } else {
        EXPECT_EQ(qarjvm::exportName(*setValue), "Java_com_wizbuild_runtime_installer_platform_win32_Registry_setValue0");
    }
}

TEST(NativeTable, LibraryExportsTheNativesOfItsBuiltFamiliesOnly) {
    HMODULE lib = wbtest::library();
    ASSERT_NE(lib, nullptr);
    EXPECT_NE(GetProcAddress(lib, "registerNatives"), nullptr);
    EXPECT_NE(GetProcAddress(lib, "registerNativesBorder"), nullptr);
    for (int c = 0; c < kNativeClassCount; ++c) {
        for (int i = 0; i < kNativeClasses[c].count; ++i) {
            const NativeRow& n = kNativeClasses[c].natives[i];
            EXPECT_EQ(GetProcAddress(lib, n.exportName) != nullptr, wbtest::familyBuilt(n.family))
                << n.exportName << " of the family " << n.family;
            if (qartest::kI686) {
                // Only the decorated name: a VM that looks up the plain one does so second.
                std::string plain = std::string(n.exportName + 1);
                plain.erase(plain.find('@'));
                EXPECT_EQ(GetProcAddress(lib, plain.c_str()), nullptr) << plain;
            }
        }
    }
}

TEST(RegisterNatives, BindsAllEighteenClassesWhenEveryExportIsThere) {
    Jvm vm;
    qarjvm::declareNatives(vm, wbtest::javaNatives());
    HMODULE stub = loadModule(WBNATIVE_STUB_ALL_EXE);
    auto registerNatives = exported<RegisterNativesFn>(wbtest::library(), "registerNatives");
    ASSERT_TRUE(stub && registerNatives);
    EXPECT_EQ(vm.call(registerNatives, stub, &recordError), JNI_TRUE);
    EXPECT_TRUE(takeErrors().empty());
    for (int c = 0; c < kNativeClassCount; ++c) {
        const ClassRow& cls = kNativeClasses[c];
        if (cls.registrar == Registrar::registerNatives)
            expectRegistered(vm, cls, stub);
        else
            EXPECT_TRUE(vm.registeredNatives(cls.slashName).empty()) << cls.slashName;
    }
}

TEST(RegisterNatives, StopsAtTheFirstMissingExport) {
    Jvm vm;
    qarjvm::declareNatives(vm, wbtest::javaNatives());
    HMODULE stub = loadModule(WBNATIVE_STUB_LACKING_EXE);
    auto registerNatives = exported<RegisterNativesFn>(wbtest::library(), "registerNatives");
    ASSERT_TRUE(stub && registerNatives);
    EXPECT_EQ(vm.call(registerNatives, stub, &recordError), JNI_FALSE);
    EXPECT_EQ(takeErrors(),
              std::vector<std::wstring>{L"did not find Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0"});
    int failing = classIndex(kRegistry);
    for (int c = 0; c < kNativeClassCount; ++c) {
        const ClassRow& cls = kNativeClasses[c];
        if (c < failing && cls.registrar == Registrar::registerNatives)
            expectRegistered(vm, cls, stub);
        else
            EXPECT_TRUE(vm.registeredNatives(cls.slashName).empty()) << cls.slashName;
    }
}

// The real library, handing its own handle: the first native of a family that
// is not built yet stops the registration with its "did not find" message.
TEST(RegisterNatives, OwnModuleReportsTheFirstNativeNotBuilt) {
    Jvm vm;
    qarjvm::declareNatives(vm, wbtest::javaNatives());
    HMODULE lib = wbtest::library();
    auto registerNatives = exported<RegisterNativesFn>(lib, "registerNatives");
    ASSERT_TRUE(registerNatives);
    const char* missing = nullptr;
    for (int c = 0; c < kNativeClassCount && !missing; ++c) {
        const ClassRow& cls = kNativeClasses[c];
        if (cls.registrar != Registrar::registerNatives) continue;
        for (int i = 0; i < cls.count && !missing; ++i)
            if (cls.natives[i].registered && !wbtest::familyBuilt(cls.natives[i].family))
                missing = cls.natives[i].reportName;
    }
    jboolean result = vm.call(registerNatives, lib, &recordError);
    if (!missing) {
        EXPECT_EQ(result, JNI_TRUE);
        EXPECT_TRUE(takeErrors().empty());
    } else {
        EXPECT_EQ(result, JNI_FALSE);
        EXPECT_EQ(takeErrors(), std::vector<std::wstring>{L"did not find " + wide(missing)});
    }
}

TEST(RegisterNatives, ReportsTheVmRejectingATable) {
    Jvm vm;
    const std::string handle = "com/wizbuild/runtime/installer/platform/win32/Win32Handle";
    declareNativesExcept(vm, [&](const qarjvm::NativeDecl& n) { return n.className == handle && n.method == "close0"; });
    HMODULE stub = loadModule(WBNATIVE_STUB_ALL_EXE);
    auto registerNatives = exported<RegisterNativesFn>(wbtest::library(), "registerNatives");
    ASSERT_TRUE(stub && registerNatives);
    vm.allowPendingExceptionOnReturn(true);
    EXPECT_EQ(vm.call(registerNatives, stub, &recordError), JNI_FALSE);
    EXPECT_EQ(vm.takeException(), "java/lang/NoSuchMethodError");
    EXPECT_EQ(takeErrors(), std::vector<std::wstring>{L"register " + wide(handle) + L" failed -1"});
    EXPECT_TRUE(vm.registeredNatives("com/wizbuild/runtime/installer/platform/win32/Win32Services").empty());
}

TEST(RegisterNatives, ReportsAClassThatDoesNotLoad) {
    Jvm vm;
    declareNativesExcept(vm, [&](const qarjvm::NativeDecl& n) { return n.className == kRegistry; });
    HMODULE stub = loadModule(WBNATIVE_STUB_ALL_EXE);
    auto registerNatives = exported<RegisterNativesFn>(wbtest::library(), "registerNatives");
    ASSERT_TRUE(stub && registerNatives);
    vm.allowPendingExceptionOnReturn(true);
    EXPECT_EQ(vm.call(registerNatives, stub, &recordError), JNI_FALSE);
    vm.takeException();
    EXPECT_EQ(takeErrors(), std::vector<std::wstring>{L"could not load class " + wide(kRegistry)});
}

// registerNativesBorder called from a native, as Misc.registerExtensionFunctions0 does.
jboolean callBorder(Jvm& vm, RegisterBorderFn border, HMODULE module) {
    return vm.call(
        [&](JNIEnv* env, jobject loader, jclass classClass) {
            jmethodID forName = env->GetStaticMethodID(classClass, "forName",
                                                       "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
            EXPECT_NE(forName, nullptr);
            return border(env, loader, classClass, forName, module, &recordError);
        },
        vm.newObject("java/lang/ClassLoader"), vm.findClass("java/lang/Class"));
}

TEST(RegisterNativesBorder, BindsBothClassesThroughTheClassLoader) {
    Jvm vm;
    qarjvm::declareNatives(vm, wbtest::javaNatives());
    HMODULE stub = loadModule(WBNATIVE_STUB_ALL_EXE);
    auto border = exported<RegisterBorderFn>(wbtest::library(), "registerNativesBorder");
    ASSERT_TRUE(stub && border);
    EXPECT_EQ(callBorder(vm, border, stub), JNI_TRUE);
    EXPECT_TRUE(takeErrors().empty());
    for (int c = 0; c < kNativeClassCount; ++c) {
        const ClassRow& cls = kNativeClasses[c];
        if (cls.registrar == Registrar::registerNativesBorder)
            expectRegistered(vm, cls, stub);
        else
            EXPECT_TRUE(vm.registeredNatives(cls.slashName).empty()) << cls.slashName;
    }
}

TEST(RegisterNativesBorder, StopsWhenTheLoaderLacksTheFirstClass) {
    Jvm vm;
    const std::string wndProc = "com/wizbuild/runtime/laf/WindowsNativeBorder$WndProc";
    declareNativesExcept(vm, [&](const qarjvm::NativeDecl& n) { return n.className == wndProc; });
    HMODULE stub = loadModule(WBNATIVE_STUB_ALL_EXE);
    auto border = exported<RegisterBorderFn>(wbtest::library(), "registerNativesBorder");
    ASSERT_TRUE(stub && border);
    vm.allowPendingExceptionOnReturn(true);
    EXPECT_EQ(callBorder(vm, border, stub), JNI_FALSE);
    EXPECT_EQ(vm.takeException(), "java/lang/ClassNotFoundException");  // left pending for the caller
    EXPECT_EQ(takeErrors(), std::vector<std::wstring>{L"could not load class " + wide(wndProc)});
    EXPECT_TRUE(vm.registeredNatives("com/wizbuild/runtime/laf/WindowsNativeBorder").empty());
}

// Misc.registerExtensionFunctions0 as the runtime calls it, printing through
// the library's own printError.
struct ExtensionCall {
    jboolean result;
    std::string err;
};

ExtensionCall callExtension(Jvm& vm, const std::wstring& name) {
    auto fn = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Misc_registerExtensionFunctions0);
    if (!fn) return {JNI_FALSE, ""};
    jclass misc = vm.findClass("com/wizbuild/runtime/installer/platform/win32/Misc");
    jobject loader = vm.newObject("java/lang/ClassLoader");
    qartest::ConsoleCapture capture;
    jboolean result = vm.call(fn, misc, loader, vm.newString(name));
    return {result, withoutCr(capture.err())};
}

TEST(RegisterExtensionFunctions, RefusesNamesThatAreNoExtensionRegistrar) {
    for (const wchar_t* name : {L"registerNativesBorderX", L"registerNatives", L""}) {
        Jvm vm;
        qarjvm::declareNatives(vm, wbtest::javaNatives());
        ExtensionCall call = callExtension(vm, name);
        EXPECT_EQ(call.result, JNI_FALSE);
        std::wstring wname(name);
        EXPECT_EQ(call.err, "ERROR: did not find register natives extension in helper dll (" +
                                std::string(wname.begin(), wname.end()) + ")\n");
    }
}

TEST(RegisterExtensionFunctions, RunsRegisterNativesBorderOnItsOwnModule) {
    Jvm vm;
    qarjvm::declareNatives(vm, wbtest::javaNatives());
    ExtensionCall call = callExtension(vm, L"registerNativesBorder");
    if (wbtest::familyBuilt("border")) {
        EXPECT_EQ(call.result, JNI_TRUE);
        EXPECT_EQ(call.err, "");
        EXPECT_EQ(vm.registeredNatives("com/wizbuild/runtime/laf/WindowsNativeBorder").size(), 1u);
    } else {
        EXPECT_EQ(call.result, JNI_FALSE);
        EXPECT_EQ(call.err,
                  "ERROR: did not find Java_com_wizbuild_runtime_laf_WindowsNativeBorder$WndProc_installImpl\n"
                  "ERROR: registering helper dll extension failed\n");
    }
}

}  // namespace
