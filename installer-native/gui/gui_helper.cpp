// WinGuiHelper: the native handle of a Java window (through its AWT peer),
// flashing a window, and icons made from the bytes of an icon file.
#include "wbnative.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Found on the first call that succeeds, then kept for the process.
jfieldID gPeerField = nullptr;
jmethodID gHandleGetter = nullptr;

WORD word(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
DWORD dword(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24); }

// An image of an icon directory, where the bytes hold it.
struct IconImage {
    DWORD offset;
    DWORD size;
};

const size_t kDirHeader = 6;     // reserved, type (1: icon), count
const size_t kFileEntry = 16;    // ends with the image's offset (DWORD)
const size_t kGroupEntry = 14;   // ends with a WORD: here the image's offset

// The images of an icon directory at the start of the bytes, each checked to
// lie within them; empty when the directory does not fit. entrySize tells
// the layout: an icon file's, or the group-icon resource's with each id
// standing for its image's offset.
std::vector<IconImage> iconImages(const BYTE* bytes, size_t length, size_t entrySize) {
    std::vector<IconImage> images;
    if (length < kDirHeader || word(bytes) != 0 || word(bytes + 2) != 1) return images;
    size_t count = word(bytes + 4);
    if (count == 0 || (length - kDirHeader) / entrySize < count) return images;
    size_t imagesStart = kDirHeader + count * entrySize;
    for (size_t i = 0; i < count; ++i) {
        const BYTE* entry = bytes + kDirHeader + i * entrySize;
        DWORD size = dword(entry + 8);
        DWORD offset = entrySize == kFileEntry ? dword(entry + 12) : word(entry + 12);
        if (size == 0 || offset < imagesStart || offset > length || size > length - offset) {
            images.clear();
            return images;
        }
        images.push_back({offset, size});
    }
    return images;
}

// Whether an image's bytes hold what its own header announces: a PNG image
// is left to the system's decoder; a bitmap needs its header, palette,
// pixels and AND mask within the image. Counted in 64 bits: the system's own
// check counts the pixel bytes in 32 bits, so a height that makes them wrap
// around passes it and the image is read far beyond its end.
bool imageFits(const BYTE* image, DWORD size) {
    static const BYTE kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= sizeof kPng && memcmp(image, kPng, sizeof kPng) == 0) return true;
    if (size < 12) return false;
    uint64_t header = dword(image);
    uint64_t width, height, bits, colours, colourBytes, masks = 0;
    if (header == 12) {  // BITMAPCOREHEADER
        width = word(image + 4);
        height = word(image + 6) / 2;
        bits = word(image + 10);
        colours = bits <= 8 ? uint64_t{1} << bits : 0;
        colourBytes = 3;
    } else if (header >= 40 && header <= size) {  // BITMAPINFOHEADER and its successors
        int32_t w = static_cast<int32_t>(dword(image + 4));
        int32_t h = static_cast<int32_t>(dword(image + 8));
        width = w < 0 ? 0 - static_cast<uint64_t>(w) : static_cast<uint64_t>(w);
        height = (h < 0 ? 0 - static_cast<uint64_t>(h) : static_cast<uint64_t>(h)) / 2;
        bits = word(image + 14);
        DWORD compression = dword(image + 16);
        if (compression != BI_RGB && compression != BI_BITFIELDS) return false;  // no size to check
        if (compression == BI_BITFIELDS && header == 40) masks = 12;
        colours = dword(image + 32);
        if (colours == 0 && bits <= 8) colours = uint64_t{1} << bits;
        colourBytes = 4;
    } else {
        return false;
    }
    if (width == 0 || height == 0 || bits == 0) return false;
    uint64_t need = header + masks + colours * colourBytes;
    uint64_t row = (width * bits + 31) / 32 * 4;  // below 2^48
    uint64_t maskRow = (width + 31) / 32 * 4;
    // Each factor at most the size (below 2^32) before a product is taken.
    if (need > size || row > size || maskRow > size || height > size) return false;
    need += (row + maskRow) * height;
    return need <= size;
}

