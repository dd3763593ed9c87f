// The records the update service hands to Windows have fixed sizes on the
// shipping i686 build (68-byte STARTUPINFOW, 36-byte SERVICE_STATUS_PROCESS,
// 52-byte trust request); the x86_64 sizes stand alongside. The table checks
// what our headers give; the calls below check what Windows itself expects
// from a process of this target.
#include <gtest/gtest.h>

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include "target.h"

using namespace qartest;

namespace {

// Debian's mingw-w64 header ends WINTRUST_DATA at dwUIContext (the form that
// predates Windows 8); the trust request of the signature check is the form
// that ends with the signature-settings pointer.
struct TrustRequest {
    WINTRUST_DATA data;
    void* pSignatureSettings;
};

struct Record {
    const char* name;
    size_t size;
    size_t i686;
    size_t x86_64;
};

const Record kRecords[] = {
    {"STARTUPINFOW", sizeof(STARTUPINFOW), 68, 104},
    {"SERVICE_STATUS", sizeof(SERVICE_STATUS), 28, 28},
    {"SERVICE_STATUS_PROCESS", sizeof(SERVICE_STATUS_PROCESS), 36, 36},
    {"WINTRUST_FILE_INFO", sizeof(WINTRUST_FILE_INFO), 16, 32},
    {"WINTRUST_DATA as the header declares it", sizeof(WINTRUST_DATA), 48, 80},
    {"trust request with signature settings", sizeof(TrustRequest), 52, 88},
};

TEST(StructSizes, HeadersGiveTheTargetsSizes) {
    for (const Record& r : kRecords)
        EXPECT_EQ(r.size, kI686 ? r.i686 : r.x86_64) << r.name << " on " << kTarget;
}

TEST(StructSizes, WindowsFillsStartupInfoOfTheTargetsSize) {
    STARTUPINFOW si{};
    GetStartupInfoW(&si);
    EXPECT_EQ(si.cb, kI686 ? 68u : 104u) << kTarget;
}

// The service control manager is a 64-bit process under Wine: a 32-bit caller
// gets the record through the WOW64 layer, so the fields must land in place.
TEST(StructSizes, QueryServiceStatusExWantsTheTargetsRecord) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(scm, nullptr) << GetLastError();
    SC_HANDLE svc = OpenServiceW(scm, L"PlugPlay", SERVICE_QUERY_STATUS);
    ASSERT_NE(svc, nullptr) << GetLastError();

    alignas(SERVICE_STATUS_PROCESS) BYTE buffer[sizeof(SERVICE_STATUS_PROCESS) + 8];
    memset(buffer, 0xA5, sizeof(buffer));
    DWORD needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, buffer, 35, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 36u);

    ASSERT_TRUE(QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, buffer, 36, &needed)) << GetLastError();
    const auto* status = reinterpret_cast<const SERVICE_STATUS_PROCESS*>(buffer);
    EXPECT_TRUE(status->dwServiceType & SERVICE_WIN32) << status->dwServiceType;
    EXPECT_EQ(status->dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_NE(status->dwProcessId, 0u);
    EXPECT_EQ(buffer[36], 0xA5) << "written past the 36-byte record";
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
}

// The 52-byte request reaches the Authenticode provider: an unsigned program
// (this test) gets "no signature", not a parameter error.
TEST(StructSizes, WinVerifyTrustTakesTheTrustRequest) {
    wchar_t self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = self;
    TrustRequest request{};
    request.data.cbStruct = sizeof(request);
    request.data.dwUIChoice = WTD_UI_NONE;
    request.data.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.data.dwUnionChoice = WTD_CHOICE_FILE;
    request.data.pFile = &file;
    request.data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(nullptr, &action, &request);
    EXPECT_EQ((DWORD)result, (DWORD)TRUST_E_NOSIGNATURE) << std::hex << result;
    request.data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &request);
}

}  // namespace
