// WinGuiHelper through the JNI stand-in: a Java window's peer and native
// handle (the ids are kept process-wide, so each case needs a process of its
// own, as CTest runs them), icons from icon-file bytes, flashing a window.
#include "icon_bytes.h"
#include "wbnative_test.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using qarjvm::JavaCall;
using wbtest::iconFile;
using wbtest::iconImage;

const std::string kHelper = std::string(wbtest::kWin32) + "WinGuiHelper";
const char kWindow[] = "java/awt/Window";
const char kPeer[] = "sun/awt/windows/WWindowPeer";
const jlong kHandle = 0x10A2B;

class GuiHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        vm_.defineClass(kHelper);
        vm_.defineClass("java/awt/peer/ComponentPeer");
        vm_.defineClass("java/awt/Component").field("peer", "Ljava/awt/peer/ComponentPeer;");
        vm_.defineClass(kWindow, "java/awt/Component");
        vm_.defineClass(kPeer, "java/awt/peer/ComponentPeer")
            .field("hwnd", "J")
            .method("getHWnd", "()J", [](JavaCall& c) { return c.vm.getField(c.self, "hwnd"); })
            .method("broken", "()J", [](JavaCall& c) {
                c.vm.throwNew("java/lang/IllegalStateException", "disposed");
                return qarjvm::jvLong(0);
            });
    }
    jclass helper() { return vm_.findClass(kHelper); }
    // A window whose peer holds this handle.
    jobject window(jlong handle, jobject* peerOut = nullptr) {
        jobject peer = vm_.newObject(kPeer);
        vm_.setField(peer, "hwnd", qarjvm::jvLong(handle));
        jobject w = vm_.newObject(kWindow);
        vm_.setField(w, "peer", qarjvm::jvObject(peer));
        if (peerOut) *peerOut = peer;
        return w;
    }
    jobject getPeer(jobject w, const std::string& cls) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getPeer0), helper(), w,
                        cls.empty() ? nullptr : vm_.findClass(cls));
    }
    jlong getHwnd(jobject peer, jobject method) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getHwnd0), helper(),
                        peer, method);
    }
    bool same(jobject a, jobject b) { return vm_.env()->IsSameObject(a, b); }

    Jvm vm_;
};

TEST_F(GuiHelperTest, PeerAndHandleOfAJavaWindow) {
    jobject peer = nullptr;
    jobject w = window(kHandle, &peer);
    jobject found = getPeer(w, "java/awt/Component");
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(same(found, peer));
    EXPECT_EQ(getHwnd(found, vm_.reflectedMethod(kPeer, "getHWnd", "()J")), kHandle);

    // Found once, then kept: later calls need neither the class nor the method.
    jobject peer2 = nullptr;
    jobject w2 = window(-2, &peer2);
    EXPECT_TRUE(same(getPeer(w2, ""), peer2));
    EXPECT_EQ(getHwnd(peer2, nullptr), -2) << "a handle keeps all 64 bits";
}

TEST_F(GuiHelperTest, AFirstLookupThatFindsNothingIsTriedAgain) {
    jobject peer = nullptr;
    jobject w = window(kHandle, &peer);
    // java/lang/Object has no "peer" field: NoSuchFieldError, cleared.
    EXPECT_EQ(getPeer(w, "java/lang/Object"), nullptr);
    EXPECT_EQ(getPeer(w, ""), nullptr);
    EXPECT_TRUE(same(getPeer(w, "java/awt/Component"), peer));

    EXPECT_EQ(getHwnd(peer, nullptr), 0);
    EXPECT_EQ(getHwnd(peer, vm_.reflectedMethod(kPeer, "getHWnd", "()J")), kHandle);
}

TEST_F(GuiHelperTest, ExceptionsAndNullsGiveNullOrZero) {
    jobject peer = nullptr;
    jobject w = window(kHandle, &peer);
    EXPECT_EQ(getPeer(nullptr, "java/awt/Component"), nullptr);
    EXPECT_EQ(getHwnd(nullptr, vm_.reflectedMethod(kPeer, "getHWnd", "()J")), 0);
    // The getter throws: cleared (the stand-in fails a native returning with
    // one pending), and 0.
    EXPECT_EQ(getHwnd(peer, vm_.reflectedMethod(kPeer, "broken", "()J")), 0);
    EXPECT_EQ(vm_.takeException(), "");
    // A window without a peer yet.
    vm_.setField(w, "peer", qarjvm::jvObject(nullptr));
    EXPECT_EQ(getPeer(w, "java/awt/Component"), nullptr);
}

// ---- icons ----

class IconTest : public ::testing::Test {
protected:
    void SetUp() override { vm_.defineClass(kHelper); }
    // The icon made from the bytes, which must be released with JNI_ABORT.
    HICON create(const std::string& bytes, jint width, jint height) {
        jbyteArray array = vm_.newArray(std::vector<jbyte>(bytes.begin(), bytes.end()));
        vm_.expectReadOnly(array);
        jlong icon = vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_createHIcon0),
                              vm_.findClass(kHelper), array, width, height);
        return reinterpret_cast<HICON>(static_cast<intptr_t>(icon));
    }
    void destroy(HICON icon) {
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_destroyHIcon0),
                 vm_.findClass(kHelper), static_cast<jlong>(reinterpret_cast<intptr_t>(icon)));
    }
    Jvm vm_;
};

