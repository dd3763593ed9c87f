// Soak: the account natives round after round against Wine's advapi32,
// userenv and netapi32; handles, memory and the VM's references stay flat.
#include "family_soak.h"
#include "wbnative_test.h"

#include <lm.h>

namespace {

TEST(AccountsSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    auto userSid = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserSid0);
    auto elevation = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getElevationType0);
    auto isMember = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_isMemberOfGroup0);
    auto accountName = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getAccountName0);
    auto profile = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_getUserProfileDirectory0);
    auto setRight = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_setLsaAccountRight0);
    auto addUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_addUser0);
    auto deleteUser = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteUser0);
    auto deleteGroup = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32UserInfo_deleteLocalGroup0);

    wbtest::soakFamily(vm, "accounts", {300}, [&](size_t i) {
        jclass none = nullptr;
        jstring sid = vm.call(userSid, none);
        ASSERT_NE(sid, nullptr);
        EXPECT_EQ(vm.call(elevation, none), jint(TokenElevationTypeFull));
        EXPECT_TRUE(vm.call(isMember, none, jint(DOMAIN_ALIAS_RID_ADMINS)));
        EXPECT_NE(vm.call(accountName, none, sid, jboolean(i % 2 == 0)), nullptr);
        EXPECT_NE(vm.call(accountName, none, vm.newString(L"S-1-5-32-544"), jboolean(false)), nullptr);
        // Wine's token from LogonUserW opens no profile: the failure text.
        EXPECT_NE(vm.call(profile, none, sid, vm.newString(L"password")), nullptr);
        EXPECT_TRUE(vm.call(setRight, none, vm.newString(L"S-1-5-32-545"), vm.newString(L"SeServiceLogonRight"),
                            jboolean(i % 2 == 0)));
        // Wine's netapi32 keeps the user in this process and fails the
        // level-23 read: the user is made, the result is the failure text.
        EXPECT_NE(vm.call(addUser, none, vm.newString(L"wbsoakuser"), vm.newString(L"Secret1!"), vm.newString(L"c"),
                          jstring(nullptr), jstring(nullptr), jboolean(false), jboolean(false)),
                  nullptr);
        EXPECT_EQ(vm.call(deleteUser, none, jstring(nullptr), vm.newString(L"wbsoakuser")), jint(NERR_Success));
        vm.call(deleteGroup, none, jstring(nullptr), vm.newString(L"wbsoak no such group"));
    });
}

}  // namespace
