#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "command_line.h"

int wmain(int argc, wchar_t** argv) {
    // Lines carry their own CR LF; the usage text has bare line feeds.
    _setmode(_fileno(stdout), _O_BINARY);
    return dispatchCommand(argc, argv);
}
