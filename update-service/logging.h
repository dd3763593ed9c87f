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

enum class LogFileOpen : int {
    Opened = 0,
    NotOpened = -1,  // the lines go to the console only
};

// Opens the log file in the temp directory.
LogFileOpen openLogFile();

// openLogFile, then logLine(text).
void enableVerboseLogging(const wchar_t* text);

// Announces the account this process runs as.
void logCurrentUser();

// isLocalSystem's results: 0, or the step that failed.
enum class IdentityCheck : int {
    Checked = 0,
    NoSystemSid = 1,
    NoMemory = 2,
    NoTokenUser = 4,  // the process token or its user could not be read
};

// Sets *isSystem to whether the process token's user is S-1-5-18.
IdentityCheck isLocalSystem(bool* isSystem);

// Writes text to standard output as it stands (no timestamp), flushed.
void writeStdout(const wchar_t* text);
