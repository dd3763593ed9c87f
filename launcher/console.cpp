#include "console.h"

#include <windows.h>
#include <strsafe.h>

#include <cstdarg>

namespace {

// Longer than any line the launcher writes (a path of 259 units and a prefix).
const int TEXT_UNITS = 1024;

void writeFormatted(DWORD stream, const wchar_t* format, va_list args) {
    wchar_t text[TEXT_UNITS];
    // A text that does not fit is cut; the buffer stays terminated either way.
    StringCchVPrintfW(text, TEXT_UNITS, format, args);
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;  // started without a console
    DWORD units = static_cast<DWORD>(wcslen(text));
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, units, &written, nullptr);
        return;
    }
    // At most three bytes per UTF-16 unit.
    char bytes[TEXT_UNITS * 3];
    int count = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), bytes, sizeof(bytes), nullptr, nullptr);
    if (count > 0) WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
}

}  // namespace

void printOut(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    writeFormatted(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

void printErr(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    writeFormatted(STD_ERROR_HANDLE, format, args);
    va_end(args);
}
