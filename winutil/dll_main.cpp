// qa2winutil keeps no state: loading and unloading do nothing of our own.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
