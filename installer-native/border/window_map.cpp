// The window map: (handle, record) pairs sorted by handle value, found by
// binary search. One critical section guards every lookup, insert and
// removal, since installing and uninstalling run on any Java thread while
// the window procedure runs on the window's thread.
#include "window_map.h"

#include <cstdint>
#include <cstring>

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

}  // namespace

WindowRecord* windowMapFind(HWND window) {
    WindowMap& map = theMap();
    Locked locked(map);
    size_t i = lowerBound(map, window);
    return i < map.count && map.entries[i].window == window ? map.entries[i].record : nullptr;
}

WindowRecord* windowMapInsert(WindowRecord* record) {
    WindowMap& map = theMap();
    Locked locked(map);
    size_t i = lowerBound(map, record->window);
    if (i < map.count && map.entries[i].window == record->window) {
        WindowRecord* replaced = map.entries[i].record;
        map.entries[i].record = record;
        return replaced;
    }
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
    return nullptr;
}

WindowRecord* windowMapRemove(HWND window) {
    WindowMap& map = theMap();
    Locked locked(map);
    size_t i = lowerBound(map, window);
    if (i == map.count || map.entries[i].window != window) return nullptr;
    WindowRecord* record = map.entries[i].record;
    std::memmove(map.entries + i, map.entries + i + 1, (map.count - i - 1) * sizeof(Entry));
    --map.count;
    return record;
}
