#include "pipe_peer.h"

namespace qartest {

bool readAll(HANDLE pipe, char* buffer, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer + done, size - done, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

bool writeAll(HANDLE pipe, const char* buffer, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD put = 0;
        if (!WriteFile(pipe, buffer + done, size - done, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

int clientImpersonationLevel(HANDLE serverPipe) {
    if (!ImpersonateNamedPipeClient(serverPipe)) return -1;
    int level = -1;
    HANDLE token = nullptr;
    // As self: a token of identification level cannot open itself.
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        SECURITY_IMPERSONATION_LEVEL value;
        DWORD size = 0;
        if (GetTokenInformation(token, TokenImpersonationLevel, &value, sizeof(value), &size)) level = value;
        CloseHandle(token);
    }
    RevertToSelf();
    return level;
}

PipePeer::PipePeer(const std::wstring& name, std::optional<std::string> reply)
    : PipePeer(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 10000, nullptr),
               std::move(reply)) {}

PipePeer::PipePeer(HANDLE adopted, std::optional<std::string> reply) : pipe_(adopted), reply_(std::move(reply)) {
    if (pipe_ == INVALID_HANDLE_VALUE || pipe_ == nullptr) {
        error_ = GetLastError();
        pipe_ = INVALID_HANDLE_VALUE;
        return;
    }
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread(&PipePeer::serve, this);
}

PipePeer::~PipePeer() {
    if (thread_.joinable()) {
        SetEvent(stop_);
        thread_.join();
    }
    if (stop_) CloseHandle(stop_);
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

std::vector<std::string> PipePeer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t PipePeer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::vector<int> PipePeer::impersonationLevels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return levels_;
}

bool PipePeer::finish(OVERLAPPED& ov, BOOL started, DWORD* bytes) {
    // A read that did not fit completes at once with ERROR_MORE_DATA and its byte count.
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) return false;
    HANDLE waits[] = {ov.hEvent, stop_};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIo(pipe_);
        GetOverlappedResult(pipe_, &ov, bytes, TRUE);
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    return GetOverlappedResult(pipe_, &ov, bytes, FALSE);
}

void PipePeer::serve() {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buffer(65536);
    for (;;) {
        DWORD bytes = 0;
        ResetEvent(ov.hEvent);
        BOOL connected = ConnectNamedPipe(pipe_, &ov);
        if (!connected && GetLastError() == ERROR_PIPE_CONNECTED) {
            connected = TRUE;  // the client came between creation and this call
        } else if (!finish(ov, connected, &bytes)) {
            if (GetLastError() == ERROR_OPERATION_ABORTED) break;
            DisconnectNamedPipe(pipe_);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++connections_;
        }
        // Messages until the client closes its end: a reply stays readable only
        // while this end is connected.
        std::string message;
        for (;;) {
            ResetEvent(ov.hEvent);
            BOOL read = ReadFile(pipe_, buffer.data(), (DWORD)buffer.size(), nullptr, &ov);
            bool done = finish(ov, read, &bytes);
            DWORD error = done ? 0 : GetLastError();
            if (done || error == ERROR_MORE_DATA) message.append(buffer.data(), bytes);
            if (error == ERROR_MORE_DATA) continue;
            if (!done) break;
            int level = clientImpersonationLevel(pipe_);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(message);
                levels_.push_back(level);
            }
            message.clear();
            if (reply_) {
                ResetEvent(ov.hEvent);
                BOOL written = WriteFile(pipe_, reply_->data(), (DWORD)reply_->size(), nullptr, &ov);
                if (!finish(ov, written, &bytes) && GetLastError() == ERROR_OPERATION_ABORTED) break;
            }
        }
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) break;
        DisconnectNamedPipe(pipe_);
    }
    CloseHandle(ov.hEvent);
}

}  // namespace qartest
