// A stand-in for the program that serves a per-user pipe (the QAR Client): a
// message-mode pipe served on a thread of the test program, which records every
// message it receives, byte for byte, and answers each with a scripted reply.
#pragma once

#include <windows.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qartest {

// Reads exactly size bytes from a byte-mode pipe (or file); false when it
// fails or ends first.
bool readAll(HANDLE pipe, char* buffer, DWORD size);
// Writes exactly size bytes; false when the pipe fails or takes nothing.
bool writeAll(HANDLE pipe, const char* buffer, DWORD size);

// The impersonation level the client of serverPipe allows, as the server sees
// it by impersonating the client (the server must have read from it first);
// -1 when the impersonation fails.
int clientImpersonationLevel(HANDLE serverPipe);

class PipePeer {
public:
    // Creates the pipe name and starts serving it. The pipe has one instance, so
    // that a second client finds it busy, and a default wait of 10 s, so that a
    // client that waits for a busy pipe by default is seen to wait. reply is written back after each message received;
    // std::nullopt answers nothing. The pipe exists when the constructor returns.
    PipePeer(const std::wstring& name, std::optional<std::string> reply);
    // Serves a message-mode server end created elsewhere (with
    // FILE_FLAG_OVERLAPPED), and closes it when done.
    PipePeer(HANDLE adopted, std::optional<std::string> reply);
    // Stops serving and closes the pipe.
    ~PipePeer();
    PipePeer(const PipePeer&) = delete;
    PipePeer& operator=(const PipePeer&) = delete;

    // Whether the pipe was created; when not, error() holds the code.
    bool ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
    DWORD error() const { return error_; }

    // The messages received so far, in arrival order.
    std::vector<std::string> received() const;
    // The clients connected so far (a client that sent nothing counts too).
    size_t connections() const;
    // For each message received, the impersonation level its client allowed
    // (clientImpersonationLevel).
    std::vector<int> impersonationLevels() const;

private:
    void serve();
    // Waits for an overlapped operation on the pipe, or for stop_; false when
    // stopped (the operation is then cancelled) or failed, with GetLastError set.
    bool finish(OVERLAPPED& ov, BOOL started, DWORD* bytes);

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    DWORD error_ = 0;
    std::optional<std::string> reply_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::vector<int> levels_;
    size_t connections_ = 0;
    std::thread thread_;
};

}  // namespace qartest
