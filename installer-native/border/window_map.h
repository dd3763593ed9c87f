// The windows whose procedure this library replaced, by window handle.
#pragma once

#include <jni.h>
#include <windows.h>

#include <atomic>

// One subclassed window. A record is counted: the map holds one reference
// while the window is subclassed, and every reader holds one while it uses
// the record, so that no thread frees it under another.
struct WindowRecord {
    JavaVM* vm;                 // from GetJavaVM at install time
    JNIEnv* env;                // the window thread's environment, fetched at first need (that thread only)
    jobject javaObject;         // global reference to the installing WndProc object
    HWND window;
    WNDPROC previousProcedure;  // the procedure that was replaced; fixed once installed
    std::atomic<int> sizeTypeOverride;  // WM_SIZE type to report instead of the real one, or -1
    long references;            // guarded by the map's lock
};

// Releases a record whose last reference went: its global reference (with
// an environment valid on the calling thread, or null to find one) and the
// record itself. Supplied by the window procedure's file.
void releaseRecord(WindowRecord* record, JNIEnv* callerEnv);

// The record of a window with one more reference, or null. The caller drops
// the reference with windowMapRelease.
WindowRecord* windowMapAcquire(HWND window);
// Drops one reference; the last one releases the record.
void windowMapRelease(WindowRecord* record, JNIEnv* callerEnv);

// Subclasses the record's window with procedure and adds the record, as one
// step under the map's lock: false, with nothing changed, when the window is
// already in the map or its procedure cannot be replaced. On success the map
// holds the record's one reference. Records of windows that no longer exist
// are released on the way (with env, the calling thread's).
bool windowMapInstall(WindowRecord* record, WNDPROC procedure, JNIEnv* env);

// Restores the window's previous procedure and takes the window out of the
// map, as one step; returns its record with the map's reference, which the
// caller drops, or null when the window is not in the map.
WindowRecord* windowMapUninstall(HWND window);

// A reference held for a scope.
class HeldRecord {
public:
    HeldRecord(HWND window, JNIEnv* env) : record_(windowMapAcquire(window)), env_(env) {}
    ~HeldRecord() {
        if (record_) windowMapRelease(record_, env_);
    }
    HeldRecord(const HeldRecord&) = delete;
    HeldRecord& operator=(const HeldRecord&) = delete;
    WindowRecord* operator->() const { return record_; }
    WindowRecord* get() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }

private:
    WindowRecord* record_;
    JNIEnv* env_;
};
