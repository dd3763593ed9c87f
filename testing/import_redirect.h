// Test-only redirection of one import of a loaded module, so that a test can
// observe (or answer) the system calls the module makes.
#pragma once

#include <windows.h>

namespace qartest {

// Points module's import of dll!function at replacement (a test-only stand-in
// that may call the original, returned through original); false when the
// module has no such import.
bool redirectImport(HMODULE module, const char* dll, const char* function, void* replacement,
                    void** original = nullptr);

}  // namespace qartest
