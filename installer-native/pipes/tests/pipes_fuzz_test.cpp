// readDataBlock0 against a hostile peer: seeded streams of whole blocks,
// refused length words (negative, beyond any Java array), random length
// words and bytes, cut into random pieces with zero-byte writes between
// them, and the peer either closing (sometimes in the middle of a word or a
// payload) or staying connected. Each read must give exactly what the block
// format says: the payload of a whole block, null at once for a refused
// word (the next word follows it directly), and null when the pipe ends
// before a block is whole. A read that waits for bytes that never come
// fails by the peer's bound (hostile_peer.h).
#include "fuzz.h"
#include "hostile_peer.h"
#include "wbnative_test.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using qarfuzz::Bytes;
using Piece = wbtest::HostilePeer::Piece;

const char kClass[] = "Win32CommunicationBackend";
const int32_t kMaxBlock = 0x7FFFFFF7;  // the largest Java byte array

// What one read gives: a payload, or null.
struct Read {
    bool ok;
    Bytes payload;
};

// The reads the block format promises for a stream, up to the first block
// that is not whole in it; the read after those gives null once the peer's
// end is closed.
std::vector<Read> expectedReads(const Bytes& s) {
    std::vector<Read> reads;
    size_t pos = 0;
    while (s.size() - pos >= 4) {
        int32_t n = static_cast<int32_t>(static_cast<uint32_t>(s[pos]) | static_cast<uint32_t>(s[pos + 1]) << 8 |
                                         static_cast<uint32_t>(s[pos + 2]) << 16 |
                                         static_cast<uint32_t>(s[pos + 3]) << 24);
        pos += 4;
        if (n < 0 || n > kMaxBlock) {
            reads.push_back({false, {}});
            continue;
        }
        if (s.size() - pos < static_cast<size_t>(n)) break;
        reads.push_back({true, Bytes(s.begin() + pos, s.begin() + pos + n)});
        pos += static_cast<size_t>(n);
    }
    return reads;
}

void append(Bytes& to, const Piece& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// One session's stream: whole blocks mixed with refused words and noise.
Bytes makeStream(qarfuzz::Rng& rng) {
    Bytes s;
    uint32_t items = 1 + rng.below(6);
    for (uint32_t i = 0; i < items; ++i) {
        uint32_t kind = rng.below(12);
        if (kind < 6) {  // a whole block
            uint32_t size = rng.chance(6) ? rng.below(140000) : rng.below(300);
            if (rng.chance(40)) size = (1u << 20) - 2 + rng.below(5);  // across the reader's pieces
            append(s, wbtest::lengthWord(static_cast<int32_t>(size)));
            for (uint32_t k = 0; k < size; ++k) s.push_back(rng.byte());
        } else if (kind < 9) {  // a word no peer could send
            static const int32_t refused[] = {-1, -2, INT32_MIN, INT32_MIN + 1, -65536, kMaxBlock + 1, INT32_MAX};
            int32_t n = rng.chance(2) ? refused[rng.below(sizeof refused / sizeof refused[0])]
                                      : static_cast<int32_t>(rng.next() | 0x80000000u);
            append(s, wbtest::lengthWord(n));
        } else if (kind < 11) {  // a random length word (often one never followed by its payload)
            const auto& b = qarfuzz::boundaryIntegers();
            int32_t n = rng.chance(2) ? static_cast<int32_t>(b[rng.below(static_cast<uint32_t>(b.size()))])
                                      : static_cast<int32_t>(rng.next());
            append(s, wbtest::lengthWord(n));
        } else {  // a few random bytes
            for (uint32_t k = 1 + rng.below(8); k > 0; --k) s.push_back(rng.byte());
        }
    }
    return s;
}

// The stream cut into pieces of random sizes (tiny ones cut length words),
// with zero-byte writes between some of them.
std::vector<Piece> cut(const Bytes& s, qarfuzz::Rng& rng) {
    std::vector<Piece> pieces;
    size_t pos = 0;
    while (pos < s.size()) {
        if (rng.chance(4)) pieces.emplace_back();
        size_t size = rng.chance(2) ? 1 + rng.below(7) : 1 + rng.below(100000);
        if (size > s.size() - pos) size = s.size() - pos;
        pieces.emplace_back(s.begin() + pos, s.begin() + pos + size);
        pos += size;
    }
    if (rng.chance(4)) pieces.emplace_back();
    return pieces;
}

class ChannelFuzz : public ::testing::Test {
protected:
    void SetUp() override { cls_ = vm_.defineClass(std::string(wbtest::kWin32) + kClass).name(); }
    jclass cls() { return vm_.findClass(cls_); }
    jbyteArray read(jlong h) {
        return vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_readDataBlock0),
            cls(), h);
    }

    Jvm vm_;
    std::string cls_;
};

