// The process exit code that a routine's named result becomes.
#pragma once

#include <windows.h>

template <typename Result>
constexpr DWORD exitCodeOf(Result result) {
    return static_cast<DWORD>(static_cast<int>(result));
}
