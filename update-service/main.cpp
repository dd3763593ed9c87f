#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include <windows.h>

#include "command_line.h"

namespace {

// As local system this program must never load a DLL that somebody placed
// beside it or in the current directory: dynamic loads come from System32.
void restrictDllSearch() {
    SetDllDirectoryW(L"");
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    restrictDllSearch();
    // Lines carry their own CR LF; the usage text has bare line feeds.
    _setmode(_fileno(stdout), _O_BINARY);
    return dispatchCommand(argc, argv);
}
