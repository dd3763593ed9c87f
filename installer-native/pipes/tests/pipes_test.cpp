// The block channel between two processes: the natives on this side, the
// test-only channel_peer (plain Win32 calls on the wire format) on the other.
#include "console_capture.h"
#include "hostile_peer.h"
#include "pipe_peer.h"
#include "pipe_security.h"
#include "target.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using qarjvm::Jvm;

const char kClass[] = "Win32CommunicationBackend";

using Background = qartest::BackgroundProgram;

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        cls_ = vm_.defineClass(std::string(wbtest::kWin32) + kClass).name();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string n = std::string(info->test_suite_name()) + "." + info->name();
        pipe_ = L"\\\\.\\pipe\\wbnative-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::wstring(n.begin(), n.end());
    }
    jclass cls() { return vm_.findClass(cls_); }

    jlong listen() {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_createListener0),
            cls(), vm_.newString(pipe_));
    }
    jlong connectClient() {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectClient0),
            cls(), vm_.newString(pipe_));
    }
    bool accept(jlong h) {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0),
            cls(), h);
    }
    void close(jlong h) {
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_closeHandle0),
                 cls(), h);
    }
    bool write(jlong h, const std::vector<jbyte>& data) {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_writeDataBlock0),
            cls(), h, vm_.newArray(data));
    }
    // The payload read, or nullopt-like: ok is false when the native gave null.
    std::vector<jbyte> read(jlong h, bool& ok) {
        jbyteArray a = vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_readDataBlock0),
            cls(), h);
        ok = a != nullptr;
        return a ? vm_.elements<jbyte>(a) : std::vector<jbyte>{};
    }
    bool alive(jint pid) {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_isProcessAlive0),
            cls(), pid);
    }

    static std::vector<jbyte> pattern(size_t size, int seed) {
        std::vector<jbyte> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<jbyte>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
        return v;
    }

    // Echo round trips of blocks of each size, in order, over handle h.
    void roundTrips(jlong h, const std::vector<size_t>& sizes) {
        int seed = 0;
        for (size_t size : sizes) {
            std::vector<jbyte> sent = pattern(size, ++seed);
            ASSERT_TRUE(write(h, sent)) << "block " << seed << " of " << size << " bytes";
            bool ok = false;
            std::vector<jbyte> got = read(h, ok);
            ASSERT_TRUE(ok) << "block " << seed << " of " << size << " bytes";
            ASSERT_EQ(got, sent) << "block " << seed << " of " << size << " bytes";
        }
    }

    Jvm vm_;
    std::string cls_;
    std::wstring pipe_;
};

// Empty, small, larger than the pipe's 64 KiB buffers, on and across the
// 1 MiB pieces the natives move a payload in, then many in a row.
std::vector<size_t> blockSizes() {
    std::vector<size_t> sizes = {0, 1, 5, 65536, 65537, 1 << 20, (1 << 20) + 1, (5 << 19) + 3, 0};
    for (int i = 0; i < 200; ++i) sizes.push_back(static_cast<size_t>(i * 37 % 300));
    return sizes;
}

TEST_F(ChannelTest, ServerExchangesBlocksWithClientProcess) {
    jlong server = listen();
    ASSERT_NE(server, -1);
    EXPECT_EQ(server, static_cast<jlong>(static_cast<int32_t>(server))) << "sign-extended from 32 bits";
    Background peer(WBNATIVE_CHANNEL_PEER_EXE, {L"echo-client", pipe_});
    ASSERT_TRUE(accept(server));
    roundTrips(server, blockSizes());
    vm_.call(
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_disconnectNamedPipe0),
        cls(), server);
    EXPECT_EQ(peer.wait(), 0u) << "the peer saw the pipe end after whole blocks only";

    // The same pipe takes the next client after the disconnect.
    Background next(WBNATIVE_CHANNEL_PEER_EXE, {L"echo-client", pipe_});
    ASSERT_TRUE(accept(server));
    roundTrips(server, {3, 0, 70000});
    close(server);
    EXPECT_EQ(next.wait(), 0u);
}

