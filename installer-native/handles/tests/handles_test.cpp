// This process's open file handles, found in the system handle table the way
// the runtime finds the ones that keep a file from being replaced.
#include "console_capture.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using qarjvm::Jvm;

typedef jobjectArray(JNICALL* ListFn)(JNIEnv*, jclass);
typedef jboolean(JNICALL* CloseFn)(JNIEnv*, jclass, jint);
typedef jstring(JNICALL* DeviceNameFn)(JNIEnv*, jclass, jstring);

const char kClass[] = "Win32Handle";

class HandlesTest : public ::testing::Test {
protected:
    void SetUp() override {
        cls_ = vm_.defineClass(std::string(wbtest::kWin32) + kClass).name();
        dir_ = qartest::makeTempDir(L"handles");
    }
    void TearDown() override { qartest::removeTree(dir_); }
    jclass cls() { return vm_.findClass(cls_); }

    // The listed (handle value, name) pairs.
    std::vector<std::pair<jint, std::wstring>> list() {
        jobjectArray pair = vm_.call(wbtest::native<ListFn>(kClass, "list0"), cls());
        EXPECT_NE(pair, nullptr);
        if (!pair) return {};
        std::vector<jobject> parts = vm_.objectElements(pair);
        EXPECT_EQ(parts.size(), 2u);
        EXPECT_EQ(vm_.className(parts[0]), "[I");
        EXPECT_EQ(vm_.className(parts[1]), "[Ljava/lang/String;");
        std::vector<jint> values = vm_.elements<jint>(static_cast<jarray>(parts[0]));
        std::vector<jobject> names = vm_.objectElements(static_cast<jobjectArray>(parts[1]));
        EXPECT_EQ(values.size(), names.size());
        std::vector<std::pair<jint, std::wstring>> out;
        for (size_t i = 0; i < values.size() && i < names.size(); ++i)
            out.emplace_back(values[i], vm_.text(static_cast<jstring>(names[i])));
        return out;
    }
    // The name listed for h, or empty when h is not listed.
    std::wstring listedName(HANDLE h) {
        for (const auto& [value, name] : list())
            if (static_cast<uintptr_t>(value) == reinterpret_cast<uintptr_t>(h)) return name;
        return {};
    }
    bool close(jint value) { return vm_.call(wbtest::native<CloseFn>(kClass, "close0"), cls(), value); }
    jstring deviceName(jstring link) { return vm_.call(wbtest::native<DeviceNameFn>(kClass, "getDeviceName0"), cls(), link); }

    HANDLE open(const std::wstring& path, DWORD access) {
        HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        return h;
    }
    // The path as the object manager names it, without the device or drive part.
    std::wstring tail(const std::wstring& path) { return path.substr(path.find(L'\\')); }

    Jvm vm_;
    std::string cls_;
    std::wstring dir_;
};

bool endsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(HandlesTest, ListsAFileHeldOpenAndCloseLetsItBeDeleted) {
    std::wstring path = dir_ + L"\\held open.txt";
    HANDLE file = open(path, GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_FALSE(DeleteFileW(path.c_str())) << "held without FILE_SHARE_DELETE";

    std::wstring name = listedName(file);
    // Windows names the volume's device (\Device\HarddiskVolume2\...), Wine
    // the drive's link (\??\C:\...); both end with the path on the volume.
    EXPECT_TRUE(endsWith(name, tail(path))) << qartest::toUtf8(name);
    EXPECT_EQ(name[0], L'\\') << qartest::toUtf8(name);

    ASSERT_TRUE(close(static_cast<jint>(reinterpret_cast<uintptr_t>(file))));
    EXPECT_TRUE(DeleteFileW(path.c_str())) << GetLastError();
    EXPECT_EQ(listedName(file), L"");
    EXPECT_FALSE(close(static_cast<jint>(reinterpret_cast<uintptr_t>(file)))) << "closed already";
}

TEST_F(HandlesTest, OtherObjectsAndReadWriteFilesAreNotListed) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), 0);
    std::wstring eventName = L"wbnative-handles-event-" + std::to_wstring(GetCurrentProcessId());
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_TRUE(event);
    // Read and write access is exactly the mask whose names are never asked
    // (querying a pipe's name with it can block).
    HANDLE readWrite = open(dir_ + L"\\read write.txt", GENERIC_READ | GENERIC_WRITE);
    HANDLE readOnly = open(dir_ + L"\\read only.txt", GENERIC_READ);

    std::vector<std::pair<jint, std::wstring>> listed = list();
    auto isListed = [&](const void* h) {
        for (const auto& entry : listed)
            if (static_cast<uintptr_t>(entry.first) == reinterpret_cast<uintptr_t>(h)) return true;
        return false;
    };
    EXPECT_TRUE(isListed(readOnly));
    EXPECT_FALSE(isListed(key));
    EXPECT_FALSE(isListed(event));
    EXPECT_FALSE(isListed(readWrite));
    for (const auto& entry : listed) EXPECT_FALSE(entry.second.empty());

    RegCloseKey(key);
    CloseHandle(event);
    CloseHandle(readWrite);
    CloseHandle(readOnly);
}

TEST_F(HandlesTest, CloseOfAValueThatIsNoHandleIsFalse) {
    for (jint value : {0, 0x7FFFFFF0, 0xFFFC}) {
        SCOPED_TRACE(value);
        EXPECT_FALSE(close(value));
    }
}

TEST_F(HandlesTest, DeviceNameOfADrivesLink) {
    jstring target = deviceName(vm_.newString(L"\\??\\C:"));
    ASSERT_NE(target, nullptr);
    std::wstring text = vm_.text(target);
    EXPECT_EQ(text.rfind(L"\\Device\\", 0), 0u) << qartest::toUtf8(text);
}

TEST_F(HandlesTest, DeviceNameOfWhatIsNoLinkIsNullWithAMessage) {
    struct Case {
        const wchar_t* name;
        const char* printed;  // the start of the line on standard output
    };
    const Case cases[] = {
        {L"\\??\\wbnative no such link", "could not open link \\??\\wbnative no such link "},
        {L"\\Device", "could not open link \\Device "},  // a directory, not a link
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qartest::toUtf8(c.name));
        std::string out;
        {
            qarjvm::ConsoleCapture capture;
            EXPECT_EQ(deviceName(vm_.newString(c.name)), nullptr);
            out = capture.out();
        }
        EXPECT_EQ(out.rfind(c.printed, 0), 0u) << out;
    }
    EXPECT_EQ(deviceName(nullptr), nullptr);
}

}  // namespace
