// The update road is not part of this build yet: its commands fail clearly.
#include <windows.h>

#include "logging.h"
#include "update_roles.h"

namespace {
int unavailable(const wchar_t* text) {
    logError(text, ERROR_CALL_NOT_IMPLEMENTED);
    return 1;
}
}  // namespace

int startClone() { return unavailable(L"software-update is not available in this build."); }
int startUpdateService(int, wchar_t**) { return unavailable(L"software-update is not available in this build."); }
int beProcessRunner() { return unavailable(L"be-process-runner is not available in this build."); }
int commitInstallation() { return unavailable(L"commit-installation is not available in this build."); }
int runAsService() { return unavailable(L"Running as a service is not available in this build."); }
