// One whole update for a reader to watch, under Wine: the service installed,
// software-update with a signed demo installer, the installer's
// commit-installation, and the application started for the user. Prints what
// each step printed, then the service's log. Run by scripts/demo.sh.
#include <windows.h>

#include <cstdio>

#include "marker_file.h"
#include "road_fixture.h"
#include "test_pki.h"
#include "wine_process.h"

using namespace qartest;
using namespace road;

namespace {

void heading(const char* text) { printf("\n===== %s\n", text); }

void show(const ProcessResult& r) {
    printf("%s%s(exit code %d)\n", stripCr(r.out).c_str(), stripCr(r.err).c_str(), static_cast<int>(r.exitCode));
}

int cleanUp(int result) {
    killProcesses(L"qus_clone.exe");
    removeService();
    DeleteFileW(MARKER);
    removeLogFiles();
    removeWorkDirectories();
    removeTree(TEST_ROOT);
    return result;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (trustTestRoot() != 0) {
        printf("cannot trust the demo certificate authority\n");
        return 1;
    }
    std::wstring dir = std::wstring(TEST_ROOT) + L"\\QAR Client";
    std::wstring app = placeApplication(dir, L"QAR Client.exe");
    std::wstring installerProof = std::wstring(TEST_ROOT) + L"\\installer-proof.txt";
    writeInstallerSettings(installerProof, app);
    removeLogFiles();

    heading("An administrator installs the service: qarupdateservice install");
    removeService();
    show(runProgram(QARUPDATESERVICE_EXE, {L"install"}));

    heading("The client asks for the update: qarupdateservice software-update <signed installer> /VERBOSE");
    ProcessResult update = runProgram(QARUPDATESERVICE_EXE, {L"software-update", winPath(QAR_TEST_INSTALLER_SIGNED_EXE),
                                                              L"/VERBOSE"});
    show(update);
    if (update.exitCode != 0 || !waitServiceStopped(30000)) {
        printf("the service did not run\n");
        return cleanUp(1);
    }

    heading("The installer, started by the service, ran with");
    printf("%s", waitForFile(installerProof, 10000).c_str());

    heading("The application was started with the command line");
    printf("%s", waitForFile(dir + L"\\app-proof.txt", 10000).c_str());
    printf("(Nothing runs as local system under Wine, so commit-installation started it at once.)\n");

    heading("On Windows commit-installation writes the marker instead; written here as local system would");
    writeMarkerFile(MARKER, app.c_str());
    std::string proof;
    for (int i = 0; i < 50 && proof.find('\n') == proof.rfind('\n'); ++i) {
        Sleep(100);
        proof = readFile(dir + L"\\app-proof.txt").value_or("");
    }
    printf("the waiting clone started the application again; all starts:\n%s", proof.c_str());

    heading("The log files (requester and service)");
    printf("%s", readLogFiles().c_str());
    return cleanUp(0);
}
