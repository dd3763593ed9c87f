#include "logging.h"

#include <fcntl.h>
#include <io.h>
#include <strsafe.h>

#include <cwchar>

#include "explicit_security.h"
#include "messages.h"
#include "names.h"
#include "scoped.h"

wchar_t eventSourceName[256];
FILE* logFile = nullptr;

namespace {

// Console and log file carry 8-bit text: each UTF-16 unit up to U+00FF becomes
// the byte of the same value, as the C runtime's "C" locale does; anything
// beyond that is shown as '?'. The parts go out one after the other in one
// write where memory allows (lines of two threads never mix), otherwise in
// pieces of the local buffer; then the stream is flushed.
void writeLatin1(FILE* stream, const wchar_t* const* parts, size_t count) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) length += wcslen(parts[i]);

    char local[1024];
    char* bytes = local;
    size_t capacity = sizeof(local);
    ScopedHeapBlock heap;
    if (length > capacity) {
        heap.reset(HeapAlloc(GetProcessHeap(), 0, length));
        if (heap) {
            bytes = static_cast<char*>(heap.get());
            capacity = length;
        }
    }

    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        for (const wchar_t* unit = parts[i]; *unit; ++unit) {
            if (used == capacity) {
                fwrite(bytes, 1, used, stream);
                used = 0;
            }
            bytes[used++] = *unit <= 0xFF ? static_cast<char>(*unit) : '?';
        }
    }
    fwrite(bytes, 1, used, stream);
    fflush(stream);
}

void formatTimestamp(wchar_t (&buffer)[32]) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    StringCchPrintfW(buffer, 32, L"%04d-%02d-%02dT%02d:%02d:%02d", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond);
}

void reportEvent(WORD type, DWORD eventId, const wchar_t* text) {
    HANDLE source = RegisterEventSourceW(nullptr, eventSourceName);
    if (!source) return;
    const wchar_t* strings[2] = {eventSourceName, text};
    ReportEventW(source, type, 0, eventId, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

}  // namespace

void writeStdout(const wchar_t* text) {
    writeLatin1(stdout, &text, 1);
}

void logLine(const wchar_t* text) {
    wchar_t stamp[32];
    formatTimestamp(stamp);
    const wchar_t* consoleLine[] = {stamp, L"  ", text, L"\r\n"};
    writeLatin1(stdout, consoleLine, 4);
    if (logFile) {
        // The file is in text mode: its line feed becomes CR LF.
        const wchar_t* fileLine[] = {stamp, L"  ", text, L"\n"};
        writeLatin1(logFile, fileLine, 4);
    }
}

void logInfoEvent(DWORD messageId) {
    wchar_t text[512];
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, messageId, 0, text, 512,
                        nullptr)) {
        StringCchPrintfW(text, 512, L"Message 0x%08x (text not found)", messageId);
    }
    logLine(text);
    reportEvent(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_INFO, text);
}

void logError(const wchar_t* text, DWORD code) {
    wchar_t composed[512];
    StringCchPrintfW(composed, 512, L"%s - code 0x%08x", text, code);
    logLine(composed);
    reportEvent(EVENTLOG_ERROR_TYPE, MSG_SERVICE_ERROR, composed);
}

void logWarning(const wchar_t* text) {
    DWORD lastError = GetLastError();
    wchar_t composed[256];
    StringCchPrintfW(composed, 256, L"%s %d", text, static_cast<int>(lastError));
    logLine(composed);
}

void registerEventSource() {
    StringCchCopyW(eventSourceName, 256, SERVICE_NAME);
    wchar_t keyPath[MAX_PATH];
    StringCchPrintfW(keyPath, MAX_PATH, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s",
                     eventSourceName);
    ScopedRegKey key;
    RegCreateKeyW(HKEY_LOCAL_MACHINE, keyPath, key.receive());

    // RegSetValueExW reports its failure as a result; the warning prints the
    // thread's last-error value, so carry the result over into it.
    wchar_t modulePath[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    LSTATUS status = ERROR_INSUFFICIENT_BUFFER;
    if (length > 0 && length < MAX_PATH) {
        status = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(modulePath), (length + 1) * sizeof(wchar_t));
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        logWarning(L"Failed to set the EventMessageFile registry entry for our event source (OK if not run as admin)");
    }
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof(types));
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        logWarning(L"Failed to set the TypesSupported registry entry for our event source (OK if not run as admin)");
    }
}

LogFileOpen openLogFile() {
    wchar_t tempDir[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, tempDir);
    if (length == 0 || length >= MAX_PATH) return LogFileOpen::NotOpened;

    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t stamp[32];
    StringCchPrintfW(stamp, 32, L"%04d%02d%02d_%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                     now.wSecond);
    wchar_t path[MAX_PATH];
    if (FAILED(StringCchPrintfW(path, MAX_PATH, L"%slog_%s_%s.txt", tempDir, PROGRAM_NAME, stamp))) {
        return LogFileOpen::NotOpened;
    }

    wchar_t announce[MAX_PATH + 32];
    StringCchPrintfW(announce, MAX_PATH + 32, L"logfile path: %s\r\n", path);
    writeStdout(announce);

    // The temp directory may be shared with other users (the service logs into
    // the system's): never follow a link planted under our file name, and never
    // append to a file that has another name elsewhere.
    ScopedHandle file(CreateFileW(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return LogFileOpen::NotOpened;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks > 1) {
        return LogFileOpen::NotOpened;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_TEXT);
    if (fd == -1) return LogFileOpen::NotOpened;
    file.release();
    logFile = _fdopen(fd, "a+");
    if (!logFile) {
        _close(fd);
        return LogFileOpen::NotOpened;
    }
    return LogFileOpen::Opened;
}

void enableVerboseLogging(const wchar_t* text) {
    openLogFile();
    logLine(text);
}

void logCurrentUser() {
    logLine(L"* current user:");
    bool isSystem = false;
    if (isLocalSystem(&isSystem) != IdentityCheck::Checked) {
        logLine(L"FAIL - system user check failed!");
    } else if (isSystem) {
        logLine(L"SYSTEM");
    } else {
        wchar_t user[256];
        DWORD size = 256;
        if (GetUserNameW(user, &size)) logLine(user);
        else logError(L"Failed to get the user name", GetLastError());
    }
}

IdentityCheck isLocalSystem(bool* isSystem) {
    PSID systemSid = localSystemSid();
    if (!systemSid) {
        logError(L"Failed to get the local system SID", GetLastError());
        return IdentityCheck::NoSystemSid;
    }
    const DWORD infoSize = 8192;
    ScopedHeapBlock info(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, infoSize));
    if (!info) {
        logError(L"Failed to allocate memory for the process token", GetLastError());
        return IdentityCheck::NoMemory;
    }
    ScopedHandle token;
    DWORD returned = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()) ||
        !GetTokenInformation(token.get(), TokenUser, info.get(), infoSize, &returned)) {
        logError(L"Failed to retrieve process token information", GetLastError());
        return IdentityCheck::NoTokenUser;
    }
    *isSystem = EqualSid(systemSid, static_cast<TOKEN_USER*>(info.get())->User.Sid) != FALSE;
    return IdentityCheck::Checked;
}
