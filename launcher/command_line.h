// The launcher's command line: help options, the argument count, the usage
// text, and the command line the client is started with.
#pragma once

#include <cstddef>

// True when any element of argv, the program name included, is exactly
// "/?", "-h" or "--help" (case-sensitive).
bool hasHelpOption(int argc, wchar_t** argv);

// Decides what the command line asks for, without acting on it: true when the
// usage text is to be shown (a help option, or not exactly zero or one
// argument after the program name); otherwise *parameter is the one argument,
// or null when there is none.
bool wantsUsage(int argc, wchar_t** argv, const wchar_t** parameter);

// Writes the usage text to standard output.
void printUsage();

// Writes the client's command line into out (null to only count): fileName
// quoted, then, when parameter is not null, a space and parameter quoted as
// exactly one argument, whatever it holds; then the terminator. Returns the
// number of units written, terminator included.
size_t clientCommandLine(const wchar_t* fileName, const wchar_t* parameter, wchar_t* out);
