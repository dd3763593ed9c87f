// install and delete against Wine's real service control manager; the service
// entry is read back through the API.
#include <gtest/gtest.h>

#include "exit_codes.h"
#include "service_registration.h"
#include "wine_process.h"

using namespace qartest;

namespace {

ProcessResult run(const std::vector<std::wstring>& args) { return runProgram(QARUPDATESERVICE_EXE, args); }

struct Config {
    bool exists = false;
    DWORD type = 0, start = 0, errorControl = 0;
    std::wstring binary, account, display, description;
};

Config readConfig() {
    Config c;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceW(scm, L"QARUpdateService", SERVICE_QUERY_CONFIG) : nullptr;
    if (svc) {
        c.exists = true;
        alignas(8) BYTE buffer[8192];
        DWORD needed = 0;
        if (QueryServiceConfigW(svc, (QUERY_SERVICE_CONFIGW*)buffer, sizeof(buffer), &needed)) {
            auto* q = (QUERY_SERVICE_CONFIGW*)buffer;
            c.type = q->dwServiceType;
            c.start = q->dwStartType;
            c.errorControl = q->dwErrorControl;
            c.binary = q->lpBinaryPathName;
            c.account = q->lpServiceStartName ? q->lpServiceStartName : L"";
            c.display = q->lpDisplayName;
        }
        if (QueryServiceConfig2W(svc, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof(buffer), &needed)) {
            auto* d = (SERVICE_DESCRIPTIONW*)buffer;
            c.description = d->lpDescription ? d->lpDescription : L"";
        }
        CloseServiceHandle(svc);
    }
    if (scm) CloseServiceHandle(scm);
    return c;
}

// The service's ImagePath as the service control manager keeps it.
std::wstring imagePath() {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QARUpdateService", L"ImagePath",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) != ERROR_SUCCESS) {
        return L"";
    }
    return value;
}

bool contains(const std::string& out, const std::string& text) { return out.find(text) != std::string::npos; }

class Registration : public testing::Test {
protected:
    void SetUp() override { run({L"delete"}); }
    void TearDown() override { run({L"delete"}); }
};

