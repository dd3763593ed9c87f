// Test support for wbnative: the library loaded the way the installer
// runtime's host loads it, natives found by the names a VM looks up for
// javac's declarations, and an ErrorPrinter that records what it is given.
#pragma once

#include "native_list.h"
#include "natives.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace wbtest {

inline constexpr char kWin32[] = "com/wizbuild/runtime/installer/platform/win32/";

// wbnative.dll, loaded once per test program.
HMODULE library();

// The natives javac declared for the test-only Java classes.
const std::vector<qarjvm::NativeDecl>& javaNatives();

// Whether a family of natives is built into this library.
bool familyBuilt(const std::string& family);

// The library's export for <class>.<method> (class without the package when
// it is in the win32 package) as the VM would bind it; null when missing.
FARPROC lookup(HMODULE module, const std::string& cls, const std::string& method);

template <typename F>
F native(const std::string& cls, const std::string& method) {
    FARPROC fn = lookup(library(), cls, method);
    EXPECT_NE(fn, nullptr) << "wbnative does not export " << cls << "." << method;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(fn));
}

// The library's export of a native, typed by the prototype generated from
// natives.table, found by its full JNI name:
//   auto getValue = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0);
// A call whose arguments disagree with the table fails to compile.
FARPROC lookupJni(HMODULE module, const std::string& jniName);
template <typename F>
F exported(const char* jniName) {
    FARPROC fn = lookupJni(library(), jniName);
    EXPECT_NE(fn, nullptr) << "wbnative does not export " << jniName;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(fn));
}
#define WBNATIVE(function) ::wbtest::exported<decltype(&function)>(#function)

// An ErrorPrinter (C calling convention, "%S" narrow) that records each
// message, formatted the way the Microsoft C runtime formats it.
extern "C" void __cdecl recordError(const wchar_t* format, ...);
std::vector<std::wstring> takeErrors();

}  // namespace wbtest
