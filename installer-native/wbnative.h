// Helpers that every family of wbnative's natives shares.
#pragma once

#include <jni.h>
#include <windows.h>

// Every native's prototype, generated from natives.table: a definition
// whose types disagree with the table's JNI signature fails to compile.
#include "native_prototypes.h"

#include <cstdint>
#include <memory>
#include <type_traits>

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

// Handles cross to Java as a long. Window, GDI and kernel handles hold 32
// significant bits on 64-bit Windows too, so a handle goes out sign-extended
// and comes back from the long's low 32 bits, whatever the high half holds
// (-1 in either form is INVALID_HANDLE_VALUE).
template <typename H = HANDLE>
H handleFromJava(jlong value) {
    return reinterpret_cast<H>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

inline jlong handleToJava(const void* handle) { return static_cast<jlong>(reinterpret_cast<intptr_t>(handle)); }

// An object of this library that Java holds as a long is a pointer, not a
// handle: on 64-bit Windows every bit of it counts (the heap may lie above
// 4 GiB), on 32-bit Windows the low 32. It goes out as handles do.
template <typename T>
T* objectFromJava(jlong value) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(value));
}

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

// One thing that a function closes (a handle, a key, a block of memory),
// closed when its owner goes. A kind of thing is a traits struct: its type
// (Value), its empty value, which values hold something, and its close.
template <typename Traits>
class Scoped {
public:
    using Value = typename Traits::Value;
    Scoped() = default;
    explicit Scoped(Value value) : value_(value) {}
    ~Scoped() { close(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Value get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }
    // Closes what is held, then holds value.
    void reset(Value value = Traits::empty()) {
        close();
        value_ = value;
    }
    // Where a function writes what it opened; what was held is closed first.
    Value* receive() {
        reset();
        return &value_;
    }

private:
    void close() {
        if (Traits::valid(value_)) Traits::close(value_);
    }
    Value value_ = Traits::empty();
};

// Kernel handles. Functions report failure with null or with
// INVALID_HANDLE_VALUE: neither is closed.
struct HandleTraits {
    using Value = HANDLE;
    static HANDLE empty() { return nullptr; }
    static bool valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
using ScopedHandle = Scoped<HandleTraits>;

struct KeyTraits {
    using Value = HKEY;
    static HKEY empty() { return nullptr; }
    static bool valid(HKEY key) { return key != nullptr; }
    static void close(HKEY key) { RegCloseKey(key); }
};
using ScopedKey = Scoped<KeyTraits>;

// The service control manager's handles and those of its services.
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static SC_HANDLE empty() { return nullptr; }
    static bool valid(SC_HANDLE handle) { return handle != nullptr; }
    static void close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};
using ScopedServiceHandle = Scoped<ServiceHandleTraits>;

// Memory a function allocated with LocalAlloc for its caller (strings, SIDs).
template <typename T>
struct LocalMemoryTraits {
    using Value = T*;
    static T* empty() { return nullptr; }
    static bool valid(T* p) { return p != nullptr; }
    static void close(T* p) { LocalFree(p); }
};
template <typename T>
using ScopedLocal = Scoped<LocalMemoryTraits<T>>;

// Memory a function allocated with GlobalAlloc for its caller (WinHTTP's strings).
template <typename T>
struct GlobalMemoryTraits {
    using Value = T*;
    static T* empty() { return nullptr; }
    static bool valid(T* p) { return p != nullptr; }
    static void close(T* p) { GlobalFree(p); }
};
template <typename T>
using ScopedGlobal = Scoped<GlobalMemoryTraits<T>>;

// The elements of a Java primitive array by type: the getter and the release.
inline jbyte* arrayElements(JNIEnv* env, jbyteArray array) { return env->GetByteArrayElements(array, nullptr); }
inline jint* arrayElements(JNIEnv* env, jintArray array) { return env->GetIntArrayElements(array, nullptr); }
inline jboolean* arrayElements(JNIEnv* env, jbooleanArray array) {
    return env->GetBooleanArrayElements(array, nullptr);
}
inline void releaseArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
    env->ReleaseByteArrayElements(array, elements, mode);
}
inline void releaseArrayElements(JNIEnv* env, jintArray array, jint* elements, jint mode) {
    env->ReleaseIntArrayElements(array, elements, mode);
}
inline void releaseArrayElements(JNIEnv* env, jbooleanArray array, jboolean* elements, jint mode) {
    env->ReleaseBooleanArrayElements(array, elements, mode);
}

// The elements of a Java array, pinned (or copied) by the VM while the guard
// lives. Released with JNI_ABORT, nothing going back to the array, unless
// made with mode 0 (what was written reaches the array). A null array pins
// nothing; neither does a pending exception, since no JNI call but the
// exception functions is allowed then.
template <typename Array>
class PinnedArray {
public:
    using Element = std::remove_pointer_t<decltype(arrayElements(nullptr, Array()))>;
    PinnedArray(JNIEnv* env, Array array, jint mode = JNI_ABORT) : env_(env), array_(array), mode_(mode) {
        if (!array || env->ExceptionCheck()) return;
        elements_ = arrayElements(env, array);
        if (elements_) length_ = env->GetArrayLength(array);
    }
    ~PinnedArray() {
        if (elements_) releaseArrayElements(env_, array_, elements_, mode_);
    }
    PinnedArray(const PinnedArray&) = delete;
    PinnedArray& operator=(const PinnedArray&) = delete;
    Element* get() const { return elements_; }
    // The array's length once pinned, else 0.
    jsize length() const { return length_; }
    explicit operator bool() const { return elements_ != nullptr; }
    // A non-null array left unpinned: the VM failed (its OutOfMemoryError
    // is pending), or an exception was pending already.
    bool failed() const { return array_ && !elements_; }

private:
    JNIEnv* env_;
    Array array_;
    jint mode_;
    Element* elements_ = nullptr;
    jsize length_ = 0;
};

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