TEST_F(Registration, InstallCreatesTheDemandStartService) {
    ProcessResult r = run({L"install"});
    ASSERT_EQ(r.exitCode, exitCodeOf(InstallResult::Installed)) << r.out;
    EXPECT_TRUE(contains(r.out, "  Installing the QAR Client Updater Service.\r\n\r\n"));
    EXPECT_TRUE(contains(r.out, "  Making the service executable for locally logged-in users.\r\n"));
    EXPECT_TRUE(contains(r.out, "  Service installed successfully.\r\n"));
    EXPECT_TRUE(contains(r.out, "  QAR Client Updater Service successfully installed.\r\n\r\n"));

    Config c = readConfig();
    ASSERT_TRUE(c.exists) << r.out;
    EXPECT_EQ(c.type, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(c.start, (DWORD)SERVICE_DEMAND_START);
    EXPECT_EQ(c.errorControl, (DWORD)SERVICE_ERROR_NORMAL);
    EXPECT_EQ(_wcsicmp(c.binary.c_str(), (L"\"" + winPath(QARUPDATESERVICE_EXE) + L"\"").c_str()), 0)
        << toUtf8(c.binary);
    EXPECT_EQ(_wcsicmp(imagePath().c_str(), c.binary.c_str()), 0) << toUtf8(imagePath());
    EXPECT_EQ(c.account, L"LocalSystem");
    EXPECT_EQ(c.display, L"QAR Client Update Service");
    EXPECT_EQ(c.description,
              L"Provides automatic updates for the QAR Client application. The QAR Client application starts this "
              L"service to install updates.");
}

TEST_F(Registration, SecondInstallStoresTheQuotedPath) {
    ASSERT_EQ(run({L"install"}).exitCode, exitCodeOf(InstallResult::Installed));
    ProcessResult r = run({L"install"});
    EXPECT_EQ(r.exitCode, exitCodeOf(InstallResult::Installed)) << r.out;
    EXPECT_TRUE(contains(r.out, "  The service is already installed; updating path to executable.\r\n"));
    // The DACL is extended only when the service is created.
    EXPECT_FALSE(contains(r.out, "Making the service executable"));
    EXPECT_TRUE(contains(r.out, "  QAR Client Updater Service successfully installed.\r\n"));
    Config c = readConfig();
    EXPECT_EQ(_wcsicmp(c.binary.c_str(), (L"\"" + winPath(QARUPDATESERVICE_EXE) + L"\"").c_str()), 0)
        << toUtf8(c.binary);
    EXPECT_EQ(_wcsicmp(imagePath().c_str(), c.binary.c_str()), 0) << toUtf8(imagePath());
    EXPECT_EQ(c.start, (DWORD)SERVICE_DEMAND_START);
}

// The program installed in a folder whose path has blanks, with a program
// planted where an unquoted path would lead the system first.
class BlankInPath : public Registration {
protected:
    void SetUp() override {
        Registration::SetUp();
        removeTree(ROOT);
        for (const wchar_t* dir : {ROOT, L"C:\\qar-reg\\Program Files", L"C:\\qar-reg\\Program Files\\QAR Client"}) {
            CreateDirectoryW(dir, nullptr);
        }
        ASSERT_TRUE(CopyFileW(winPath(QARUPDATESERVICE_EXE).c_str(), program_.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(winPath(QAR_TEST_APPLICATION_EXE).c_str(), L"C:\\qar-reg\\Program.exe", FALSE));
    }
    void TearDown() override {
        waitStopped();
        Registration::TearDown();
        removeTree(ROOT);
    }
    // Starts the service without arguments: it logs the missing installer and stops.
    void start() {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_START);
        StartServiceW(svc, 0, nullptr);
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        waitStopped();
    }
    static void waitStopped() {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        for (int i = 0; svc && i < 200 && QueryServiceStatus(svc, &status) && status.dwCurrentState != SERVICE_STOPPED;
             ++i) {
            Sleep(100);
        }
        if (svc) CloseServiceHandle(svc);
        CloseServiceHandle(scm);
    }
    static constexpr const wchar_t* ROOT = L"C:\\qar-reg";
    const std::wstring program_ = L"C:\\qar-reg\\Program Files\\QAR Client\\qarupdateservice.exe";
    const std::wstring planted_ = L"C:\\qar-reg\\app-proof.txt";  // written by the planted Program.exe
};

TEST_F(BlankInPath, QuotedPathStartsTheServiceNotThePlantedProgram) {
    ProcessResult r = runProgram(program_, {L"install"});
    ASSERT_EQ(r.exitCode, exitCodeOf(InstallResult::Installed)) << r.out;
    EXPECT_EQ(imagePath(), L"\"" + program_ + L"\"");
    start();
    EXPECT_FALSE(readFile(planted_)) << "the system started C:\\qar-reg\\Program.exe as the service";

    // The fault this guards against, as Wine's service manager shows it too.
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = OpenServiceW(scm, L"QARUpdateService", SERVICE_CHANGE_CONFIG);
    ASSERT_TRUE(ChangeServiceConfigW(svc, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, program_.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    start();
    for (int i = 0; i < 100 && !readFile(planted_); ++i) Sleep(100);
    EXPECT_TRUE(readFile(planted_)) << "unquoted, the planted program runs instead";
}

TEST_F(Registration, DeleteRemovesTheServiceAndToleratesItsAbsence) {
    ASSERT_EQ(run({L"install"}).exitCode, exitCodeOf(InstallResult::Installed));
    ProcessResult r = run({L"delete"});
    EXPECT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted)) << r.out;
    EXPECT_TRUE(contains(r.out, "  Removing the QAR Client Updater Service.\r\n"));
    EXPECT_TRUE(contains(r.out, "  Service deleted successfully.\r\n"));
    EXPECT_TRUE(contains(r.out, "  QAR Client Updater Service removed successfully.\r\n"));
    EXPECT_FALSE(readConfig().exists);

    r = run({L"delete"});
    EXPECT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted)) << r.out;
    EXPECT_TRUE(contains(r.out, "  The service doesn't exist.\r\n"));
    EXPECT_TRUE(contains(r.out, "  QAR Client Updater Service removed successfully.\r\n"));
}

}  // namespace
