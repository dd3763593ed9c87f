// launcher: keeps one running QAR client per user. Forwards its optional
// parameter to the running client over the client's pipe, or starts the
// client from the launcher's own folder.
#include <windows.h>

#include "client_start.h"
#include "command_line.h"
#include "named_pipe.h"

int wmain(int argc, wchar_t** argv) {
    // Help wins before anything else; so does more than one argument.
    const wchar_t* parameter = nullptr;
    if (wantsUsage(argc, argv, &parameter)) {
        printUsage();
        return 0;
    }
    int result = checkNamedPipe(parameter);
    // Only a missing pipe starts the client: any failure once it was found
    // must not lead to a second one.
    if (result == NO_CLIENT_RUNNING) return startQarClient(parameter);
    return result;
}