// The icon of the image that suits the size best; null when the bytes hold
// no icon directory whose images all lie within them, or when the image
// chosen does not hold what its header announces.
HICON iconFromFile(const BYTE* bytes, size_t length, int width, int height) {
    std::vector<IconImage> images = iconImages(bytes, length, kFileEntry);
    size_t entrySize = kFileEntry;
    if (images.empty()) {
        images = iconImages(bytes, length, kGroupEntry);
        entrySize = kGroupEntry;
    }
    if (images.empty()) return nullptr;
    // The system chooses from a group-icon directory of our own making: the
    // entries' first 12 bytes, with the image's number as its id.
    std::vector<BYTE> directory(kDirHeader + images.size() * kGroupEntry);
    memcpy(directory.data(), bytes, kDirHeader);
    for (size_t i = 0; i < images.size(); ++i) {
        BYTE* entry = directory.data() + kDirHeader + i * kGroupEntry;
        memcpy(entry, bytes + kDirHeader + i * entrySize, 12);
        WORD id = static_cast<WORD>(i + 1);
        entry[12] = static_cast<BYTE>(id & 0xFF);
        entry[13] = static_cast<BYTE>(id >> 8);
    }
    int id = LookupIconIdFromDirectoryEx(directory.data(), TRUE, width, height, LR_DEFAULTCOLOR);
    if (id < 1 || static_cast<size_t>(id) > images.size()) return nullptr;
    const IconImage& image = images[static_cast<size_t>(id) - 1];
    if (!imageFits(bytes + image.offset, image.size)) return nullptr;
    return CreateIconFromResourceEx(const_cast<BYTE*>(bytes) + image.offset, image.size, TRUE, 0x00030000, width,
                                    height, LR_DEFAULTCOLOR);
}

}  // namespace

extern "C" jobject JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getPeer0(
    JNIEnv* env, jclass, jobject window, jclass componentClass) {
    if (!window) return nullptr;
    if (!gPeerField) {
        if (!componentClass) return nullptr;
        jfieldID field = env->GetFieldID(componentClass, "peer", "Ljava/awt/peer/ComponentPeer;");
        if (!field) {
            env->ExceptionClear();
            return nullptr;
        }
        gPeerField = field;
    }
    jobject peer = env->GetObjectField(window, gPeerField);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        if (peer) env->DeleteLocalRef(peer);
        return nullptr;
    }
    return peer;
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getHwnd0(
    JNIEnv* env, jclass, jobject peer, jobject method) {
    if (!peer) return 0;
    if (!gHandleGetter) {
        if (!method) return 0;
        jmethodID getter = env->FromReflectedMethod(method);
        if (!getter) {
            env->ExceptionClear();
            return 0;
        }
        gHandleGetter = getter;
    }
    jlong handle = env->CallLongMethod(peer, gHandleGetter);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return 0;
    }
    return handle;
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_destroyHIcon0(
    JNIEnv*, jclass, jlong icon) {
    if (icon) DestroyIcon(handleFromJava<HICON>(icon));
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_createHIcon0(
    JNIEnv* env, jclass, jbyteArray data, jint width, jint height) {
    if (!data) return 0;
    PinnedArray<jbyteArray> bytes(env, data);
    if (!bytes) {
        env->ExceptionClear();
        return 0;
    }
    HICON icon = bytes.length() > 0 ? iconFromFile(reinterpret_cast<const BYTE*>(bytes.get()),
                                                   static_cast<size_t>(bytes.length()), width, height)
                                    : nullptr;
    return handleToJava(icon);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_flashWindow0(
    JNIEnv*, jclass, jlong window, jboolean invert) {
    FlashWindow(handleFromJava<HWND>(window), invert ? TRUE : FALSE);
}
