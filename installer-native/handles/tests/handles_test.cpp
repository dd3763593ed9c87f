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
        jobjectArray pair =
            vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_list0), cls());
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
    // This process's named file handles found the slow way: every handle of
    // this process duplicated and asked its type, then, unless its access is
    // the one never named or it is a pipe or character device, its name.
    static std::vector<std::pair<jint, std::wstring>> askEveryHandle() {
        typedef LONG(NTAPI * QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);
        typedef LONG(NTAPI * QueryObjectFn)(HANDLE, ULONG, void*, ULONG, ULONG*);
        struct Counted {
            USHORT length, maximumLength;
            wchar_t* buffer;
        };
        struct Row {
            ULONG pid;
            UCHAR type, flags;
            USHORT value;
            void* object;
            ULONG access;
        };
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        auto query = reinterpret_cast<QuerySystemInformationFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
        auto queryObject =
            reinterpret_cast<QueryObjectFn>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryObject")));
        std::vector<char> table(0x10000);
        ULONG needed = 0;
        while (query(16, table.data(), static_cast<ULONG>(table.size()), &needed) == static_cast<LONG>(0xC0000004))
            table.resize(table.size() * 2);
        ULONG count = *reinterpret_cast<ULONG*>(table.data());
        const Row* rows = reinterpret_cast<const Row*>(table.data() + sizeof(void*));
        std::vector<std::pair<jint, std::wstring>> out;
        for (ULONG i = 0; i < count; ++i) {
            if (rows[i].pid != GetCurrentProcessId()) continue;
            HANDLE copy = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(rows[i].value)),
                                 GetCurrentProcess(), &copy, 0, FALSE, 0))
                continue;
            std::vector<char> type(4096), name(0x10000);
            const Counted* typeName = reinterpret_cast<const Counted*>(type.data());
            const Counted* objectName = reinterpret_cast<const Counted*>(name.data());
            DWORD kind = FILE_TYPE_UNKNOWN;
            bool named = queryObject(copy, 2, type.data(), 4096, nullptr) >= 0 && rows[i].access != 0x0012019F &&
                         (kind = GetFileType(copy)) != FILE_TYPE_PIPE && kind != FILE_TYPE_CHAR &&
                         queryObject(copy, 1, name.data(), 0x10000, nullptr) >= 0;
            if (named && std::wstring(typeName->buffer, typeName->length / 2) == L"File" && objectName->length)
                out.emplace_back(rows[i].value, std::wstring(objectName->buffer, objectName->length / 2));
            CloseHandle(copy);
        }
        return out;
    }
    bool close(jint value) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_close0), cls(), value);
    }
    jstring deviceName(jstring link) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_getDeviceName0), cls(),
                        link);
    }

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

// Handles of every kind this process commonly holds, closed when it goes.
struct MixedHandles {
    explicit MixedHandles(const std::wstring& dir) {
        std::wstring tag = std::to_wstring(GetCurrentProcessId());
        // Enough of each, interleaved, that handle values of every kind mix
        // in any grouping but the object type.
        for (int i = 0; i < 40; ++i) {
            files.push_back(openFile(dir + L"\\read only " + std::to_wstring(i % 4) + L".txt", GENERIC_READ));
            HKEY key = nullptr;
            EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), 0);
            keys.push_back(key);
            events.push_back(CreateEventW(nullptr, TRUE, FALSE, (L"wbnative-handles-" + tag + L"-" + std::to_wstring(i)).c_str()));
            sections.push_back(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
            if (i % 10 == 0) threads.push_back(CreateThread(nullptr, 0, waitForStop, stop, 0, nullptr));
        }
        // Read and write access is exactly the mask whose names are never asked.
        readWrite = openFile(dir + L"\\read write.txt", GENERIC_READ | GENERIC_WRITE);
        EXPECT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0)) << GetLastError();
        nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(nul, INVALID_HANDLE_VALUE) << GetLastError();
    }
    ~MixedHandles() {
        SetEvent(stop);
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 10000);
        for (HKEY key : keys) RegCloseKey(key);
        for (const auto* list : {&files, &events, &sections, &threads})
            for (HANDLE h : *list) CloseHandle(h);
        for (HANDLE h : {stop, readWrite, pipeRead, pipeWrite, nul}) CloseHandle(h);
    }
    static HANDLE openFile(const std::wstring& path, DWORD access) {
        HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        return h;
    }
    static DWORD WINAPI waitForStop(void* stop) { return WaitForSingleObject(stop, INFINITE); }

    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> files, events, sections, threads;
    std::vector<HKEY> keys;
    HANDLE readWrite = nullptr, pipeRead = nullptr, pipeWrite = nullptr, nul = nullptr;
};

TEST_F(HandlesTest, OtherObjectsReadWriteFilesPipesAndDevicesAreNotListed) {
    MixedHandles held(dir_);
    std::vector<std::pair<jint, std::wstring>> listed = list();
    auto isListed = [&](const void* h) {
        for (const auto& entry : listed)
            if (static_cast<uintptr_t>(entry.first) == reinterpret_cast<uintptr_t>(h)) return true;
        return false;
    };
    for (HANDLE file : held.files) EXPECT_TRUE(isListed(file));
    struct Case {
        const char* what;
        const void* handle;
    };
    const Case unlisted[] = {
        {"key", held.keys[0]},          {"event", held.events[0]},         {"section", held.sections[0]},
        {"thread", held.threads[0]},    {"read-write file", held.readWrite}, {"pipe, read end", held.pipeRead},
        {"pipe, write end", held.pipeWrite}, {"character device", held.nul},
    };
    for (const Case& c : unlisted) EXPECT_FALSE(isListed(c.handle)) << c.what;
    for (const auto& entry : listed) EXPECT_FALSE(entry.second.empty());
}

// The listing asks each object type number's type once, on the handle itself,
// and skips the other types without asking; it must find exactly what asking a
// duplicate of every handle finds.
TEST_F(HandlesTest, ListsExactlyWhatAskingEveryHandleFinds) {
    MixedHandles held(dir_);
    std::vector<std::pair<jint, std::wstring>> listed = list();
    std::vector<std::pair<jint, std::wstring>> everyHandle = askEveryHandle();
    EXPECT_GE(listed.size(), held.files.size());
    EXPECT_EQ(listed, everyHandle);
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
            qartest::ConsoleCapture capture;
            EXPECT_EQ(deviceName(vm_.newString(c.name)), nullptr);
            out = capture.out();
        }
        EXPECT_EQ(out.rfind(c.printed, 0), 0u) << out;
    }
    EXPECT_EQ(deviceName(nullptr), nullptr);
}

}  // namespace
