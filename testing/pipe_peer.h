// A stand-in for the program that serves a per-user pipe (the QAR Client): a
// pipe served on a thread of the test program, which records every message it
// receives, byte for byte, and answers each with a scripted reply. Settings
// make it the odd server a client must cope with: busy, not writable, in byte
// mode, or a pipe created elsewhere.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <optional>
#include <string>
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

// How a PipePeer makes its pipe; the defaults serve a client the way the QAR
// Client does.
struct PipeSettings {
    DWORD openMode = PIPE_ACCESS_DUPLEX;
    DWORD pipeType = PIPE_TYPE_MESSAGE;  // PIPE_TYPE_BYTE: read in byte mode too
    // The wait a client gets that waits for a busy pipe by default.
    DWORD defaultTimeoutMs = 10000;
    // Another client holds the one instance for this long before the peer
    // listens (INFINITE: throughout); 0: the peer listens at once.
    DWORD busyForMs = 0;
    // Written back after each message received; std::nullopt answers nothing.
    std::optional<std::string> reply;
    // A message-mode server end created elsewhere (with FILE_FLAG_OVERLAPPED),
    // served and closed instead of a new pipe; of the settings above only
    // reply then applies.
    HANDLE adopted = INVALID_HANDLE_VALUE;
};

// What the peer saw, in arrival order.
struct PipeTraffic {
    size_t connections = 0;                // clients connected (one that sent nothing counts too)
    std::vector<std::string> messages;     // each message, byte for byte
    std::vector<int> impersonationLevels;  // per message, the level its client allowed (clientImpersonationLevel)
};

class PipePeer {
public:
    // Creates the pipe name and starts serving it. The pipe has one instance,
    // so that a second client finds it busy. The pipe exists, and listens
    // unless it is busy, when the constructor returns.
    PipePeer(const std::wstring& name, const PipeSettings& settings = {});
    PipePeer(const std::wstring& name, std::optional<std::string> reply);
    // Serves a server end created elsewhere (see PipeSettings::adopted).
    PipePeer(HANDLE adopted, std::optional<std::string> reply);
    // Stops serving and closes the pipe.
    ~PipePeer();
    PipePeer(const PipePeer&) = delete;
    PipePeer& operator=(const PipePeer&) = delete;

    // Whether the pipe was created (and, for a busy pipe, taken by the other
    // client); when not, error() holds the code.
    bool ok() const { return pipe_ != INVALID_HANDLE_VALUE && error_ == 0; }
    DWORD error() const { return error_; }

    // What arrived so far.
    std::vector<std::string> received() const;
    size_t connections() const;
    std::vector<int> impersonationLevels() const;

    // Once the clients are gone: lets every client still connected finish
    // (its end closed, what it wrote read), stops listening, and returns all
    // that arrived.
    PipeTraffic finish();

private:
    static DWORD WINAPI serveThread(void* self);
    void serve();
    // Waits for serve() to return, then closes the thread.
    void join();
    // Waits for an overlapped operation on the pipe, or for one of the
    // events in until; false when interrupted by one of them (the operation is
    // then cancelled) or failed, with GetLastError set.
    bool complete(OVERLAPPED& ov, BOOL started, DWORD* bytes, std::initializer_list<HANDLE> until);

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE otherClient_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;     // the peer goes away
    HANDLE finish_ = nullptr;   // no new client is waited for
    HANDLE done_ = nullptr;     // serve() has returned
    OVERLAPPED ov_{};           // the pipe's one operation at a time
    bool listening_ = false;    // the constructor started the first connect
    BOOL firstConnect_ = FALSE;
    DWORD firstConnectError_ = 0;
    DWORD error_ = 0;
    PipeSettings settings_;
    // An SRW lock and a thread of Windows' own rather than std::mutex and
    // std::thread: the thread library's internal locks make a kernel event on
    // their first contention and keep it for the life of the process, which a
    // soak of the programs against this peer would read as a leaked handle.
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    PipeTraffic traffic_;
    HANDLE thread_ = nullptr;
};

}  // namespace qartest
