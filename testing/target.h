// Which build a test program belongs to, and whether it runs under the 32-bit
// emulation. The suite runs twice, once per target (see README):
//
//   - facts of one target (structure sizes, decorated export names, handle
//     widths) branch on kI686 at compile time and check that target's value;
//   - a test that fails on i686 only because of the emulation (qemu-i386 and
//     its shim), not because of the product - shown by a small program that
//     uses no product code failing the same way - starts with
//     QAR_SKIP_UNDER_EMULATION("why"): it is skipped there with the reason
//     printed, and still runs on x86_64 and on real 32-bit Windows.
#pragma once

#include <windows.h>

namespace qartest {

#ifdef _WIN64
inline constexpr bool kI686 = false;
inline constexpr char kTarget[] = "x86_64";
#else
inline constexpr bool kI686 = true;
inline constexpr char kTarget[] = "i686";
#endif

// True in a 32-bit process under Wine on a machine whose binfmt_misc hands
// 32-bit programs to qemu (scripts/setup.sh registers that entry).
inline bool underEmulation() {
    if (!kI686) return false;
    static const bool emulated = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return false;
        return GetFileAttributesW(L"Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386-wine") != INVALID_FILE_ATTRIBUTES;
    }();
    return emulated;
}

}  // namespace qartest

// Skips the current test when it runs under the 32-bit emulation; reason is
// anything that can be streamed into a GoogleTest message.
#define QAR_SKIP_UNDER_EMULATION(reason)                                                   \
    do {                                                                                   \
        if (qartest::underEmulation()) GTEST_SKIP() << "i686 under qemu-i386: " << reason; \
    } while (0)
