// A hostile pipe server as an ordinary user would run one: it waits for a
// client, impersonates it, records at which level it could, and then never
// writes, keeping the client waiting for as long as the server lives.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>

class PipeRecorder {
public:
    // Creates \\.\pipe\<name> and serves it; the pipe exists on return.
    explicit PipeRecorder(const std::wstring& name);
    ~PipeRecorder();
    PipeRecorder(const PipeRecorder&) = delete;
    PipeRecorder& operator=(const PipeRecorder&) = delete;

    bool ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Waits up to ms for a client; whether one connected.
    bool waitConnected(DWORD ms);
    bool connected() { return waitConnected(0); }
    // The impersonation level the server obtained (SECURITY_IMPERSONATION_LEVEL),
    // or -1 when it could not impersonate or open the thread token; then
    // impersonationError() holds the error.
    int level();
    DWORD impersonationError();

private:
    void serve();

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    HANDLE connectedEvent_ = nullptr;
    std::mutex mutex_;
    int level_ = -1;
    DWORD error_ = 0;
    std::thread thread_;
};
