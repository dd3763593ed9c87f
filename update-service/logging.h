// Console lines, the optional log file and the Application event log.
#pragma once

#include <windows.h>

#include <cstdio>

extern wchar_t eventSourceName[256];
extern FILE* logFile;

// Writes the event source's registry values; failures are warnings only.
void registerEventSource();

// One timestamped line on standard output and, when open, in the log file.
void logLine(const wchar_t* text);

// A milestone from the message table: console line and information event.
void logInfoEvent(DWORD messageId);

// "<text> - code 0x%08x": console line and error event.
void logError(const wchar_t* text, DWORD code);

// "<text> <last error>": console line only.
void logWarning(const wchar_t* text);

// Opens the log file in the temp directory; 0 on success, -1 otherwise.
int openLogFile();

// openLogFile, then logLine(text).
void enableVerboseLogging(const wchar_t* text);

// Announces the account this process runs as.
void logCurrentUser();

// Sets *isSystem to whether the process token's user is S-1-5-18.
// Returns 0 on success, 1 (no SID), 2 (no memory) or 4 (token query failed).
int isLocalSystem(bool* isSystem);

// Writes text to standard output as it stands (no timestamp), flushed.
void writeStdout(const wchar_t* text);
