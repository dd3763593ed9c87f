// Whether a file or folder's DACL, as read back through the ACL API, admits
// local system alone: one access-allowed entry, for S-1-5-18.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>

inline ::testing::AssertionResult admitsLocalSystemAlone(const std::wstring& object) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = GetNamedSecurityInfoW(object.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &sd);
    if (error != ERROR_SUCCESS) return ::testing::AssertionFailure() << "GetNamedSecurityInfoW failed: " << error;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!dacl) {
        result = ::testing::AssertionFailure() << "no DACL";
    } else if (dacl->AceCount != 1) {
        result = ::testing::AssertionFailure() << dacl->AceCount << " entries";
    } else if (!GetAce(dacl, 0, reinterpret_cast<void**>(&ace))) {
        result = ::testing::AssertionFailure() << "GetAce failed: " << GetLastError();
    } else if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
        result = ::testing::AssertionFailure() << "entry of type " << static_cast<int>(ace->Header.AceType);
    } else if (!IsWellKnownSid(&ace->SidStart, WinLocalSystemSid)) {
        result = ::testing::AssertionFailure() << "the entry is not for local system";
    }
    LocalFree(sd);
    return result;
}