TEST_F(ChannelTest, ClientExchangesBlocksWithServerProcess) {
    Background peer(WBNATIVE_CHANNEL_PEER_EXE, {L"echo-server", pipe_});
    jlong client = connectClient();
    ASSERT_NE(client, 0);
    ASSERT_NE(client, -1);
    roundTrips(client, blockSizes());
    close(client);
    EXPECT_EQ(peer.wait(), 0u);
}

TEST_F(ChannelTest, ClientThatConnectedBeforeTheServerWaitsIsAccepted) {
    jlong server = listen();
    ASSERT_NE(server, -1);
    std::wstring eventName = L"wbnative-test-connected-" + std::to_wstring(GetCurrentProcessId());
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_TRUE(connected);
    Background peer(WBNATIVE_CHANNEL_PEER_EXE, {L"echo-client", pipe_, eventName});
    ASSERT_EQ(WaitForSingleObject(connected, 60000), WAIT_OBJECT_0);
    CloseHandle(connected);
    ASSERT_TRUE(accept(server));
    roundTrips(server, {10});
    close(server);
    EXPECT_EQ(peer.wait(), 0u);
}

// connectNamedPipe0 on a thread of its own; it makes no JNI call, so the
// thread needs no environment.
struct Accept {
    decltype(&Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0) fn;
    jlong handle;
    volatile jboolean result;
};

DWORD WINAPI runAccept(void* p) {
    auto* a = static_cast<Accept*>(p);
    a->result = a->fn(nullptr, nullptr, a->handle);
    return 0;
}

// A client that connected, wrote a block and closed before the server
// accepted: the accept succeeds at once (ConnectNamedPipe says
// ERROR_NO_DATA, which no retry changes) and the block is still read. The
// accept runs on a thread of its own and is waited for with a bound, so a
// retrying accept fails the test instead of holding it for five minutes.
TEST_F(ChannelTest, ClientThatWroteAndClosedBeforeTheServerAcceptsIsNotLost) {
    jlong server = listen();
    ASSERT_NE(server, -1);
    HANDLE client = CreateFileW(pipe_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    const char block[] = {3, 0, 0, 0, 'a', 'b', 'c'};
    ASSERT_TRUE(qartest::writeAll(client, block, sizeof block));
    CloseHandle(client);
    auto* accept = new Accept{
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0),
        server, JNI_FALSE};
    HANDLE thread = CreateThread(nullptr, 0, runAccept, accept, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // On a timeout the thread (and its Accept) is left to the end of the process.
    ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0) << "the accept retried a client that had gone";
    CloseHandle(thread);
    EXPECT_EQ(accept->result, JNI_TRUE);
    delete accept;
    bool ok = false;
    std::vector<jbyte> got = read(server, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(got.begin(), got.end()), "abc");
    read(server, ok);
    EXPECT_FALSE(ok) << "then the pipe ends";
    close(server);
}

TEST_F(ChannelTest, SecondListenerOnTheSameNameFailsWithMinusOne) {
    jlong first = listen();
    ASSERT_NE(first, -1);
    EXPECT_EQ(listen(), -1) << "one instance only";
    close(first);
}

TEST_F(ChannelTest, PipeThatExistsAlreadyFailsWithMinusOne) {
    // Taken first by someone who allows any number of instances: the listener
    // must not become a second instance that the squatter's clients share.
    HANDLE squatter = CreateNamedPipeW(pipe_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 0x10000, 0x10000, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << GetLastError();
    jlong listener = listen();
    EXPECT_EQ(listener, -1);
    if (listener != -1) close(listener);
    CloseHandle(squatter);
    // Once the name is free again, it is the listener's.
    jlong after = listen();
    EXPECT_NE(after, -1);
    close(after);
}

// The ACEs of a DACL as "type mask sid" lines.
std::vector<std::string> aces(PACL dacl) {
    std::vector<std::string> out;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
        wchar_t* sid = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &sid);
        char mask[16];
        snprintf(mask, sizeof mask, "%08lx", static_cast<unsigned long>(ace->Mask));
        out.push_back(std::to_string(ace->Header.AceType) + " " + mask + " " + qartest::toUtf8(sid ? sid : L"?"));
        if (sid) LocalFree(sid);
    }
    return out;
}

