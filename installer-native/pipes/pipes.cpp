// The channel between two processes of the installer runtime: one named pipe
// in byte mode carrying blocks, each a signed 32-bit little-endian length
// followed by that many bytes.
#include "wbnative.h"
#include "listener_security.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// The length word of the largest block a Java peer can send: the largest
// byte array a Java VM allocates. A longer or negative word is refused.
constexpr int32_t kMaxBlock = 0x7FFFFFF7;

// A payload moves between the pipe and the Java array in pieces of at most
// this size. The reader allocates a piece only once the previous one has
// arrived, so a length word the peer never follows with data costs no large
// allocation. The writer copies each piece out of the array into one buffer,
// the first behind the length word, so that both go out in one write and the
// reader wakes once less per block.
constexpr DWORD kPiece = 1 << 20;

// Only the low 32 bits of a handle count (see handleFromJava), so -1 in
// either form is the absent handle.
bool absent(jlong value) { return static_cast<int32_t>(value) == -1; }

// Reads exactly size bytes; false when the pipe fails or ends first.
bool readAll(HANDLE pipe, char* buffer, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer + done, size - done, &got, nullptr)) return false;
        // A pipe's peer that writes 0 bytes completes the read with 0 bytes;
        // a pipe ends with a failed read. Only another kind of handle ends so.
        if (got == 0 && GetFileType(pipe) != FILE_TYPE_PIPE) return false;
        done += got;
    }
    return true;
}

// Writes exactly size bytes; false when the pipe fails or takes nothing.
bool writeAll(HANDLE pipe, const char* buffer, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD put = 0;
        if (!WriteFile(pipe, buffer + done, size - done, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

// A piece and the length word before it: the largest buffer a block needs.
constexpr size_t kBuffer = 4 + kPiece;
// Buffers up to this size come from the heap at each block: it keeps blocks
// this small for the next allocation.
constexpr size_t kHeapKeeps = 64 << 10;

// Larger buffers are all of kBuffer bytes, and one is kept per slot for the
// next block: the heap hands blocks of that size back to the system when they
// are freed, and fresh memory costs a page fault per page at each block
// (under Wine two fresh 1 MiB buffers made a 1 MiB round trip 60% slower).
// Two slots, so that a reader and a writer at work at once each find one.
// Freed when the library is unloaded.
std::atomic<char*> spares[2];
struct SparesRelease {
    ~SparesRelease() {
        for (std::atomic<char*>& spare : spares) delete[] spare.exchange(nullptr);
    }
} sparesRelease;

// A native buffer of at least the given size (at most kBuffer), not
// zero-filled: every byte is written before it is read. Null when no memory
// can be had.
class Buffer {
public:
    explicit Buffer(size_t size) {
        if (size <= kHeapKeeps) {
            data_ = new (std::nothrow) char[size];
            return;
        }
        kept_ = true;
        for (std::atomic<char*>& spare : spares) {
            if ((data_ = spare.exchange(nullptr))) return;
        }
        data_ = new (std::nothrow) char[kBuffer];
    }
    Buffer(Buffer&& other) noexcept : data_(other.data_), kept_(other.kept_) { other.data_ = nullptr; }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (kept_) {
            for (std::atomic<char*>& spare : spares) {
                char* none = nullptr;
                if (data_ && spare.compare_exchange_strong(none, data_)) return;
            }
        }
        delete[] data_;
    }
    char* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    char* data_ = nullptr;
    bool kept_ = false;  // kBuffer bytes, to be kept in a free slot
};

}  // namespace

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getInvalidHandle0(
    JNIEnv*, jclass) {
    return -1;
}

// A listening pipe of one instance, refusing clients on other machines;
// -1 on failure.
extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_createListener0(
    JNIEnv* env, jclass, jstring name) {
    std::unique_ptr<wchar_t[]> path;
    if (!jstringToWide(env, name, path) || !path) return -1;
    ListenerSecurity security;
    if (!security.attributes()) return -1;
    // Only a pipe this call creates: one that exists already may be someone
    // else's, waiting for our peer.
    HANDLE pipe = CreateNamedPipeW(path.get(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   0x10000, 0x10000, 0, security.attributes());
    if (pipe == INVALID_HANDLE_VALUE) return -1;
    // Not every system honours the flag (Wine adds the instance all the
    // same): a pipe with another instance is not ours alone.
    DWORD instances = 0;
    if (!GetNamedPipeHandleStateW(pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) || instances != 1) {
        CloseHandle(pipe);
        return -1;
    }
    return handleToJava(pipe);
}

// Blocks until a client is connected; a client that came before the call
// counts, also one that has closed its end already (what it wrote can still
// be read; retrying would never see it again). Other failures are retried
// every half second for about five minutes.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0(
    JNIEnv*, jclass, jlong handle) {
    if (absent(handle)) return JNI_FALSE;
    HANDLE pipe = handleFromJava(handle);
    for (int attempt = 0; attempt <= 600; ++attempt) {
        if (attempt > 0) Sleep(500);
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA)
            return JNI_TRUE;
    }
    std::printf("could not connect named pipe %d\n", static_cast<int>(GetLastError()));
    std::fflush(stdout);
    return JNI_FALSE;
}

