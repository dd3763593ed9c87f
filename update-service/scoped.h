// Small owners for the Win32 resources this program acquires, so that every
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
    T* receive() { reset(); return &value_; }
    T release() { T value = value_; value_ = Traits::invalid(); return value; }
    explicit operator bool() const { return Traits::valid(value_); }
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
struct ServiceHandleTraits {
    static SC_HANDLE invalid() { return nullptr; }
    static bool valid(SC_HANDLE h) { return h != nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
struct RegKeyTraits {
    static HKEY invalid() { return nullptr; }
    static bool valid(HKEY h) { return h != nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};
struct SidTraits {  // SIDs from AllocateAndInitializeSid
    static PSID invalid() { return nullptr; }
    static bool valid(PSID p) { return p != nullptr; }
    static void close(PSID p) { FreeSid(p); }
};
struct HeapTraits {  // blocks from the process heap
    static void* invalid() { return nullptr; }
    static bool valid(void* p) { return p != nullptr; }
    static void close(void* p) { HeapFree(GetProcessHeap(), 0, p); }
};

using ScopedHandle = Scoped<HANDLE, HandleTraits>;
using ScopedServiceHandle = Scoped<SC_HANDLE, ServiceHandleTraits>;
using ScopedRegKey = Scoped<HKEY, RegKeyTraits>;
using ScopedSid = Scoped<PSID, SidTraits>;
using ScopedHeapBlock = Scoped<void*, HeapTraits>;
