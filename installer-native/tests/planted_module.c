/* A test-only DLL planted under the names of system DLLs: loading it by
   mistake shows in the module list. */
#include <windows.h>

__declspec(dllexport) int plantedMarker(void) { return 42; }