TEST_F(ChannelTest, ListenerAdmitsOnlyItsUserLocalSystemAndAdministrators) {
    // Wine enforces no pipe DACL, so the descriptor is read back entry by entry.
    jlong listener = listen();
    ASSERT_NE(listener, -1);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(reinterpret_cast<HANDLE>(static_cast<intptr_t>(listener)), SE_KERNEL_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a null DACL admits everybody";
    std::string full = "0 001f01ff ";  // ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS
    EXPECT_EQ(aces(dacl), (std::vector<std::string>{full + qartest::toUtf8(qartest::currentUserSid()),
                                                    full + "S-1-5-18", full + "S-1-5-32-544"}));
    LocalFree(descriptor);
    close(listener);
}

TEST_F(ChannelTest, ClientLetsTheServerIdentifyItAtMost) {
    HANDLE server = CreateNamedPipeW(pipe_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1,
                                     0x10000, 0x10000, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    jlong client;
    std::vector<DWORD> flags;
    {
        qartest::CreateFileRecorder opens(wbtest::library());
        ASSERT_TRUE(opens.ok());
        client = connectClient();
        flags = opens.flagsFor(pipe_);
    }
    ASSERT_NE(client, 0);
    ASSERT_EQ(flags.size(), 1u);
    EXPECT_TRUE(qartest::identificationAtMost(flags[0])) << std::hex << flags[0];
    // A server impersonates only a client it has read from.
    char byte = 'x';
    ASSERT_TRUE(qartest::writeAll(reinterpret_cast<HANDLE>(static_cast<intptr_t>(client)), &byte, 1));
    ASSERT_TRUE(qartest::readAll(server, &byte, 1));
    // Wine's pipe server impersonates its own token at SecurityImpersonation
    // whatever the client allowed; elsewhere the server sees the level itself.
    if (qartest::pipeServersSeeClientLevel()) {
        EXPECT_LE(qartest::clientImpersonationLevel(server), SecurityIdentification);
    }
    close(client);
    CloseHandle(server);
}

TEST_F(ChannelTest, PeerDyingMidBlockMakesTheReadNull) {
    jlong server = listen();
    ASSERT_NE(server, -1);
    Background peer(WBNATIVE_CHANNEL_PEER_EXE, {L"die-mid-block", pipe_});
    ASSERT_TRUE(accept(server));
    bool ok = true;
    read(server, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(peer.wait(), 0u);
    close(server);
}

TEST_F(ChannelTest, PeerDyingWhileReadingMakesTheWriteFalse) {
    jlong server = listen();
    ASSERT_NE(server, -1);
    Background peer(WBNATIVE_CHANNEL_PEER_EXE, {L"die-reading", pipe_});
    ASSERT_TRUE(accept(server));
    EXPECT_FALSE(write(server, pattern(1 << 20, 1)));
    EXPECT_EQ(peer.wait(), 0u);
    close(server);
}

// Length words a peer may send, over an anonymous pipe this test writes raw.
class RawBlockTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        ASSERT_TRUE(CreatePipe(&reader_, &writer_, nullptr, 0));
    }
    void TearDown() override {
        if (writer_) CloseHandle(writer_);
        CloseHandle(reader_);
    }
    void send(const std::vector<unsigned char>& bytes) {
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(writer_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
        ASSERT_EQ(put, bytes.size());
    }
    void endWriting() {
        CloseHandle(writer_);
        writer_ = nullptr;
    }
    jlong reader() { return static_cast<jlong>(reinterpret_cast<intptr_t>(reader_)); }

    HANDLE reader_ = nullptr;
    HANDLE writer_ = nullptr;
};

TEST_F(RawBlockTest, RefusesLengthWordsNoPeerCouldSend) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"negative", {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}},
        {"most negative", {0, 0, 0, 0x80, 1, 2, 3}},
        {"beyond any Java array", {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE r, w;
        ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
        DWORD put = 0;
        WriteFile(w, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), &put, nullptr);
        CloseHandle(w);
        bool ok = true;
        read(static_cast<jlong>(reinterpret_cast<intptr_t>(r)), ok);
        EXPECT_FALSE(ok);
        CloseHandle(r);
    }
}

