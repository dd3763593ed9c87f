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

HWND toWindow(jlong handle) { return reinterpret_cast<HWND>(static_cast<intptr_t>(handle)); }

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

// The icon of the image that suits the size best; null when the bytes hold
// no icon directory whose images all lie within them.
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

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_getHwnd0(JNIEnv* env, jclass,
                                                                                               jobject peer,
                                                                                               jobject method) {
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

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_destroyHIcon0(JNIEnv*, jclass,
                                                                                                    jlong icon) {
    if (icon) DestroyIcon(reinterpret_cast<HICON>(static_cast<intptr_t>(icon)));
}

extern "C" jlong JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_createHIcon0(
    JNIEnv* env, jclass, jbyteArray data, jint width, jint height) {
    if (!data) return 0;
    jsize length = env->GetArrayLength(data);
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    if (!bytes) {
        env->ExceptionClear();
        return 0;
    }
    HICON icon = length > 0 ? iconFromFile(reinterpret_cast<const BYTE*>(bytes), static_cast<size_t>(length), width,
                                           height)
                            : nullptr;
    env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
    return static_cast<jlong>(reinterpret_cast<intptr_t>(icon));
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_WinGuiHelper_flashWindow0(JNIEnv*, jclass,
                                                                                                   jlong window,
                                                                                                   jboolean invert) {
    FlashWindow(toWindow(window), invert ? TRUE : FALSE);
}
