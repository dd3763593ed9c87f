// Loads qa2winutil the way the client's VM binds its natives (by the JNI
// names that javac generated for the client's classes) and calls them
// through the strict stand-in VM.
#pragma once

#include "jvm.h"
#include "natives.h"
#include "wine_process.h"

#include "ch_qar_qarapp2_windows_utils_JNICodeSigningVerifier.h"
#include "ch_qar_qarapp2_windows_utils_JNIRemoteSessionChecker.h"

#include <gtest/gtest.h>

#include <windows.h>

class Qa2winutilTest : public ::testing::Test {
protected:
    static constexpr const char* kVerifierClass = "ch/qar/qarapp2/windows/utils/JNICodeSigningVerifier";
    static constexpr const char* kSessionClass = "ch/qar/qarapp2/windows/utils/JNIRemoteSessionChecker";
    // The types javac declared.
    using VerifyFn = decltype(&Java_ch_qar_qarapp2_windows_utils_JNICodeSigningVerifier_verifyExecutable);
    using SessionFn = decltype(&Java_ch_qar_qarapp2_windows_utils_JNIRemoteSessionChecker_isRemoteSession);

    void SetUp() override {
        natives_ = qarjvm::loadNatives(QA2WINUTIL_JAVA_NATIVES);
        qarjvm::declareNatives(vm, natives_);
        module_ = LoadLibraryW(qartest::winPath(QA2WINUTIL_EXE).c_str());
        ASSERT_NE(module_, nullptr) << "LoadLibrary failed: " << GetLastError();
        verifyExecutable = bind<VerifyFn>(kVerifierClass, "verifyExecutable");
        isRemoteSession = bind<SessionFn>(kSessionClass, "isRemoteSession");
        ASSERT_NE(verifyExecutable, nullptr);
        ASSERT_NE(isRemoteSession, nullptr);
        verifier = vm.newObject(kVerifierClass);
        sessionChecker = vm.newObject(kSessionClass);
    }

    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    qarjvm::Jvm vm;
    VerifyFn verifyExecutable = nullptr;
    SessionFn isRemoteSession = nullptr;
    jobject verifier = nullptr;
    jobject sessionChecker = nullptr;

private:
    template <typename Fn>
    Fn bind(const char* cls, const char* method) {
        const qarjvm::NativeDecl* native = qarjvm::findNative(natives_, cls, method);
        if (!native) return nullptr;
        FARPROC address = qarjvm::lookupNative(module_, *native);
        EXPECT_NE(address, nullptr) << "the library does not export " << qarjvm::exportName(*native);
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
    }

    std::vector<qarjvm::NativeDecl> natives_;
    HMODULE module_ = nullptr;
};
