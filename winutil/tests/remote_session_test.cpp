// isRemoteSession against the registry: the "GlassSessionId" value of the
// Terminal Server key compared with this process's session. (Wine reports no
// remote session through GetSystemMetrics, so the registry decides here.)
#include "natives_fixture.h"

#include <string>
#include <vector>

namespace {

const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Terminal Server";

enum class Setup { SameSession, OtherSession, ValueMissing, KeyMissing, LongerThanFourBytes, ShorterThanFourBytes };

struct SessionCase {
    const char* name;
    Setup setup;
    bool remote;
};

const SessionCase kCases[] = {
    {"GlassSessionIdIsThisSession", Setup::SameSession, false},
    {"GlassSessionIdIsAnotherSession", Setup::OtherSession, true},
    {"ValueMissing", Setup::ValueMissing, false},
    {"KeyMissing", Setup::KeyMissing, false},
    // Both carry another session's id in their first bytes: reading them at
    // all would answer true.
    {"ValueLongerThanFourBytes", Setup::LongerThanFourBytes, false},
    {"ValueShorterThanFourBytes", Setup::ShorterThanFourBytes, false},
};

class RemoteSession : public Qa2winutilTest, public ::testing::WithParamInterface<SessionCase> {
protected:
    void SetUp() override {
        Qa2winutilTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session_));
        // Remember the machine's state, to put it back afterwards.
        HKEY key = nullptr;
        keyExisted_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (keyExisted_) {
            DWORD size = 0;
            if (RegQueryValueExW(key, L"GlassSessionId", nullptr, &savedType_, nullptr, &size) == ERROR_SUCCESS) {
                saved_.resize(size);
                valueExisted_ = RegQueryValueExW(key, L"GlassSessionId", nullptr, &savedType_, saved_.data(), &size) ==
                                ERROR_SUCCESS;
            }
            RegCloseKey(key);
        }
    }

    void TearDown() override {
        if (!keyExisted_) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        } else if (valueExisted_) {
            setValue(savedType_, saved_.data(), static_cast<DWORD>(saved_.size()));
        } else {
            deleteValue();
        }
        Qa2winutilTest::TearDown();
    }

    void setValue(DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, L"GlassSessionId", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    void deleteValue() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegDeleteValueW(key, L"GlassSessionId");
        RegCloseKey(key);
    }

    DWORD session_ = 0;
    bool keyExisted_ = false;
    bool valueExisted_ = false;
    DWORD savedType_ = 0;
    std::vector<BYTE> saved_;
};

TEST_P(RemoteSession, Answer) {
    const SessionCase& c = GetParam();
    DWORD other = session_ + 1;
    switch (c.setup) {
        case Setup::SameSession:
            setValue(REG_DWORD, &session_, sizeof(session_));
            break;
        case Setup::OtherSession:
            setValue(REG_DWORD, &other, sizeof(other));
            break;
        case Setup::ValueMissing:
            deleteValue();
            break;
        case Setup::KeyMissing:
            if (keyExisted_) GTEST_SKIP() << "the machine has a Terminal Server key of its own";
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
            break;
        case Setup::LongerThanFourBytes: {
            DWORD longer[2] = {other, other};
            setValue(REG_BINARY, longer, sizeof(longer));
            break;
        }
        case Setup::ShorterThanFourBytes:
            setValue(REG_BINARY, &other, 2);
            break;
    }
    EXPECT_EQ(vm.call(isRemoteSession, sessionChecker), c.remote ? JNI_TRUE : JNI_FALSE);
}

INSTANTIATE_TEST_SUITE_P(Registry, RemoteSession, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
