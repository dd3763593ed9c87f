// Soak: links created through both natives and the shell told of them, with
// COM entered and left through the library, round after round; handles,
// memory and the VM's references stay flat.
#include "family_soak.h"
#include "wbnative_test.h"

namespace {

std::vector<jbyte> ansi(const std::string& text) {
    std::vector<jbyte> out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

std::vector<jbyte> utf16(const std::wstring& text) {
    std::vector<jbyte> out;
    for (wchar_t c : text) {
        out.push_back(static_cast<jbyte>(c & 0xFF));
        out.push_back(static_cast<jbyte>(c >> 8));
    }
    out.insert(out.end(), {0, 0});
    return out;
}

TEST(ShellLinksSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    auto initialize = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_initialize0);
    auto uninitialize = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_uninitialize);
    auto createWide = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_createWide0);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0);
    auto notify = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_changeNotify0);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = temp;
    const std::wstring link = folder + L"wbnative-soak-" + std::to_wstring(GetCurrentProcessId()) + L".lnk";

    // COM entered and left and the shell notified each round: a tenth of the
    // other families' size in the full run.
    wbtest::soakFamily(vm, "shelllinks", {40, 100, 16}, [&](size_t i) {
        jclass none = nullptr;
        ASSERT_TRUE(vm.call(initialize, none));
        if (i % 2 == 0) {
            EXPECT_TRUE(vm.call(createWide, none, vm.newString(link), vm.newString(L"C:\\windows\\notepad.exe"),
                                vm.newString(L"C:\\"), vm.newString(L"C:\\windows\\system32\\shell32.dll"),
                                vm.newString(L"-a \"b c\""), jboolean(false), vm.newString(L"soak"),
                                jint(SW_SHOWNORMAL)));
        } else {
            EXPECT_TRUE(vm.call(create, none, vm.newString(link), vm.newArray(ansi("C:\\windows\\notepad.exe")),
                                vm.newArray(ansi("C:\\")), vm.newArray(ansi("C:\\windows\\system32\\shell32.dll")),
                                vm.newArray(ansi("-a")), jboolean(false), vm.newArray(ansi("soak"))));
        }
        EXPECT_TRUE(vm.call(notify, none, vm.newArray(utf16(link)), vm.newArray(utf16(folder))));
        EXPECT_TRUE(vm.call(uninitialize, none));
        DeleteFileW(link.c_str());
    });
}

}  // namespace
