// Who may answer on the client's pipe: a server of the caller's own user. A
// pipe name can be taken by anyone who creates it first, so the CLI checks
// its peer before it sends a request that carries login IDs.
#pragma once

#include <windows.h>

// The rule, on SIDs alone. serverUser is the user of the server process's
// token, or null when that token cannot be read (an elevated server, for
// example); pipeOwner is the owner of the pipe object, or null when unknown.
// A known server user must be the caller; otherwise the pipe must be owned by
// the caller or by Administrators (what an elevated process of the same user
// owns its objects as).
bool pipeServerTrusted(PSID caller, PSID serverUser, PSID pipeOwner);

// Applies pipeServerTrusted to the server of the connected client end pipe.
// Returns ERROR_SUCCESS when it may be trusted, ERROR_ACCESS_DENIED when not,
// or the error of reading this process's own user.
DWORD checkPipeServer(HANDLE pipe);
