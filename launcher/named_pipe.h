// Forwarding to a running client over its per-user pipe.
#pragma once

// checkNamedPipe's result when no client runs (its pipe does not exist).
const int NO_CLIENT_RUNNING = -1;

// Looks for the client's pipe "\\.\pipe\qarapp2_<USERNAME>". When it exists
// and parameter is not null, sends the parameter as one UTF-8 message without
// terminator, to a server of the current user only and allowing it to identify
// the caller but not to act as it. Returns 0 on success, NO_CLIENT_RUNNING when the pipe does not
// exist, otherwise the Windows error code of the failing step (reported on
// standard error).
int checkNamedPipe(const wchar_t* parameter);
