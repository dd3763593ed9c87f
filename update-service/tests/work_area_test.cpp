// In-process tests of the routines that decide what the service opens and
// where it puts its private copy: the rules Wine cannot show black-box (a
// network drive, GetTempPath2W, an open that lends no identity, a folder
// planted under the fresh UUID's name, folders owned by somebody else).
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include "explicit_security.h"
#include "installer_source.h"
#include "pipe_recorder.h"
#include "system_only_dacl.h"
#include "wine_process.h"
#include "work_directory.h"

using namespace qartest;

// Stands in for the kernel32 of a system that has GetTempPath2W.
extern "C" __declspec(dllexport) DWORD WINAPI GetTempPath2W(DWORD length, LPWSTR buffer) {
    return GetTempPathW(length, buffer);
}

namespace {

// Wine's drives are C: and Z:; the others play what Wine cannot set up.
UINT WINAPI fakeDriveType(LPCWSTR root) {
    switch (towupper(root[0])) {
    case L'C': case L'Z': return DRIVE_FIXED;
    case L'E': return DRIVE_REMOVABLE;
    case L'N': return DRIVE_REMOTE;  // a mapped network share
    default: return DRIVE_NO_ROOT_DIR;
    }
}

struct PathCase {
    const wchar_t* path;
    const wchar_t* refusal;  // nullptr: accepted
    const wchar_t* full;     // what is opened when accepted
};

TEST(InstallerPath, OnlyFilesOnLocalVolumesPass) {
    const PathCase cases[] = {
        {L"C:\\Downloads\\setup.exe", nullptr, L"C:\\Downloads\\setup.exe"},
        {L"z:\\tmp\\setup.exe", nullptr, L"z:\\tmp\\setup.exe"},
        {L"C:/Downloads/setup.exe", nullptr, L"C:\\Downloads\\setup.exe"},
        {L"C:\\Downloads\\..\\setup.exe", nullptr, L"C:\\setup.exe"},
        {L"E:\\setup.exe", nullptr, L"E:\\setup.exe"},
        {L"\\\\.\\pipe\\updates", L"it names the device namespace", nullptr},
        {L"\\\\?\\pipe\\updates", L"it names the device namespace", nullptr},
        {L"//./pipe/updates", L"it names the device namespace", nullptr},
        {L"\\\\?\\GLOBALROOT\\Device\\NamedPipe\\updates", L"it names the device namespace", nullptr},
        {L"\\\\?\\C:\\setup.exe", L"it names the device namespace", nullptr},
        {L"\\\\.\\C:", L"it names the device namespace", nullptr},
        {L"\\\\server\\share\\setup.exe", L"it is a UNC path", nullptr},
        {L"\\\\localhost\\pipe\\updates", L"it is a UNC path", nullptr},
        {L"//server/share/setup.exe", L"it is a UNC path", nullptr},
        {L"NUL", L"it names a device", nullptr},
        {L"con", L"it names a device", nullptr},
        {L"COM1", L"it names a device", nullptr},
        {L"C:\\Downloads\\nul.exe", L"it names a device", nullptr},
        {L"C:\\Downloads\\LPT1 .txt", L"it names a device", nullptr},
        {L"CONOUT$", L"it names a device", nullptr},
        {L"N:\\updates\\setup.exe", L"it is on a network drive", nullptr},
        {L"Q:\\setup.exe", L"its drive is not a local volume", nullptr},
        {L"setup.exe", L"it is not a full path that starts with a drive letter", nullptr},
        {L"C:setup.exe", L"it is not a full path that starts with a drive letter", nullptr},
        {L"\\setup.exe", L"it is not a full path that starts with a drive letter", nullptr},
        {L"C:\\Downloads\\setup.exe:payload", L"it names an alternate data stream", nullptr},
        {L"", L"it is empty", nullptr},
    };
    for (const PathCase& c : cases) {
        wchar_t full[MAX_PATH];
        wmemset(full, L'#', MAX_PATH);
        const wchar_t* refusal = refuseInstallerPath(c.path, full, fakeDriveType);
        EXPECT_STREQ(refusal, c.refusal) << toUtf8(c.path);
        EXPECT_STREQ(full, c.full ? c.full : L"") << toUtf8(c.path);
    }
    wchar_t full[MAX_PATH];
    std::wstring tooLong = L"C:\\" + std::wstring(300, L'a') + L".exe";
    EXPECT_STREQ(refuseInstallerPath(tooLong.c_str(), full, fakeDriveType), L"it is too long");
    // Wine's real drives: C: (the prefix) and Z: (the Unix root) are local.
    EXPECT_EQ(refuseInstallerPath(L"Z:\\tmp\\setup.exe", full), nullptr);
    EXPECT_EQ(refuseInstallerPath(L"C:\\setup.exe", full), nullptr);
}

TEST(InstallerSource, ControlClientLendsItsIdentityToThePipeServer) {
    // What the recorder sees from a client that passes no quality of service:
    // the server may act as that client.
    std::wstring name = L"qar-recorder-control-" + std::to_wstring(GetCurrentProcessId());
    PipeRecorder recorder(name);
    ASSERT_TRUE(recorder.ok());
    HANDLE client = CreateFileW((L"\\\\.\\pipe\\" + name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(recorder.waitConnected(10000));
    EXPECT_EQ(recorder.level(), SecurityImpersonation) << recorder.impersonationError();
    CloseHandle(client);
}

bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(InstallerSource, OpenLendsNoIdentityAndKeepsOnlyDiskFiles) {
    // A pipe that took a name in between the check and the open: the open
    // lends the server nothing, and its handle is refused.
    std::wstring name = L"qar-recorder-open-" + std::to_wstring(GetCurrentProcessId());
    std::wstring pipe = L"\\\\.\\pipe\\" + name;
    {
        PipeRecorder recorder(name);
        ASSERT_TRUE(recorder.ok());
        HANDLE client = CreateFileW(pipe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    INSTALLER_SOURCE_OPEN_FLAGS, nullptr);
        ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(recorder.waitConnected(10000));
        // Wine 8 ignores a pipe client's quality-of-service flags (it gives the
        // server level 2 for any client); Windows gives an anonymous token, or
        // none that the server could open.
        if (!underWine()) {
            EXPECT_LT(recorder.level(), (int)SecurityImpersonation) << recorder.impersonationError();
        }
        CloseHandle(client);
    }
    PipeRecorder recorder(name);
    ASSERT_TRUE(recorder.ok());
    DWORD error = 0;
    const wchar_t* why = nullptr;
    EXPECT_EQ(openInstallerSource(pipe.c_str(), &error, &why), nullptr);
    EXPECT_STREQ(why, L"it is not a file on a disk");
    EXPECT_EQ(error, (DWORD)ERROR_BAD_FILE_TYPE);

    std::wstring dir = makeTempDir(L"source");
    ASSERT_EQ(openInstallerSource(dir.c_str(), &error, &why), nullptr);
    EXPECT_STREQ(why, L"it is a directory");

    ASSERT_TRUE(writeFile(dir + L"\\setup.exe", "MZ"));
    HANDLE h = openInstallerSource((dir + L"\\setup.exe").c_str(), &error, &why);
    ASSERT_NE(h, nullptr) << error;
    EXPECT_EQ(why, nullptr);
    CloseHandle(h);

    ASSERT_EQ(openInstallerSource((dir + L"\\missing.exe").c_str(), &error, &why), nullptr);
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(why, nullptr);
    removeTree(dir);
}

TEST(WorkDirectory, TempPath2IsPreferredWhereTheSystemHasIt) {
    // Wine 8 has no GetTempPath2W; Windows 11 (and updated Windows 10) do.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    FARPROC real = GetProcAddress(kernel32, "GetTempPath2W");
    EXPECT_EQ(reinterpret_cast<void*>(serviceTempPathFunction(kernel32)),
              real ? reinterpret_cast<void*>(real) : reinterpret_cast<void*>(&GetTempPathW));
    EXPECT_EQ(reinterpret_cast<void*>(serviceTempPathFunction(GetModuleHandleW(nullptr))),
              reinterpret_cast<void*>(&GetTempPath2W));
}

class PrivateCopy : public testing::Test {
protected:
    void SetUp() override {
        temp_ = makeTempDir(L"work");
        ASSERT_TRUE(writeFile(temp_ + L"\\source.exe", "MZ installer bytes"));
        ASSERT_TRUE(processUserSid(self_));
    }
    void TearDown() override { removeTree(temp_); }
    HANDLE openSource() {
        return CreateFileW((temp_ + L"\\source.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    }
    std::wstring temp_;
    alignas(8) BYTE self_[SECURITY_MAX_SID_SIZE];
};

const wchar_t UUID_A[] = L"0f8fad5b-d9cb-469f-a165-70867728950e";
const wchar_t UUID_B[] = L"7c9e6679-7425-40de-944b-e07fc1f90ae7";

TEST_F(PrivateCopy, FreshFolderAdmitsLocalSystemAlone) {
    HANDLE source = openSource();
    wchar_t target[MAX_PATH];
    ASSERT_EQ(placePrivateCopy(source, temp_.c_str(), UUID_A, self_, target), CopyStep::Copied);
    CloseHandle(source);
    std::wstring dir = temp_ + L"\\" + UUID_A;
    EXPECT_EQ(std::wstring(target), dir + L"\\" + UUID_A);
    for (const std::wstring& object : {dir, std::wstring(target)}) {
        ASSERT_TRUE(admitsLocalSystemAlone(object)) << toUtf8(object);
        SetNamedSecurityInfoW(const_cast<wchar_t*>(object.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr);
    }
    EXPECT_EQ(readFile(target), "MZ installer bytes");
}

TEST_F(PrivateCopy, NameTakenBeforehandIsNeverUsed) {
    // Somebody guessed the UUID and planted a folder (or a file) under it.
    std::wstring planted = temp_ + L"\\" + UUID_A;
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    ASSERT_TRUE(writeFile(temp_ + L"\\" + UUID_B, "planted file"));
    for (const wchar_t* name : {UUID_A, UUID_B}) {
        HANDLE source = openSource();
        wchar_t target[MAX_PATH];
        EXPECT_EQ(placePrivateCopy(source, temp_.c_str(), name, self_, target), CopyStep::FolderNotCreated)
            << toUtf8(name);
        CloseHandle(source);
    }
    EXPECT_EQ(GetFileAttributesW((planted + L"\\" + UUID_A).c_str()), INVALID_FILE_ATTRIBUTES)
        << "nothing was written into the planted folder";
    EXPECT_EQ(readFile(temp_ + L"\\" + UUID_B), "planted file");
}

TEST_F(PrivateCopy, FoldersOfOtherOwnersAreNeverRemoved) {
    // Under Wine every file belongs to the one user: with local system as the
    // owner to look for, as the service on Windows does, a folder planted by
    // an ordinary user stays.
    std::wstring dir = temp_ + L"\\" + UUID_A;
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    ASSERT_TRUE(writeFile(dir + L"\\" + UUID_A, "x"));
    ASSERT_TRUE(localSystemSid()) << GetLastError();
    removeStaleWorkDirectories(temp_.c_str(), localSystemSid());
    EXPECT_EQ(readFile(dir + L"\\" + UUID_A), "x");

    removeStaleWorkDirectories(temp_.c_str(), self_);
    EXPECT_EQ(GetFileAttributesW(dir.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
