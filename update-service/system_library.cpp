#include "system_library.h"

#include <strsafe.h>

HMODULE loadSystemLibrary(const wchar_t* name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;

    // Systems without the search flags: the full path, and the DLL's own
    // dependencies looked up beside it rather than beside this program.
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || FAILED(StringCchCatW(path, MAX_PATH, L"\\")) ||
        FAILED(StringCchCatW(path, MAX_PATH, name))) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