// The client end of the named pipe; 0 (not -1) when it cannot be opened.
extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectClient0(
    JNIEnv* env, jclass, jstring name) {
    std::unique_ptr<wchar_t[]> path;
    if (!jstringToWide(env, name, path) || !path) return 0;
    WaitNamedPipeW(path.get(), 300000);
    int failures = 0;
    for (;;) {
        // Identification only: the server may learn who connects, never act as it.
        HANDLE pipe = CreateFileW(path.get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return handleToJava(pipe);
        if (++failures > 200) {
            DWORD error = GetLastError();
            int size = WideCharToMultiByte(CP_ACP, 0, path.get(), -1, nullptr, 0, nullptr, nullptr);
            std::vector<char> narrow(size > 0 ? size : 1);
            if (size <= 0 || !WideCharToMultiByte(CP_ACP, 0, path.get(), -1, narrow.data(), size, nullptr, nullptr))
                narrow[0] = '\0';
            std::printf("could not open file %d %s\n", static_cast<int>(error), narrow.data());
            std::fflush(stdout);
            return 0;
        }
        Sleep(500);
        WaitNamedPipeW(path.get(), 1000);
    }
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_disconnectNamedPipe0(
    JNIEnv*, jclass, jlong handle) {
    if (!absent(handle)) DisconnectNamedPipe(handleFromJava(handle));
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_closeHandle0(
    JNIEnv*, jclass, jlong handle) {
    if (!absent(handle)) CloseHandle(handleFromJava(handle));
}

// The next block's payload; null when the pipe fails or ends before the block
// is whole, or when its length word is negative or beyond any Java array.
extern "C" jbyteArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_readDataBlock0(
    JNIEnv* env, jclass, jlong handle) {
    if (absent(handle)) return nullptr;
    HANDLE pipe = handleFromJava(handle);
    unsigned char word[4];
    if (!readAll(pipe, reinterpret_cast<char*>(word), 4)) return nullptr;
    int32_t length = static_cast<int32_t>(static_cast<uint32_t>(word[0]) | static_cast<uint32_t>(word[1]) << 8 |
                                          static_cast<uint32_t>(word[2]) << 16 | static_cast<uint32_t>(word[3]) << 24);
    if (length < 0 || length > kMaxBlock) return nullptr;

    // The Java array is made once every byte is here; until then the pieces
    // wait in native memory, at most one piece beyond what has arrived.
    size_t size = static_cast<size_t>(length);
    std::vector<Buffer> pieces;
    try {
        pieces.reserve((size + kPiece - 1) / kPiece);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (size_t done = 0; done < size; done += kPiece) {
        DWORD piece = static_cast<DWORD>(size - done < kPiece ? size - done : kPiece);
        pieces.emplace_back(piece);
        if (!pieces.back() || !readAll(pipe, pieces.back().get(), piece)) return nullptr;
    }
    jbyteArray array = env->NewByteArray(length);
    if (!array) return nullptr;
    for (size_t i = 0; i < pieces.size(); ++i) {
        size_t start = i * kPiece;
        jsize piece = static_cast<jsize>(size - start < kPiece ? size - start : kPiece);
        env->SetByteArrayRegion(array, static_cast<jsize>(start), piece, reinterpret_cast<const jbyte*>(pieces[i].get()));
    }
    return array;
}

// Sends one block and returns once the peer has read all of it.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_writeDataBlock0(
    JNIEnv* env, jclass, jlong handle, jbyteArray data) {
    if (absent(handle) || !data) return JNI_FALSE;
    HANDLE pipe = handleFromJava(handle);
    jsize length = env->GetArrayLength(data);
    uint32_t n = static_cast<uint32_t>(length);
    Buffer buffer(4 + (n < kPiece ? n : kPiece));
    if (!buffer) return JNI_FALSE;
    buffer.get()[0] = static_cast<char>(n);
    buffer.get()[1] = static_cast<char>(n >> 8);
    buffer.get()[2] = static_cast<char>(n >> 16);
    buffer.get()[3] = static_cast<char>(n >> 24);
    // Each piece is copied once, from the Java array into the buffer, and
    // written from there; the array is never pinned across a blocking write.
    char* piece = buffer.get() + 4;
    DWORD head = 4;  // the length word goes out with the first piece
    for (uint32_t done = 0;;) {
        DWORD size = n - done < kPiece ? n - done : kPiece;
        if (size > 0)
            env->GetByteArrayRegion(data, static_cast<jsize>(done), static_cast<jsize>(size),
                                    reinterpret_cast<jbyte*>(piece));
        if (!writeAll(pipe, piece - head, head + size)) return JNI_FALSE;
        done += size;
        if (done >= n) break;
        head = 0;
    }
    FlushFileBuffers(pipe);
    return JNI_TRUE;
}

extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getCurrentProcessId0(
    JNIEnv*, jclass) {
    return static_cast<jint>(GetCurrentProcessId());
}

// Whether the process runs; one that exists but may not be opened by this
// user counts as running.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_isProcessAlive0(
    JNIEnv*, jclass, jint pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED ? JNI_TRUE : JNI_FALSE;
    // The process object is signalled when it ends; an exit code of 259
    // would read as STILL_ACTIVE.
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive ? JNI_TRUE : JNI_FALSE;
}
