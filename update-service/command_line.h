// Program entry: command-line parsing, the usage text and dispatch.
#pragma once

#include <windows.h>

enum Command {
    None = 0,
    Install = 1,
    Delete = 2,
    CommitInstallation = 3,
    SoftwareUpdate = 4,
    ProcessRunner = 5,
    ShowUsage = 6,
};

// The application path: the argument after commit-installation, or the marker's line.
constexpr int APPLICATION_PATH_UNITS = 1024;
extern wchar_t applicationPath[APPLICATION_PATH_UNITS];

// What a command line asks for, decided without acting on it.
struct CommandLineRequest {
    Command command = None;  // ShowUsage for a help option, a second command
                             // word, or commit-installation without a path
                             // that fits applicationPath
    bool verbose = false;    // a verbose option was given
    // The element after the last commit-installation examined (also when a
    // later element then asked for the usage text), or null.
    const wchar_t* applicationPath = nullptr;
};

// Examines the whole vector (element 0 included) by the command-line rules;
// prints nothing, opens nothing, changes nothing.
CommandLineRequest scanCommandLine(int argc, wchar_t** argv);

// Parses the whole vector (element 0 included) and returns the command:
// scanCommandLine, then applicationPath filled, the usage text printed or the
// log file opened as the request says.
Command parseCommandLine(int argc, wchar_t** argv);

// Whether arg is one of the verbose options: "/VERBOSE", "-v" or "--verbose"
// (exact, case-sensitive). The command line and the service's start
// arguments are scanned with it.
bool isVerboseOption(const wchar_t* arg);

// Writes the usage text to standard output.
void printUsage();

// The exit code after the usage text was printed.
constexpr int USAGE_EXIT_CODE = -1;

// Runs the command of the command line; the result is the process exit code:
// USAGE_EXIT_CODE, or the result of the command's routine as its number.
int dispatchCommand(int argc, wchar_t** argv);
