#include "pipe_peer.h"

#include <utility>

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

namespace {

// Holds an SRW lock in exclusive mode for its scope.
class Exclusive {
public:
    explicit Exclusive(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    SRWLOCK& lock_;
};

PipeSettings replying(std::optional<std::string> reply) {
    PipeSettings settings;
    settings.reply = std::move(reply);
    return settings;
}

PipeSettings adopting(HANDLE adopted, std::optional<std::string> reply) {
    PipeSettings settings = replying(std::move(reply));
    settings.adopted = adopted;
    return settings;
}

HANDLE createPipe(const std::wstring& name, const PipeSettings& settings) {
    if (settings.adopted != INVALID_HANDLE_VALUE) return settings.adopted;
    DWORD readMode = settings.pipeType == PIPE_TYPE_MESSAGE ? PIPE_READMODE_MESSAGE : PIPE_READMODE_BYTE;
    // Buffers far larger than any message, so that a client's write never
    // waits for this end to read.
    return CreateNamedPipeW(name.c_str(), settings.openMode | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            settings.pipeType | readMode | PIPE_WAIT, 1, 65536, 65536, settings.defaultTimeoutMs,
                            nullptr);
}

}  // namespace

PipePeer::PipePeer(const std::wstring& name, std::optional<std::string> reply)
    : PipePeer(name, replying(std::move(reply))) {}

PipePeer::PipePeer(HANDLE adopted, std::optional<std::string> reply)
    : PipePeer(std::wstring(), adopting(adopted, std::move(reply))) {}

PipePeer::PipePeer(const std::wstring& name, const PipeSettings& settings)
    : pipe_(createPipe(name, settings)), settings_(settings) {
    if (pipe_ == INVALID_HANDLE_VALUE || pipe_ == nullptr) {
        error_ = GetLastError();
        pipe_ = INVALID_HANDLE_VALUE;
        return;
    }
    if (settings_.busyForMs > 0) {
        otherClient_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (otherClient_ == INVALID_HANDLE_VALUE) {
            error_ = GetLastError();
            return;
        }
    }
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    finish_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ov_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stop_ || !finish_ || !done_ || !ov_.hEvent) {
        error_ = GetLastError();
        return;
    }
    // Listening before the constructor returns: a client that connects,
    // writes and closes before the thread runs is still served.
    if (otherClient_ == INVALID_HANDLE_VALUE) {
        firstConnect_ = ConnectNamedPipe(pipe_, &ov_);
        firstConnectError_ = GetLastError();
        listening_ = true;
    }
    thread_ = CreateThread(nullptr, 0, &PipePeer::serveThread, this, 0, nullptr);
    if (!thread_) error_ = GetLastError();
}

PipePeer::~PipePeer() {
    if (thread_) {
        SetEvent(stop_);
        join();
    }
    for (HANDLE event : {stop_, finish_, done_, ov_.hEvent}) {
        if (event) CloseHandle(event);
    }
    if (otherClient_ != INVALID_HANDLE_VALUE) CloseHandle(otherClient_);
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

std::vector<std::string> PipePeer::received() const {
    Exclusive hold(lock_);
    return traffic_.messages;
}

size_t PipePeer::connections() const {
    Exclusive hold(lock_);
    return traffic_.connections;
}

std::vector<int> PipePeer::impersonationLevels() const {
    Exclusive hold(lock_);
    return traffic_.impersonationLevels;
}

PipeTraffic PipePeer::finish() {
    if (thread_) {
        SetEvent(finish_);
        // A client that keeps its end open past this is not one that has
        // gone: stop reading from it rather than wait for ever.
        if (WaitForSingleObject(done_, 10000) != WAIT_OBJECT_0) SetEvent(stop_);
        join();
    }
    Exclusive hold(lock_);
    return traffic_;
}

void PipePeer::join() {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

DWORD WINAPI PipePeer::serveThread(void* self) {
    static_cast<PipePeer*>(self)->serve();
    return 0;
}

bool PipePeer::complete(OVERLAPPED& ov, BOOL started, DWORD* bytes, std::initializer_list<HANDLE> until) {
    // A read that did not fit completes at once with ERROR_MORE_DATA and its byte count.
    if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) return false;
    // The operation first: when it has completed too, it wins.
    std::vector<HANDLE> waits{ov.hEvent};
    waits.insert(waits.end(), until.begin(), until.end());
    if (WaitForMultipleObjects((DWORD)waits.size(), waits.data(), FALSE, INFINITE) != WAIT_OBJECT_0) {
        // The first connect was started by the constructor's thread, which
        // CancelIo would not reach.
        CancelIoEx(pipe_, &ov);
        GetOverlappedResult(pipe_, &ov, bytes, TRUE);
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    return GetOverlappedResult(pipe_, &ov, bytes, FALSE);
}

void PipePeer::serve() {
    struct Done {
        HANDLE event;
        ~Done() { SetEvent(event); }
    } signalDone{done_};
    if (otherClient_ != INVALID_HANDLE_VALUE) {
        HANDLE waits[] = {stop_, finish_};
        DWORD waited = WaitForMultipleObjects(2, waits, FALSE, settings_.busyForMs);
        CloseHandle(otherClient_);
        otherClient_ = INVALID_HANDLE_VALUE;
        if (waited != WAIT_TIMEOUT) return;  // the instance stayed taken to the end
        DisconnectNamedPipe(pipe_);
    }
    OVERLAPPED& ov = ov_;
    std::vector<char> buffer(65536);
    for (;;) {
        DWORD bytes = 0;
        BOOL connected;
        if (listening_) {
            listening_ = false;
            connected = firstConnect_;
            SetLastError(firstConnectError_);
        } else {
            ResetEvent(ov.hEvent);
            connected = ConnectNamedPipe(pipe_, &ov);
        }
        if (!connected && (GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA)) {
            connected = TRUE;  // the client came (and maybe went) before the call
        } else if (!complete(ov, connected, &bytes, {stop_, finish_})) {
            if (GetLastError() == ERROR_OPERATION_ABORTED) break;
            DisconnectNamedPipe(pipe_);
            continue;
        }
        {
            Exclusive hold(lock_);
            ++traffic_.connections;
        }
        // Messages until the client closes its end: a reply stays readable only
        // while this end is connected.
        std::string message;
        for (;;) {
            ResetEvent(ov.hEvent);
            BOOL read = ReadFile(pipe_, buffer.data(), (DWORD)buffer.size(), nullptr, &ov);
            bool done = complete(ov, read, &bytes, {stop_});
            DWORD error = done ? 0 : GetLastError();
            if (done || error == ERROR_MORE_DATA) message.append(buffer.data(), bytes);
            if (error == ERROR_MORE_DATA) continue;
            if (!done) break;
            int level = clientImpersonationLevel(pipe_);
            {
                Exclusive hold(lock_);
                traffic_.messages.push_back(message);
                traffic_.impersonationLevels.push_back(level);
            }
            message.clear();
            if (settings_.reply) {
                ResetEvent(ov.hEvent);
                const std::string& reply = *settings_.reply;
                BOOL written = WriteFile(pipe_, reply.data(), (DWORD)reply.size(), nullptr, &ov);
                if (!complete(ov, written, &bytes, {stop_}) && GetLastError() == ERROR_OPERATION_ABORTED) break;
            }
        }
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0 || WaitForSingleObject(finish_, 0) == WAIT_OBJECT_0) break;
        DisconnectNamedPipe(pipe_);
    }
}

}  // namespace qartest