TEST_F(RawBlockTest, HugeLengthFollowedByLittleDataEndsWithoutAllocatingIt) {
    // 2 GiB - 16 announced, 10 bytes sent: no array of that size is made (the
    // stand-in VM would be asked for it) and the read ends when the pipe does.
    send({0xF0, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    endWriting();
    bool ok = true;
    read(reader(), ok);
    EXPECT_FALSE(ok);
}

TEST_F(RawBlockTest, LengthWordAndPayloadArrivingInPiecesMakeOneBlock) {
    send({5, 0});
    std::thread rest([this] {
        Sleep(200);
        send({0, 0, 'h', 'e'});
        Sleep(200);
        send({'l', 'l', 'o'});
    });
    bool ok = false;
    std::vector<jbyte> got = read(reader(), ok);
    rest.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
}

// A peer that stays connected after words no peer could send: each is
// refused at once (a reader that waited for its payload would wait for ever;
// the peer's bound turns that into a failure), and the block after it starts
// right behind it.
TEST_F(ChannelTest, RefusedLengthWordsFromAConnectedPeerLeaveTheNextBlocksIntact) {
    using wbtest::lengthWord;
    auto block = [](const std::string& payload) {
        wbtest::HostilePeer::Piece piece = lengthWord(static_cast<int32_t>(payload.size()));
        for (char c : payload) piece.push_back(static_cast<unsigned char>(c));
        return piece;
    };
    jlong server = listen();
    ASSERT_NE(server, -1);
    wbtest::HostilePeer peer(pipe_,
                             {lengthWord(-1), block("abc"), lengthWord(INT32_MIN), lengthWord(0x7FFFFFF8),
                              lengthWord(0x7FFFFFFF), block("xy"), block("")},
                             wbtest::HostilePeer::End::stayConnected);
    ASSERT_TRUE(accept(server));
    peer.start();
    const struct {
        bool ok;
        std::string payload;
    } expected[] = {{false, ""}, {true, "abc"}, {false, ""}, {false, ""}, {false, ""}, {true, "xy"}, {true, ""}};
    for (const auto& e : expected) {
        bool ok = !e.ok;
        std::vector<jbyte> got = read(server, ok);
        ASSERT_FALSE(peer.timedOut()) << "the read waited for the payload of a refused length word";
        EXPECT_EQ(ok, e.ok);
        EXPECT_EQ(std::string(got.begin(), got.end()), e.payload);
    }
    peer.release();
    bool ok = true;
    read(server, ok);
    EXPECT_FALSE(ok) << "the pipe ended";
    peer.join();
    close(server);
}

// Zero-byte writes carry no bytes: they neither end a block nor cut one,
// wherever they fall (inside a length word, inside a payload, between
// blocks). Windows completes a pending read on a byte-mode pipe with 0 bytes
// when the peer writes 0 bytes (Wine drops such writes); a pipe ends with a
// failed read, never with 0 bytes. A message-mode pipe, whose empty messages
// reach the reader as such reads under Wine too, shows it here: each write
// is one message, sized to what the reader asks for next.
TEST_F(ChannelTest, ZeroByteWritesOfThePeerAreNoEndOfTheStream) {
    using Piece = wbtest::HostilePeer::Piece;
    for (bool messages : {false, true}) {
        SCOPED_TRACE(messages ? "message-mode pipe" : "the listener");
        std::wstring name = pipe_ + (messages ? L"-messages" : L"");
        jlong server = -1;
        HANDLE own = INVALID_HANDLE_VALUE;
        if (messages) {
            own = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0x10000, 0x10000, 0,
                                   nullptr);
            ASSERT_NE(own, INVALID_HANDLE_VALUE) << GetLastError();
            server = static_cast<jlong>(reinterpret_cast<intptr_t>(own));
        } else {
            server = vm_.call(
                WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_createListener0),
                cls(), vm_.newString(name));
            ASSERT_NE(server, -1);
        }
        std::vector<Piece> pieces = {Piece{},          Piece{5, 0, 0, 0}, Piece{}, Piece{'h', 'e', 'l', 'l', 'o'},
                                     Piece{},          Piece{0, 0, 0, 0}, Piece{}, Piece{1, 0, 0, 0},
                                     Piece{},          Piece{'z'},        Piece{}};
        if (!messages) pieces = {Piece{}, Piece{5, 0}, Piece{}, Piece{0, 0, 'h', 'e'}, Piece{}, Piece{'l', 'l', 'o'},
                                 Piece{}, Piece{0, 0, 0, 0}, Piece{}, Piece{1, 0, 0, 0, 'z'}, Piece{}};
        wbtest::HostilePeer peer(name, pieces, wbtest::HostilePeer::End::stayConnected);
        ASSERT_TRUE(accept(server));
        peer.start();
        for (const std::string& expected : {std::string("hello"), std::string(), std::string("z")}) {
            bool ok = false;
            std::vector<jbyte> got = read(server, ok);
            ASSERT_FALSE(peer.timedOut());
            EXPECT_TRUE(ok) << expected;
            EXPECT_EQ(std::string(got.begin(), got.end()), expected);
        }
        peer.release();
        bool ok = true;
        read(server, ok);
        EXPECT_FALSE(ok) << "the pipe ended";
        peer.join();
        close(server);
    }
}

