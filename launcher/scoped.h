// Small owners for the Win32 resources the launcher acquires, so that every
// early return releases them.
#pragma once

#include <windows.h>

template <typename T, typename Traits>
class Scoped {
public:
    Scoped() = default;
    explicit Scoped(T value) : value_(value) {}
    ~Scoped() { reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    T get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }
    // Gives up ownership: the value is the caller's to release.
    void release() { value_ = Traits::invalid(); }
    void reset(T value = Traits::invalid()) {
        if (Traits::valid(value_)) Traits::close(value_);
        value_ = value;
    }

private:
    T value_ = Traits::invalid();
};

struct HandleTraits {
    static HANDLE invalid() { return nullptr; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct HeapTraits {  // blocks from the process heap
    static void* invalid() { return nullptr; }
    static bool valid(void* p) { return p != nullptr; }
    static void close(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};

using ScopedHandle = Scoped<HANDLE, HandleTraits>;
using ScopedHeapBlock = Scoped<void*, HeapTraits>;
