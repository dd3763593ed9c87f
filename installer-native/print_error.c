/* The library's ErrorPrinter. C, not C++: the C runtime's own formatter reads
 * "%S" in a wide format as a narrow string, which is what callers pass; the
 * C++ build would swap in mingw's formatter. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

void __cdecl printError(const wchar_t* format, ...) {
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(text, 1023, format, args);
    va_end(args);
    text[n < 0 ? 1023 : n] = L'\0'; /* cut, never unterminated */

    /* Written as bytes of the ANSI code page, so the line reads the same
     * whether the stream is in text or binary mode. */
    char line[4096];
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, line, sizeof line, NULL, NULL);
    if (bytes <= 0) line[0] = '\0';
    fputs("ERROR: ", stderr);
    fputs(line, stderr);
    fputs("\n", stderr);
    fflush(stderr);
}
