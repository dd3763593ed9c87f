// Test-only: keeps Wine's desktop process alive for a whole test run.
//   qar_desktop_keeper <ready file>
// Wine starts its desktop process (explorer.exe) for the first process that
// needs the desktop, and that process inherits its starter's Unix standard
// output and error (Windows would hand it no such handle); it ends a few
// seconds after the desktop's last user. A test that happened to start it
// would keep CTest's output pipe open, and so seem to hang, for as long as
// other tests kept the desktop busy. Started first, with its output going
// nowhere, this program starts the desktop process itself and stays a user of
// the desktop until the wineserver ends. It creates <ready file> once the
// desktop window exists. Exit code 2 on bad arguments, 3 when a step fails.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    if (!GetDesktopWindow()) return 3;
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
