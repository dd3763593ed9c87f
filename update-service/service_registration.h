// The install and delete commands: entering the service into the service
// control manager's database and taking it out again.
#pragma once

#include <windows.h>

// Size of the buffer the extended DACL is built in.
constexpr DWORD EXTENDED_DACL_SIZE = 1024;

// Creates the service, or updates an existing service's binary path.
// Returns 0, 1 (own path / open existing service), 2 (SCM / path update) or 3 (create).
int installService();

// Adds the LOCAL query-and-start ACE to the service's DACL; failures are logged only.
void grantLocalStartAccess(SC_HANDLE service);

// Copies the DACL of securityDescriptor into out (EXTENDED_DACL_SIZE bytes) and
// appends an access-allowed ACE for LOCAL (S-1-2-0) with LOCAL_START_ACCESS_MASK.
// Logs and returns false when the DACL is absent, does not fit, or the ACE
// cannot be added; out is never written past its end.
bool buildLocalStartDacl(PSECURITY_DESCRIPTOR securityDescriptor, BYTE* out);

constexpr DWORD LOCAL_START_ACCESS_MASK = 0x000201FD;

// Deletes the service. Returns 0 (also when it does not exist), 1 (SCM), 2 (open) or 3 (delete).
int uninstallService();
