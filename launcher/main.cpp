// launcher: keeps one running QAR client per user. Forwards its optional
// parameter to the running client over the client's pipe, or starts the
// client from the launcher's own folder.
#include <windows.h>

#include "client_start.h"
#include "command_line.h"
#include "named_pipe.h"

int wmain(int argc, wchar_t** argv) {
    // Help wins before anything else; so does more than one argument.
    if (hasHelpOption(argc, argv) || argc < 1 || argc > 2) {
        printUsage();
        return 0;
    }
    const wchar_t* parameter = argc == 2 ? argv[1] : nullptr;
    int result = checkNamedPipe(parameter);
    // Only a missing pipe starts the client: any failure once it was found
    // must not lead to a second one.
    if (result == NO_CLIENT_RUNNING) return startQarClient(parameter);
    return result;
}
