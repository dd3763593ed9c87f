// The task dialog in a process that never loaded comctl32: the library does
// not load it by itself, so nothing is shown and the result is 0. A program
// of its own, since showing any dialog loads comctl32 for good. No window is
// made, so it runs under the 32-bit emulation too.
#include "wbnative_test.h"

#include <cstdint>
#include <string>

namespace {

TEST(TaskDialogWithoutComctl32, ShowsNothingAndGivesZero) {
    ASSERT_EQ(GetModuleHandleW(L"comctl32.dll"), nullptr) << "this program must not load comctl32";
    qarjvm::Jvm vm;
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + "VistaTaskDialog").name();
    jobjectArray buttons = vm.newObjectArray("java/lang/String", {vm.newString(std::wstring(L"Install"))});
    // Were a dialog shown, the call would block: nobody closes it.
    jint result =
        vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaTaskDialog_show0), vm.findClass(cls),
                jlong{0}, vm.newString(std::wstring(L"Title")), vm.newString(std::wstring(L"Instruction")),
                vm.newString(std::wstring(L"Content")), jint{0}, jint{32516}, jint{0}, nullptr, buttons, jint{0});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(GetModuleHandleW(L"comctl32.dll"), nullptr) << "not loaded by the library";
}

}  // namespace
