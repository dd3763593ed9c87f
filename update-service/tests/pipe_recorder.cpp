#include "pipe_recorder.h"

PipeRecorder::PipeRecorder(const std::wstring& name) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    connectedEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pipe_ = CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (ok()) thread_ = std::thread([this] { serve(); });
}

PipeRecorder::~PipeRecorder() {
    SetEvent(stop_);
    if (thread_.joinable()) thread_.join();
    if (ok()) CloseHandle(pipe_);
    CloseHandle(connectedEvent_);
    CloseHandle(stop_);
}

void PipeRecorder::serve() {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL done = ConnectNamedPipe(pipe_, &ov);
    DWORD error = GetLastError();
    bool client = done || error == ERROR_PIPE_CONNECTED;
    if (!client && error == ERROR_IO_PENDING) {
        HANDLE events[] = {ov.hEvent, stop_};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
            // A client came, even if it has gone again already.
            client = true;
        } else {
            CancelIoEx(pipe_, &ov);
            DWORD bytes = 0;
            GetOverlappedResult(pipe_, &ov, &bytes, TRUE);
        }
    }
    if (client) {
        int level = -1;
        DWORD impersonationError = 0;
        if (ImpersonateNamedPipeClient(pipe_)) {
            HANDLE token = nullptr;
            if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
                SECURITY_IMPERSONATION_LEVEL value;
                DWORD size = 0;
                if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof(value), &size)) level = value;
                else impersonationError = GetLastError();
                CloseHandle(token);
            } else {
                impersonationError = GetLastError();
            }
            RevertToSelf();
        } else {
            impersonationError = GetLastError();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            level_ = level;
            error_ = impersonationError;
        }
        SetEvent(connectedEvent_);
        // Never answers: the client waits until the server goes away.
        WaitForSingleObject(stop_, INFINITE);
        DisconnectNamedPipe(pipe_);
    }
    CloseHandle(ov.hEvent);
}

bool PipeRecorder::waitConnected(DWORD ms) { return WaitForSingleObject(connectedEvent_, ms) == WAIT_OBJECT_0; }

int PipeRecorder::level() {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
}

DWORD PipeRecorder::impersonationError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}