TEST_F(ChannelFuzz, BlockReaderAgainstAHostilePeer) {
    qarfuzz::Campaign campaign("wbnative.readDataBlock0", "fuzz");
    qarfuzz::Rng rng(qarfuzz::seed());
    const size_t sessions = qarfuzz::inputCount(400);
    const std::wstring prefix = L"\\\\.\\pipe\\wbnative-fuzz-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    size_t reads = 0, refused = 0, zeroWrites = 0;
    qarfuzz::Resources before = qarfuzz::Resources::now();
    for (size_t session = 0; session < sessions; ++session) {
        Bytes stream = makeStream(rng);
        auto end = rng.chance(2) ? wbtest::HostilePeer::End::close : wbtest::HostilePeer::End::stayConnected;
        // A peer that closes may die anywhere, even inside a length word.
        if (end == wbtest::HostilePeer::End::close && rng.chance(3) && !stream.empty())
            stream.resize(rng.below(static_cast<uint32_t>(stream.size())));
        std::vector<Piece> pieces = cut(stream, rng);
        for (const Piece& p : pieces) zeroWrites += p.empty();
        std::vector<Read> expected = expectedReads(stream);
        campaign.begin(stream.data(), stream.size());
        SCOPED_TRACE(testing::Message() << "session " << session << " seed " << qarfuzz::seed() << ", "
                                        << stream.size() << " bytes in " << pieces.size() << " pieces, peer "
                                        << (end == wbtest::HostilePeer::End::close ? "closing" : "connected"));

        // The session's references die with its frame, and every 256
        // sessions the stand-in reuses what they held: it keeps every object
        // until then, gigabytes of blocks over a full campaign.
        ASSERT_EQ(vm_.env()->PushLocalFrame(16), 0);
        std::wstring name = prefix + std::to_wstring(session);
        jlong server = vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_createListener0),
            cls(), vm_.newString(name));
        ASSERT_NE(server, -1);
        wbtest::HostilePeer peer(name, pieces, end);
        ASSERT_TRUE(vm_.call(
            WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_connectNamedPipe0),
            cls(), server));
        peer.start();
        for (size_t i = 0; i < expected.size(); ++i) {
            jbyteArray got = read(server);
            ASSERT_FALSE(peer.timedOut()) << "read " << i << " waited for bytes that never came";
            ASSERT_EQ(got != nullptr, expected[i].ok) << "read " << i;
            if (got) {
                std::vector<jbyte> payload = vm_.elements<jbyte>(got);
                ASSERT_EQ(payload.size(), expected[i].payload.size()) << "read " << i;
                ASSERT_TRUE(std::equal(payload.begin(), payload.end(), expected[i].payload.begin(),
                                       [](jbyte a, uint8_t b) { return static_cast<uint8_t>(a) == b; }))
                    << "read " << i;
                vm_.env()->DeleteLocalRef(got);
            } else {
                ++refused;
            }
            ++reads;
        }
        // The rest, if any, is a block that never becomes whole: once the
        // peer's end is gone the read gives null.
        peer.release();
        jbyteArray last = read(server);
        EXPECT_EQ(last, nullptr) << "after the peer ended";
        if (last) vm_.env()->DeleteLocalRef(last);
        peer.join();
        EXPECT_TRUE(peer.connected());
        EXPECT_FALSE(peer.timedOut());
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Win32CommunicationBackend_closeHandle0),
                 cls(), server);
        vm_.env()->PopLocalFrame(nullptr);
        if (session % 256 == 255) vm_.collectGarbage();
        if (HasFatalFailure() || HasFailure()) break;
    }
    qarfuzz::Resources after = qarfuzz::Resources::now();
    if (after.handles > before.handles + 8) campaign.addLeaks(after.handles - before.handles);
    EXPECT_LE(after.handles, before.handles + 8) << "handles " << before.handles << "->" << after.handles;
    campaign.report("reads=" + std::to_string(reads) + " refused=" + std::to_string(refused) +
                    " zero-byte-writes=" + std::to_string(zeroWrites) + " handles " + std::to_string(before.handles) +
                    "->" + std::to_string(after.handles));
}

}  // namespace
