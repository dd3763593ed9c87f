// The launcher's command line: help options and the usage text.
#pragma once

// True when any element of argv, the program name included, is exactly
// "/?", "-h" or "--help" (case-sensitive).
bool hasHelpOption(int argc, wchar_t** argv);

// Writes the usage text to standard output.
void printUsage();
