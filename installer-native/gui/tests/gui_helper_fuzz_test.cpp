// createHIcon0's icon-directory parser fed seeded random and mutated icon
// files (both directory layouts, images of several depths, a PNG image).
// The stand-in VM hands the native the array's elements in a buffer that
// ends at a no-access page, so an over-read of the array faults at once.
// Every input: bytes that hold no directory whose images all lie within them
// give 0; an icon that comes back is a real one of the asked size, and is
// destroyed again through destroyHIcon0 (GDI and USER objects stay flat).
#include "fuzz.h"
#include "icon_bytes.h"
#include "wbnative_test.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using qarfuzz::Bytes;

const std::string kHelper = std::string(wbtest::kWin32) + "WinGuiHelper";

uint32_t le(const Bytes& b, size_t at, size_t width) {
    uint32_t v = 0;
    for (size_t i = width; i > 0; --i) v = v << 8 | b[at + i - 1];
    return v;
}

// Whether the bytes start with an icon directory of this entry size
// (16: an icon file's, 14: the group-icon resource's) whose every image lies
// within the bytes, after the directory.
bool directoryFits(const Bytes& b, size_t entrySize) {
    if (b.size() < 6 || le(b, 0, 2) != 0 || le(b, 2, 2) != 1) return false;
    size_t count = le(b, 4, 2);
    if (count == 0 || 6 + count * entrySize > b.size()) return false;
    for (size_t i = 0; i < count; ++i) {
        size_t entry = 6 + i * entrySize;
        uint64_t size = le(b, entry + 8, 4);
        uint64_t offset = le(b, entry + 12, entrySize == 16 ? 4 : 2);
        if (size == 0 || offset < 6 + count * entrySize || offset + size > b.size()) return false;
    }
    return true;
}

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A 1 by 1 PNG image.
const Bytes kPng = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
                    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4,
                    0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x00, 0x01, 0x00, 0x00,
                    0x05, 0x00, 0x01, 0x0D, 0x0A, 0x2D, 0xB4, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE,
                    0x42, 0x60, 0x82};

// Icon files that make an icon (the bitmaps) and one with a PNG image.
std::vector<Bytes> corpus(size_t& iconsThatWork) {
    using wbtest::iconFile;
    using wbtest::iconImage;
    std::vector<Bytes> c = {
        bytesOf(iconFile({iconImage(16, 0xFFFF0000)}, {16})),
        bytesOf(iconFile({iconImage(16, 0xFFFF0000), iconImage(32, 0xFF0000FF)}, {16, 32})),
        bytesOf(iconFile({iconImage(16, 0xFFFF0000), iconImage(32, 0xFF0000FF)}, {16, 32}, true)),
        bytesOf(iconFile({iconImage(16, 0x00112233, 1)}, {16})),
        bytesOf(iconFile({iconImage(16, 0x00112233, 4)}, {16})),
        bytesOf(iconFile({iconImage(32, 0x00445566, 8)}, {32}, true)),
        bytesOf(iconFile({iconImage(24, 0x00778899, 24)}, {24})),
    };
    iconsThatWork = c.size();
    Bytes png = bytesOf(iconFile({std::string(kPng.begin(), kPng.end())}, {1}));
    c.push_back(png);
    return c;
}

TEST(IconFuzz, CreateIconFromMutatedIconFiles) {
    Jvm vm;
    vm.defineClass(kHelper);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_createHIcon0);
    auto destroy = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_destroyHIcon0);
    qarfuzz::Campaign campaign("wbnative.createHIcon0", "fuzz");
    size_t iconsThatWork = 0;
    qarfuzz::Generator inputs(qarfuzz::seed(), corpus(iconsThatWork), 8192);
    const size_t count = qarfuzz::inputCount(3000);
    size_t made = 0;
    // The first icons make GDI's own lazily created objects (stock objects,
    // caches): count from after them, so only growth with the inputs shows.
    const size_t warmUp = std::min<size_t>(count / 10, 300);
    qarfuzz::Resources before = qarfuzz::Resources::now();
    for (size_t n = 0; n < count; ++n) {
        if (n == warmUp) before = qarfuzz::Resources::now();
        Bytes bytes = inputs.next();
        static const jint sizes[] = {0, 16, 16, 32, 32, 48};
        jint width = inputs.rng().chance(10) ? static_cast<jint>(1 + inputs.rng().below(256)) : sizes[inputs.rng().below(6)];
        jint height = inputs.rng().chance(10) ? static_cast<jint>(1 + inputs.rng().below(256)) : width;
        campaign.begin(bytes.data(), bytes.size());
        SCOPED_TRACE(testing::Message() << "input " << n << " seed " << qarfuzz::seed() << ", " << bytes.size()
                                        << " bytes, " << width << "x" << height);
        ASSERT_EQ(vm.env()->PushLocalFrame(4), 0);
        jbyteArray array = vm.newArray(std::vector<jbyte>(bytes.begin(), bytes.end()));
        vm.expectReadOnly(array);
        jlong handle = vm.call(create, vm.findClass(kHelper), array, width, height);
        vm.env()->PopLocalFrame(nullptr);
        HICON icon = reinterpret_cast<HICON>(static_cast<intptr_t>(handle));
        if (n < iconsThatWork) {
            EXPECT_NE(icon, nullptr) << "an icon file as it stands";
        }
        if (!icon) continue;
        ++made;
        EXPECT_TRUE(directoryFits(bytes, 16) || directoryFits(bytes, 14))
            << "an icon from bytes without a directory whose images lie within them";
        ICONINFO info{};
        EXPECT_TRUE(GetIconInfo(icon, &info));
        BITMAP mask{};
        if (info.hbmMask && GetObjectW(info.hbmMask, sizeof mask, &mask) && width > 0) {
            EXPECT_EQ(mask.bmWidth, width) << "the asked width";
        }
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
        vm.call(destroy, vm.findClass(kHelper), handle);
        EXPECT_FALSE(GetIconInfo(icon, &info)) << "destroyed";
        if (HasFailure()) break;
    }
    qarfuzz::Resources after = qarfuzz::Resources::now();
    size_t grown = (after.gdiObjects > before.gdiObjects ? after.gdiObjects - before.gdiObjects : 0) +
                   (after.userObjects > before.userObjects ? after.userObjects - before.userObjects : 0);
    if (grown > 4) campaign.addLeaks(grown);
    EXPECT_LE(grown, 4u) << "GDI " << before.gdiObjects << "->" << after.gdiObjects << ", USER "
                         << before.userObjects << "->" << after.userObjects;
    campaign.report("icons=" + std::to_string(made) + " gdi " + std::to_string(before.gdiObjects) + "->" +
                    std::to_string(after.gdiObjects) + " user " + std::to_string(before.userObjects) + "->" +
                    std::to_string(after.userObjects));
}

}  // namespace
