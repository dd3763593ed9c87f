// Console output of the launcher: wide-character formatted text on standard
// output or standard error.
#pragma once

// Formats like swprintf (use %ls for wide strings) and writes the text to
// standard output. Text goes to a console as UTF-16; redirected to a file or
// a pipe it is written as UTF-8, so that no character is lost.
void printOut(const wchar_t* format, ...);

// The same for standard error.
void printErr(const wchar_t* format, ...);
