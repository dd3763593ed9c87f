// Soak: the channel natives round after round, as server and as client, with
// a plain Win32 peer on a thread of this process speaking the block format
// (4-byte length, payload); handles, memory and the VM's references stay
// flat.
#include "family_soak.h"
#include "wbnative_test.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

const char kClass[] = "Win32CommunicationBackend";

bool readExactly(HANDLE h, void* data, DWORD size) {
    auto* p = static_cast<char*>(data);
    while (size) {
        DWORD got = 0;
        if (!ReadFile(h, p, size, &got, nullptr) || got == 0) return false;
        p += got;
        size -= got;
    }
    return true;
}

bool writeBlock(HANDLE h, const std::vector<char>& payload) {
    std::vector<char> bytes(4 + payload.size());
    uint32_t length = static_cast<uint32_t>(payload.size());
    memcpy(bytes.data(), &length, 4);
    if (!payload.empty()) memcpy(bytes.data() + 4, payload.data(), payload.size());
    DWORD put = 0;
    return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
}

bool readBlock(HANDLE h, std::vector<char>& payload) {
    uint32_t length = 0;
    if (!readExactly(h, &length, 4) || length > (1u << 24)) return false;
    payload.resize(length);
    return length == 0 || readExactly(h, payload.data(), length);
}

// The peer's side of each round, on one thread for the whole soak: under
// 32-bit Wine every thread that starts and ends keeps some 15 KiB of this
// process's memory, which a thread per round would show as a leak.
class PeerThread {
public:
    PeerThread() : thread_([this] { loop(); }) {}
    ~PeerThread() {
        quit_ = true;
        SetEvent(go_);
        thread_.join();
        CloseHandle(go_);
        CloseHandle(done_);
    }
    void start(std::function<void()> job) {
        job_ = std::move(job);
        SetEvent(go_);
    }
    void wait() { WaitForSingleObject(done_, INFINITE); }

private:
    void loop() {
        for (;;) {
            WaitForSingleObject(go_, INFINITE);
            if (quit_) return;
            job_();
            job_ = nullptr;
            SetEvent(done_);
        }
    }
    HANDLE go_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::function<void()> job_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

TEST(PipesSoak, EveryNativeRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + kClass).name();
    auto listen =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_createListener0);
    auto connectClient =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectClient0);
    auto accept =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0);
    auto disconnect =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_disconnectNamedPipe0);
    auto close = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_closeHandle0);
    auto read = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_readDataBlock0);
    auto write = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_writeDataBlock0);
    auto invalid =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getInvalidHandle0);
    auto pid =
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getCurrentProcessId0);
    auto alive = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_isProcessAlive0);
    const std::wstring name = L"\\\\.\\pipe\\wbnative-soak-" + std::to_wstring(GetCurrentProcessId());
    HANDLE serverReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(serverReady, nullptr);
    PeerThread peer;

    // A thread of Wine's own comes and goes beside the pipe calls (this
    // process starts with 32 or 33 handles from run to run): one allowed.
    wbtest::SoakSize size{300};
    size.handleAllowance = 1;
    wbtest::soakFamily(vm, "pipes", size, [&](size_t i) {
        jclass c = vm.findClass(cls);
        std::vector<char> sent(i % 3 == 0 ? 0 : 1 + (i * 37) % 5000);
        for (size_t k = 0; k < sent.size(); ++k) sent[k] = static_cast<char>(k * 7 + i);
        std::vector<char> echoed;
        bool peerOk = false;
        if (i % 2 == 0) {
            // wbnative listens; the peer connects, sends a block, reads it back.
            jlong server = vm.call(listen, c, vm.newString(name));
            ASSERT_NE(server, -1);
            peer.start([&] {
                HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (h == INVALID_HANDLE_VALUE) return;
                peerOk = writeBlock(h, sent) && readBlock(h, echoed);
                CloseHandle(h);
            });
            EXPECT_TRUE(vm.call(accept, c, server));
            jbyteArray block = vm.call(read, c, server);
            EXPECT_NE(block, nullptr);
            if (block) {
                EXPECT_TRUE(vm.call(write, c, server, block));
            }
            peer.wait();
            vm.call(disconnect, c, server);
            vm.call(close, c, server);
        } else {
            // The peer listens; wbnative connects, sends a block, reads it back.
            peer.start([&] {
                HANDLE h = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                            0, nullptr);
                SetEvent(serverReady);
                if (h == INVALID_HANDLE_VALUE) return;
                std::vector<char> block;
                if ((ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) && readBlock(h, block)) {
                    echoed = block;
                    peerOk = writeBlock(h, block);
                    FlushFileBuffers(h);
                }
                DisconnectNamedPipe(h);
                CloseHandle(h);
            });
            WaitForSingleObject(serverReady, INFINITE);
            jlong client = vm.call(connectClient, c, vm.newString(name));
            EXPECT_NE(client, -1);
            if (client != -1) {
                jbyteArray out = vm.newArray(std::vector<jbyte>(sent.begin(), sent.end()));
                EXPECT_TRUE(vm.call(write, c, client, out));
                EXPECT_NE(vm.call(read, c, client), nullptr);
                vm.call(close, c, client);
            }
            peer.wait();
        }
        EXPECT_TRUE(peerOk);
        EXPECT_EQ(echoed, sent);
        EXPECT_EQ(vm.call(invalid, c), -1);
        EXPECT_TRUE(vm.call(alive, c, vm.call(pid, c)));
    });
    CloseHandle(serverReady);
}

}  // namespace