TEST_F(ChannelTest, AbsentHandleReturnsAtOnce) {
    // -1 as the VM passes it, and the same low 32 bits without sign extension.
    for (jlong h : {jlong{-1}, jlong{0xFFFFFFFF}}) {
        SCOPED_TRACE(h);
        EXPECT_FALSE(accept(h));
        bool ok = true;
        read(h, ok);
        EXPECT_FALSE(ok);
        EXPECT_FALSE(write(h, {1, 2, 3}));
        vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_disconnectNamedPipe0),
            cls(), h);
        close(h);
    }
    EXPECT_EQ(
        vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getInvalidHandle0),
            cls()),
        -1);
}

TEST_F(ChannelTest, ProcessIdsAndLiveness) {
    jint self = vm_.call(
        WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_getCurrentProcessId0),
        cls());
    EXPECT_EQ(static_cast<DWORD>(self), GetCurrentProcessId());
    EXPECT_TRUE(alive(self));

    Background ended(WBNATIVE_CHANNEL_PEER_EXE, {L"bad-arguments"});
    ASSERT_EQ(ended.wait(), 2u);
    EXPECT_FALSE(alive(static_cast<jint>(ended.pid()))) << "ended, its process object still held here";
    EXPECT_FALSE(alive(0x7FFFFFF0)) << "an id never used";

    // Exit code 259 is STILL_ACTIVE's value, no sign of life.
    Background exited259(L"C:\\windows\\system32\\cmd.exe", {L"/c", L"exit 259"});
    ASSERT_EQ(exited259.wait(), 259u);
    EXPECT_FALSE(alive(static_cast<jint>(exited259.pid())));
}

}  // namespace
