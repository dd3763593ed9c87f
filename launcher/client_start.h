// Starting the client when it does not run.
#pragma once

// Starts "QAR Client.exe" from the launcher's own folder on the interactive
// desktop, with the quoted parameter when there is one, and does not wait for
// it. Returns 0 on success, otherwise the failing step's Windows error code,
// -2 when the path cannot be composed, or STATUS_NO_MEMORY.
int startQarClient(const wchar_t* parameter);
