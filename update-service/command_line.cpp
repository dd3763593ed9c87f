#include "command_line.h"

#include <strsafe.h>

#include <cwchar>

#include "handoff.h"
#include "logging.h"
#include "messages.h"
#include "names.h"
#include "service_registration.h"
#include "service_run.h"

wchar_t applicationPath[APPLICATION_PATH_UNITS];

namespace {

const wchar_t USAGE_TEXT[] =
    L"\n"
    L"Usage:\n"
    L" " PROGRAM_NAME L" [options] [[command] params]\n"
    L"\n"
    L"Supported options:\n"
    L" /?       -h --help     Display this message.\n"
    L" /VERBOSE -v --verbose  Enable logging into the temp directory.\n"
    L"                        If started from the SCM, we log into c:\\windows\\temp.\n"
    L"\n"
    L"Supported commands:\n"
    L" install                Install the service in the services database and register\n"
    L"                        the service executable as source for event log entry\n"
    L"                        messages. Requires admin privileges.\n"
    L" delete                 Remove the service from the services database. Requires\n"
    L"                        admin privileges.\n"
    L" software-update <path> Start the (installed) service, validate and run the\n"
    L"                        installer at the specified <path>, with the following\n"
    L"                        command-line arguments:\n"
    L"                        " INSTALLER_ARGUMENTS L"\n"
    L"                        In addition, this binary clones itself, starts the clone\n"
    L"                        and lets it wait for a marker file created by an invocation\n"
    L"                        with commit-installation. The clone runs under the context\n"
    L"                        of the user who has initially started the binary.\n"
    L" commit-installation <path-to-application>\n"
    L"                        Called by the installer to complete the installation.\n"
    L"                        If we're running as SYSTEM, we create a marker file to\n"
    L"                        trigger the start of the application, otherwise we start\n"
    L"                        it directly.\n"
    L"\n"
    L"The service control manager invokes this binary without commands.\n"
    L"In this case, it performs the actual software update.\n";

bool isHelpOption(const wchar_t* arg) {
    return wcscmp(arg, L"/?") == 0 || wcscmp(arg, L"-h") == 0 || wcscmp(arg, L"--help") == 0;
}

struct CommandWord {
    const wchar_t* word;
    Command command;
};

// Compared in this order.
const CommandWord COMMAND_WORDS[] = {
    {L"install", Install},
    {L"delete", Delete},
    {L"be-process-runner", ProcessRunner},
    {L"commit-installation", CommitInstallation},
    {L"software-update", SoftwareUpdate},
};

// A routine's result as the process exit code: its number.
template <typename Result>
int exitCode(Result result) {
    return static_cast<int>(result);
}

// Runs a routine between its two milestone events; the second only after
// success, which every routine reports as 0.
template <typename Result>
int runWithEvents(DWORD before, Result (*routine)(), DWORD after) {
    logInfoEvent(before);
    int result = exitCode(routine());
    if (result == 0) logInfoEvent(after);
    return result;
}

}  // namespace

bool isVerboseOption(const wchar_t* arg) {
    return wcscmp(arg, L"/VERBOSE") == 0 || wcscmp(arg, L"-v") == 0 || wcscmp(arg, L"--verbose") == 0;
}

void printUsage() {
    writeStdout(USAGE_TEXT);
}

CommandLineRequest scanCommandLine(int argc, wchar_t** argv) {
    CommandLineRequest request;
    bool found = false;
    for (int i = 0; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (!arg) continue;
        if (isHelpOption(arg)) {
            request.command = ShowUsage;
            return request;
        }
        if (isVerboseOption(arg)) request.verbose = true;

        const CommandWord* match = nullptr;
        for (const CommandWord& candidate : COMMAND_WORDS) {
            if (wcscmp(arg, candidate.word) == 0) {
                match = &candidate;
                break;
            }
        }
        if (!match) continue;

        if (match->command == CommitInstallation) {
            // The path is taken but not consumed: it is examined in its own turn.
            // A path that does not fit is refused rather than cut, which would
            // start a different program.
            const wchar_t* path = i + 1 < argc ? argv[i + 1] : nullptr;
            if (!path || wcsnlen(path, APPLICATION_PATH_UNITS) >= APPLICATION_PATH_UNITS) {
                request.command = ShowUsage;
                return request;
            }
            request.applicationPath = path;
        }
        if (found) {
            request.command = ShowUsage;
            return request;
        }
        found = true;
        request.command = match->command;
    }
    return request;
}

Command parseCommandLine(int argc, wchar_t** argv) {
    CommandLineRequest request = scanCommandLine(argc, argv);
    // Fits: the scan refuses a longer path.
    if (request.applicationPath) StringCchCopyW(applicationPath, APPLICATION_PATH_UNITS, request.applicationPath);
    if (request.command == ShowUsage) {
        printUsage();
        return ShowUsage;
    }
    if (request.verbose) enableVerboseLogging(PROGRAM_NAME L" logging enabled");
    return request.command;
}

int dispatchCommand(int argc, wchar_t** argv) {
    registerEventSource();
    Command command = parseCommandLine(argc, argv);
    if (command == ShowUsage) return USAGE_EXIT_CODE;
    logCurrentUser();

    switch (command) {
    case Install:
        return runWithEvents(MSG_INSTALLING, installService, MSG_INSTALLED);
    case Delete:
        return runWithEvents(MSG_REMOVING, uninstallService, MSG_REMOVED);
    case CommitInstallation:
        return runWithEvents(MSG_COMMITTING, commitInstallation, MSG_COMMITTED);
    case SoftwareUpdate: {
        logInfoEvent(MSG_STARTING);
        startClone();
        UpdateRequest result = startUpdateService(argc, argv);
        if (result == UpdateRequest::ServiceRunning) logInfoEvent(MSG_STARTED);
        return exitCode(result);
    }
    case ProcessRunner:
        return exitCode(beProcessRunner());
    case None:
    default:
        logInfoEvent(MSG_EXECUTION_REQUESTED);
        return exitCode(runAsService());
    }
}
