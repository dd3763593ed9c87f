// The window map: (handle, record) pairs sorted by handle value, found by
// binary search. One critical section guards every lookup, insert and
// removal, the records' reference counts, and the swap of the window
// procedure that goes with an insert or a removal, since installing and
// uninstalling run on any Java thread while the window procedure runs on
// the window's thread. No window message is sent under the lock.
#include "window_map.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Entry {
    HWND window;
    WindowRecord* record;
};

const size_t kInitialCapacity = 20;
const size_t kGrowthSlack = 10;

struct WindowMap {
    CRITICAL_SECTION lock;
    Entry* entries;
    size_t count;
    size_t capacity;

    WindowMap() : entries(new Entry[kInitialCapacity]), count(0), capacity(kInitialCapacity) {
        InitializeCriticalSection(&lock);
    }
};

// Created on first use and kept until the process ends.
WindowMap& theMap() {
    static WindowMap* map = new WindowMap();
    return *map;
}

class Locked {
public:
    explicit Locked(WindowMap& map) : map_(map) { EnterCriticalSection(&map_.lock); }
    ~Locked() { LeaveCriticalSection(&map_.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    WindowMap& map_;
};

// Index of the first entry whose handle is not below window (count if none).
size_t lowerBound(const WindowMap& map, HWND window) {
    uintptr_t key = reinterpret_cast<uintptr_t>(window);
    size_t low = 0, high = map.count;
    while (low < high) {
        size_t mid = low + (high - low) / 2;
        if (reinterpret_cast<uintptr_t>(map.entries[mid].window) < key)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// Index of the window's entry, or map.count when it is not in the map.
size_t indexOf(const WindowMap& map, HWND window) {
    size_t i = lowerBound(map, window);
    return i < map.count && map.entries[i].window == window ? i : map.count;
}

void insertAt(WindowMap& map, size_t i, WindowRecord* record) {
    if (map.count + 1 > map.capacity) {
        size_t capacity = map.count + 1 + kGrowthSlack;
        Entry* entries = new Entry[capacity];
        std::memcpy(entries, map.entries, map.count * sizeof(Entry));
        delete[] map.entries;
        map.entries = entries;
        map.capacity = capacity;
    }
    std::memmove(map.entries + i + 1, map.entries + i, (map.count - i) * sizeof(Entry));
    map.entries[i] = Entry{record->window, record};
    ++map.count;
}

void removeAt(WindowMap& map, size_t i) {
    std::memmove(map.entries + i, map.entries + i + 1, (map.count - i - 1) * sizeof(Entry));
    --map.count;
}

}  // namespace

WindowRecord* windowMapAcquire(HWND window) {
    WindowMap& map = theMap();
    Locked locked(map);
    size_t i = indexOf(map, window);
    if (i == map.count) return nullptr;
    WindowRecord* record = map.entries[i].record;
    ++record->references;
    return record;
}

void windowMapRelease(WindowRecord* record, JNIEnv* callerEnv) {
    WindowMap& map = theMap();
    bool last;
    {
        Locked locked(map);
        last = --record->references == 0;
    }
    if (last) releaseRecord(record, callerEnv);
}

bool windowMapInstall(WindowRecord* record, WNDPROC procedure, JNIEnv* env) {
    WindowMap& map = theMap();
    std::vector<WindowRecord*> dead;
    bool installed = false;
    {
        Locked locked(map);
        // A window that ends while another thread installs it can be
        // subclassed after its WM_NCDESTROY, its last message: its record is
        // released here, at the next install, once the window is gone.
        for (size_t i = map.count; i-- > 0;) {
            if (IsWindow(map.entries[i].window)) continue;
            dead.push_back(map.entries[i].record);
            removeAt(map, i);
        }
        size_t i = lowerBound(map, record->window);
        if (i == map.count || map.entries[i].window != record->window) {
            // Under the lock: the window's thread, entering the new procedure,
            // waits here until the record it looks for is complete and in the map.
            SetLastError(0);
            LONG_PTR previous =
                SetWindowLongPtrW(record->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
            // Zero with an error: no such window, or not ours to subclass.
            if (previous || GetLastError() == 0) {
                record->previousProcedure = reinterpret_cast<WNDPROC>(previous);
                record->references = 1;
                insertAt(map, i, record);
                installed = true;
            }
        }
    }
    for (WindowRecord* r : dead) windowMapRelease(r, env);
    return installed;
}

WindowRecord* windowMapUninstall(HWND window) {
    WindowMap& map = theMap();
    Locked locked(map);
    size_t i = indexOf(map, window);
    if (i == map.count) return nullptr;
    WindowRecord* record = map.entries[i].record;
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(record->previousProcedure));
    removeAt(map, i);
    return record;
}
