// verifyExecutable as WinVerifyTrust sees it: the request (the 52-byte form
// on 32-bit Windows), the closing call, and the diagnostic lines for every
// row of the result table, with the result sign-extended. A recording
// WinVerifyTrust takes the place of wintrust's in the loaded library's import
// table, so that it can answer with any result.
#include "natives_fixture.h"

#include "console_capture.h"
#include "import_redirect.h"
#include "target.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// WINTRUST_DATA with the signature-settings pointer at its end: 52 bytes on
// 32-bit Windows (declared here independently of the library).
struct TrustData52 {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    WINTRUST_FILE_INFO* pFile;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};

struct RecordedCall {
    HWND window;
    GUID action;
    const void* request;
    TrustData52 data;  // as it was at the call, as far as cbStruct reaches
    DWORD fileInfoSize;
    std::wstring path;
    HANDLE file;
    const GUID* knownSubject;
};

const HANDLE kStateHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5157));
std::vector<RecordedCall> calls;
LONG answer = 0;
DWORD answerLastError = 0;

LONG WINAPI recordingWinVerifyTrust(HWND window, GUID* action, LPVOID request) {
    auto* data = static_cast<TrustData52*>(request);
    RecordedCall c{};
    c.window = window;
    if (action) c.action = *action;
    c.request = request;
    std::memcpy(&c.data, data, data->cbStruct < sizeof(TrustData52) ? data->cbStruct : sizeof(TrustData52));
    if (data->dwUnionChoice == WTD_CHOICE_FILE && data->pFile) {
        c.fileInfoSize = data->pFile->cbStruct;
        c.path = data->pFile->pcwszFilePath ? data->pFile->pcwszFilePath : L"<null>";
        c.file = data->pFile->hFile;
        c.knownSubject = data->pFile->pgKnownSubject;
    }
    calls.push_back(c);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        data->hWVTStateData = nullptr;
        return 0;
    }
    data->hWVTStateData = kStateHandle;  // as wintrust hands out its state
    SetLastError(answerLastError);
    return answer;
}

class TrustRequest : public Qa2winutilTest {
protected:
    void SetUp() override {
        Qa2winutilTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(qartest::redirectImport(GetModuleHandleW(L"qa2winutil.dll"), "wintrust.dll", "WinVerifyTrust",
                                   reinterpret_cast<void*>(&recordingWinVerifyTrust)));
        calls.clear();
    }

    struct Outcome {
        jlong result;
        std::vector<std::string> lines;
    };

    Outcome verifyAnswering(LONG status, DWORD lastError, const std::wstring& path = L"C:\\app\\setup.exe") {
        answer = status;
        answerLastError = lastError;
        qartest::ConsoleCapture capture;
        jlong result = vm.call(verifyExecutable, verifier, vm.newString(path));
        return {result, qartest::lines(capture.out())};
    }
};

TEST_F(TrustRequest, VerifyThenCloseWithTheSameRequest) {
    const std::wstring path = L"C:\\Users\\J\u00fcrg\\\u65e5\u672c\\app.exe";
    verifyAnswering(0, 0, path);
    ASSERT_EQ(calls.size(), 2u);
    const RecordedCall& verify = calls[0];
    const RecordedCall& close = calls[1];
    const GUID genericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    for (const RecordedCall* c : {&verify, &close}) {
        EXPECT_EQ(c->window, nullptr);
        EXPECT_TRUE(IsEqualGUID(c->action, genericVerifyV2));
        // On 32-bit Windows the 52-byte form, ending with the signature settings.
        EXPECT_EQ(c->data.cbStruct, qartest::kI686 ? 52u : sizeof(TrustData52));
        EXPECT_EQ(c->data.pPolicyCallbackData, nullptr);
        EXPECT_EQ(c->data.pSIPClientData, nullptr);
        EXPECT_EQ(c->data.dwUIChoice, static_cast<DWORD>(WTD_UI_NONE));
        EXPECT_EQ(c->data.fdwRevocationChecks, static_cast<DWORD>(WTD_REVOKE_NONE));
        EXPECT_EQ(c->data.dwUnionChoice, static_cast<DWORD>(WTD_CHOICE_FILE));
        EXPECT_EQ(c->data.pwszURLReference, nullptr);
        EXPECT_EQ(c->data.dwProvFlags, 0u);
        EXPECT_EQ(c->data.dwUIContext, 0u);
        EXPECT_EQ(c->data.pSignatureSettings, nullptr);
        EXPECT_EQ(c->fileInfoSize, qartest::kI686 ? 16u : sizeof(WINTRUST_FILE_INFO));
        EXPECT_EQ(c->path, path);
        EXPECT_EQ(c->file, nullptr);
        EXPECT_EQ(c->knownSubject, nullptr);
    }
    EXPECT_EQ(verify.data.dwStateAction, static_cast<DWORD>(WTD_STATEACTION_VERIFY));
    EXPECT_EQ(verify.data.hWVTStateData, nullptr);
    EXPECT_EQ(close.data.dwStateAction, static_cast<DWORD>(WTD_STATEACTION_CLOSE));
    EXPECT_EQ(close.data.hWVTStateData, kStateHandle);  // the state the verification left
    EXPECT_EQ(close.request, verify.request);
}

struct Row {
    const char* name;
    LONG status;
    DWORD lastError;
    std::vector<std::string> lines;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Row kRows[] = {
    {"Trusted", 0, 0, {"WinVerifyTrust successful"}},
    {"NoSignature", static_cast<LONG>(0x800B0100), 0x800B0100,
     {"WinVerifyTrust error: TRUST_E_NOSIGNATURE", "Last error: -2146762496"}},
    {"NoSignatureOtherLastError", static_cast<LONG>(0x800B0100), ERROR_FILE_NOT_FOUND,
     {"WinVerifyTrust error: TRUST_E_NOSIGNATURE", "Last error: 2"}},
    {"SecuritySettings", static_cast<LONG>(0x80092026), 0, {"WinVerifyTrust error: CRYPT_E_SECURITY_SETTINGS"}},
    {"SubjectNotTrusted", static_cast<LONG>(0x800B0004), 0, {"WinVerifyTrust error: CRYPT_E_SECURITY_SETTINGS"}},
    {"ExplicitDistrust", static_cast<LONG>(0x800B0111), 0, {"WinVerifyTrust error: CRYPT_E_SECURITY_SETTINGS"}},
    {"Expired", static_cast<LONG>(0x800B0101), 0, {"WinVerifyTrust error: 0x800b0101"}},
    {"FileError", static_cast<LONG>(0x80092003), 0, {"WinVerifyTrust error: 0x80092003"}},
    {"PlainWin32Code", 2, 0, {"WinVerifyTrust error: 0x2"}},
};

class ResultRows : public TrustRequest, public ::testing::WithParamInterface<Row> {};

TEST_P(ResultRows, LinesAndSignExtendedResult) {
    const Row& row = GetParam();
    Outcome o = verifyAnswering(row.status, row.lastError);
    EXPECT_EQ(o.result, static_cast<jlong>(row.status));  // 0x800B0100 arrives as -2146762496
    EXPECT_EQ(o.lines, row.lines);
    EXPECT_EQ(calls.size(), 2u) << "every verification is closed";
}

INSTANTIATE_TEST_SUITE_P(Table, ResultRows, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrustRequest, NoVerificationForANullPath) {
    qartest::ConsoleCapture capture;
    EXPECT_EQ(vm.call(verifyExecutable, verifier, static_cast<jstring>(nullptr)), static_cast<jlong>(E_INVALIDARG));
    EXPECT_TRUE(calls.empty());
}

}  // namespace
