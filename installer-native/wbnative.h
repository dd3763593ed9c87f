// Helpers that every family of wbnative's natives shares.
#pragma once

#include <jni.h>
#include <windows.h>

#include <memory>

// The host's error call-back: printf-style, C calling convention, "%d" takes
// an int and "%S" a narrow string.
typedef void(__cdecl* ErrorPrinter)(const wchar_t* format, ...);

// The library's own ErrorPrinter: "ERROR: ", the message and a line end on
// standard error, flushed at once.
extern "C" void __cdecl printError(const wchar_t* format, ...);

// Sets copy to a zero-terminated UTF-16 copy of a Java string (a NUL inside
// the string ends it for Windows); a null reference gives null. False when
// the copy failed: the VM could not hand out the characters (its
// OutOfMemoryError is then pending) or the native heap is exhausted. The
// caller then returns its failure value at once: a failed copy is no null,
// and no JNI call but the exception functions is allowed while an exception
// is pending.
[[nodiscard]] bool jstringToWide(JNIEnv* env, jstring string, std::unique_ptr<wchar_t[]>& copy);

// A system DLL: the module if it is loaded already, else loaded from the
// system directory only, never from the application's folder, the current
// directory or PATH, where a planted copy could wait; null when the system
// lacks it. Never freed.
HMODULE loadSystemLibrary(const wchar_t* name);
// Loads a system DLL by LOAD_LIBRARY_SEARCH_SYSTEM32 or, where the system
// does not know that flag, by its full path in the system directory.
HMODULE loadSystemLibraryFrom(const wchar_t* name, bool searchFlagSupported);

// Enables or disables a privilege of the process token; false also when the
// token does not hold it.
bool setPrivilege(const wchar_t* name, bool enable);

// GetProcAddress as the function type the caller expects (null when missing).
template <typename F>
F procAddress(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Binds SHChangeNotify and ShellExecuteW from shell32 once per process.
bool loadShellFunctions();
// SHChangeNotify when shell32 is there, else nothing.
void shellChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);
// ShellExecuteW's result, or 0 when shell32 is not there.
HINSTANCE shellExecute(HWND window, const wchar_t* verb, const wchar_t* file, const wchar_t* parameters,
                       const wchar_t* directory, int showCommand);

// A COM interface pointer, released when it goes. out() receives it from a
// typed getter, outVoid() from one that takes an interface id.
template <typename T>
struct ComPtr {
    T* p = nullptr;
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    T** out() { return &p; }
    void** outVoid() { return reinterpret_cast<void**>(&p); }
};