struct IconLook {
    LONG width = 0, height = 0;
    uint32_t centre = 0;  // the colour of the middle pixel
};

IconLook look(HICON icon) {
    IconLook out;
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return out;
    BITMAP bm{};
    if (info.hbmColor && GetObjectW(info.hbmColor, sizeof bm, &bm)) {
        out.width = bm.bmWidth;
        out.height = bm.bmHeight;
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = bm.bmWidth;
        bi.bmiHeader.biHeight = -bm.bmHeight;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        std::vector<uint32_t> pixels(static_cast<size_t>(bm.bmWidth) * static_cast<size_t>(bm.bmHeight));
        HDC dc = GetDC(nullptr);
        if (GetDIBits(dc, info.hbmColor, 0, static_cast<UINT>(bm.bmHeight), pixels.data(), &bi, DIB_RGB_COLORS))
            out.centre = pixels[pixels.size() / 2] & 0xFFFFFF;
        ReleaseDC(nullptr, dc);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return out;
}

const uint32_t kRed = 0xFFFF0000, kBlue = 0xFF0000FF;

TEST_F(IconTest, TheImageOfTheAskedSizeIsChosen) {
    const std::vector<std::string> images = {iconImage(16, kRed), iconImage(32, kBlue)};
    for (bool group : {false, true}) {
        SCOPED_TRACE(group ? "group-icon layout" : "icon file");
        std::string file = iconFile(images, {16, 32}, group);
        struct Case {
            int size;
            uint32_t colour;
        };
        for (Case c : {Case{16, kRed & 0xFFFFFF}, Case{32, kBlue & 0xFFFFFF}}) {
            HICON icon = create(file, c.size, c.size);
            ASSERT_NE(icon, nullptr) << c.size;
            IconLook l = look(icon);
            EXPECT_EQ(l.width, c.size);
            EXPECT_EQ(l.height, c.size);
            EXPECT_EQ(l.centre, c.colour) << "the image of that size, not a scaled other one";
            destroy(icon);
        }
    }
}

TEST_F(IconTest, DestroyedIconIsGone) {
    HICON icon = create(iconFile({iconImage(16, kRed)}, {16}), 16, 16);
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    destroy(icon);
    EXPECT_FALSE(GetIconInfo(icon, &info));
}

// Bytes that hold no icon directory, or one that lies about where its images
// are: no icon, and nothing read beyond the array (its buffer ends at a
// guard page).
TEST_F(IconTest, BytesWithoutAValidDirectoryGiveNoIcon) {
    const std::string image = iconImage(16, kRed);
    const std::string good = iconFile({image}, {16});
    auto patched = [&](size_t at, uint32_t value, size_t width) {
        std::string s = good;
        memcpy(&s[at], &value, width);
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"text", "this is no icon file"},
        {"header only", good.substr(0, 6)},
        {"cut in the directory", good.substr(0, 14)},
        {"cut in the image", good.substr(0, good.size() - 1)},
        {"a cursor directory", patched(2, 2, 2)},
        {"no images", patched(4, 0, 2)},
        {"five entries, one there", patched(4, 5, 2)},
        {"image beyond the end", patched(18, static_cast<uint32_t>(good.size()), 4)},
        {"image offset far out", patched(18, 0x7FFFFFF0u, 4)},
        {"image larger than the rest", patched(14, static_cast<uint32_t>(image.size() + 1), 4)},
        {"image of no bytes", patched(14, 0, 4)},
        {"image inside the directory", patched(18, 6, 4)},
        // The entry fits, the bitmap inside says 32 by 32.
        {"bitmap larger than its entry",
         iconFile({iconImage(32, kRed).substr(0, 200)}, {32})},
        // 16 by 0x4000010 pixels: its size, 64 bytes a row, is 0x100000400,
        // which cut to 32 bits looks as if it fitted.
        {"bitmap height whose size overflows 32 bits", patched(22 + 8, 0x08000020u, 4)},
        {"bitmap of a huge negative height", patched(22 + 8, 0x80000040u, 4)},
        {"bitmap of no width", patched(22 + 4, 0, 4)},
        {"bitmap with a header larger than the image", patched(22, 0x7FFFFFFFu, 4)},
        {"bitmap with a palette larger than the image", iconFile({iconImage(16, kRed, 8).substr(0, 40 + 1024 - 4)}, {16})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HICON icon = create(c.bytes, 16, 16);
        EXPECT_EQ(icon, nullptr);
        if (icon) DestroyIcon(icon);
    }
    HICON icon = create(good, 16, 16);
    EXPECT_NE(icon, nullptr) << "the unpatched file";
    if (icon) DestroyIcon(icon);
}

TEST_F(IconTest, FlashWindowOnARealWindow) {
    HWND window = CreateWindowExW(0, L"STATIC", L"flash", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    auto flash = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_flashWindow0);
    jlong handle = static_cast<jlong>(reinterpret_cast<intptr_t>(window));
    vm_.call(flash, vm_.findClass(kHelper), handle, static_cast<jboolean>(true));
    vm_.call(flash, vm_.findClass(kHelper), handle, static_cast<jboolean>(false));
    EXPECT_TRUE(IsWindow(window));
    DestroyWindow(window);
}

}  // namespace
