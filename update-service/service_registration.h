// The install and delete commands: entering the service into the service
// control manager's database and taking it out again.
#pragma once

#include <windows.h>

// Size of the buffer the extended DACL is built in.
constexpr DWORD EXTENDED_DACL_SIZE = 1024;

// installService's results, which are the exit codes of install. 1 and 2
// each stand for two failures.
enum class InstallResult : int {
    Installed = 0,          // created, or an existing service's path updated
    NoOwnPath = 1,          // this program's path could not be determined
    ExistingNotOpened = 1,  // the service exists but could not be opened
    NoManager = 2,          // the service control manager could not be opened
    PathNotUpdated = 2,     // the existing service's path could not be changed
    NotCreated = 3,
};

// Creates the service, or updates an existing service's binary path.
InstallResult installService();

// Grants LOCAL (every locally logged-in user) LOCAL_START_ACCESS_MASK on the
// service; failures are logged only.
void grantLocalStartAccess(SC_HANDLE service);

// Copies the DACL of securityDescriptor into out (EXTENDED_DACL_SIZE bytes) and
// appends an access-allowed ACE for LOCAL (S-1-2-0) with LOCAL_START_ACCESS_MASK.
// Logs and returns false when the DACL is absent, does not fit, or the ACE
// cannot be added; out is never written past its end.
bool buildLocalStartDacl(PSECURITY_DESCRIPTOR securityDescriptor, BYTE* out);

// What every locally logged-in user may do with the service. The requester
// needs only SERVICE_QUERY_STATUS and SERVICE_START, but the grant is wider:
// it also lets them read the configuration, the dependents and the security
// descriptor, and send stop, pause, interrogate and user-defined controls
// (its handler only logs a control). Changing the configuration, deleting
// the service and rewriting its DACL or owner are not granted.
constexpr DWORD LOCAL_START_ACCESS_MASK = READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                          SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START | SERVICE_STOP |
                                          SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL;
static_assert(LOCAL_START_ACCESS_MASK == 0x000201FD, "the ACE's mask");

// uninstallService's results, which are the exit codes of delete.
enum class DeleteResult : int {
    Deleted = 0,  // also when there was no such service
    NoManager = 1,
    NotOpened = 2,
    NotDeleted = 3,
};

// Deletes the service.
DeleteResult uninstallService();
