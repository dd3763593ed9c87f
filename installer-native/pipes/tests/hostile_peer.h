// A channel peer on a thread of the test program that connects, waits for
// start() (the server has accepted it: a client that is gone before that is
// a different story), writes exactly the pieces it is given (zero-byte writes
// included), then either closes its end or stays connected until released. It is also the bound on the reader:
// once everything is written, a peer kept connected waits for release() at
// most boundMs; when that passes it records the timeout and closes, so a
// reader that waits for bytes that never come gets its read back (null) and
// the test fails by timedOut(), not by CTest's clock.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace wbtest {

class HostilePeer {
public:
    using Piece = std::vector<unsigned char>;
    enum class End { close, stayConnected };

    // The pipe must be listening already.
    HostilePeer(const std::wstring& pipe, std::vector<Piece> pieces, End end, DWORD boundMs = 20000)
        : pieces_(std::move(pieces)), end_(end), boundMs_(boundMs) {
        start_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, pipe] { run(pipe); });
    }
    ~HostilePeer() {
        start();
        release();
        if (thread_.joinable()) thread_.join();
        CloseHandle(start_);
        CloseHandle(release_);
    }
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    // Lets the peer write.
    void start() { SetEvent(start_); }
    // Lets a peer kept connected close its end.
    void release() { SetEvent(release_); }
    // Waits until the peer has closed its end.
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool connected() const { return connected_; }
    // Everything written, as given.
    bool wroteAll() const { return wroteAll_; }
    // The reader was still waiting boundMs after the last piece went out.
    bool timedOut() const { return timedOut_; }

private:
    void run(const std::wstring& pipe) {
        // The listener exists before the peer is made.
        HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        connected_ = true;
        bool ok = WaitForSingleObject(start_, boundMs_) == WAIT_OBJECT_0;
        for (const Piece& piece : pieces_) {
            if (!ok) break;
            DWORD put = 0;
            if (!WriteFile(h, piece.data(), static_cast<DWORD>(piece.size()), &put, nullptr) || put != piece.size()) {
                ok = false;
                break;
            }
        }
        wroteAll_ = ok;
        if (end_ == End::stayConnected && WaitForSingleObject(release_, boundMs_) == WAIT_TIMEOUT) timedOut_ = true;
        CloseHandle(h);
    }

    std::vector<Piece> pieces_;
    End end_;
    DWORD boundMs_;
    HANDLE start_;
    HANDLE release_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> wroteAll_{false};
    std::atomic<bool> timedOut_{false};
    std::thread thread_;
};

// The 4-byte length word as the wire carries it.
inline HostilePeer::Piece lengthWord(int32_t n) {
    uint32_t u = static_cast<uint32_t>(n);
    return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u >> 16),
            static_cast<unsigned char>(u >> 24)};
}

}  // namespace wbtest
