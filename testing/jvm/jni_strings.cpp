// JNI string functions: UTF-16 and modified UTF-8, with lengths, regions,
// pinned characters and critical access.
#include "state.h"

#include <cstring>

namespace qarjvm {

std::string toModifiedUtf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c != 0 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {  // U+0000 takes this two-byte form too
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {  // surrogates are encoded one by one
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool fromModifiedUtf8(const char* bytes, std::u16string& out) {
    out.clear();
    auto p = reinterpret_cast<const unsigned char*>(bytes);
    auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (*p) {
        unsigned char b = *p;
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            p += 1;
        } else if ((b & 0xE0) == 0xC0 && continuation(p[1])) {
            out += static_cast<char16_t>(((b & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if ((b & 0xF0) == 0xE0 && continuation(p[1]) && continuation(p[2])) {
            out += static_cast<char16_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            return false;  // four-byte forms and stray bytes are not modified UTF-8
        }
    }
    return true;
}

namespace {

void* pin(Scope& s, PinKind kind, Object* obj, const void* bytes, size_t size) {
    GuardedBuffer buffer(size);
    if (size) std::memcpy(buffer.data(), bytes, size);
    buffer.makeReadOnly();  // string characters are handed out as const
    void* data = buffer.data();
    s.st.pins.emplace(data, Pin{kind, obj, std::move(buffer), &s.env, s.env.nativeFrames.size(), s.function});
    return data;
}

void unpin(Scope& s, PinKind kind, Object* obj, const void* data) {
    auto it = s.st.pins.find(data);
    if (it == s.st.pins.end()) {
        s.fail("the pointer was not handed out by the VM, or was already released");
        return;
    }
    if (it->second.kind != kind) {
        s.fail("the pointer came from " + it->second.function + ", which has another release function");
        return;
    }
    if (obj && it->second.obj != obj) {
        s.fail("the pointer belongs to " + describe(it->second.obj) + ", not to " + describe(obj));
        return;
    }
    s.st.pins.erase(it);
}

jstring JNICALL NewString(JNIEnv* env, const jchar* unicode, jsize len) {
    Scope s(env, "NewString");
    if (len < 0 || (!unicode && len > 0)) {
        s.fail("invalid characters or length");
        return nullptr;
    }
    if (s.st.consumeFailNext("NewString")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    std::u16string text(reinterpret_cast<const char16_t*>(unicode), static_cast<size_t>(len));
    return static_cast<jstring>(s.local(s.st.makeString(text)));
}

jsize JNICALL GetStringLength(JNIEnv* env, jstring str) {
    Scope s(env, "GetStringLength");
    Object* o = s.derefString(str, "the string");
    return o ? static_cast<jsize>(o->text.size()) : 0;
}

const jchar* JNICALL GetStringChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    Scope s(env, "GetStringChars");
    Object* o = s.derefString(str, "the string");
    if (!o) return nullptr;
    if (s.st.consumeFailNext("GetStringChars")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    if (isCopy) *isCopy = JNI_TRUE;
    // No terminator: JNI promises none, and reading past the end hits the guard page.
    return static_cast<const jchar*>(pin(s, PinKind::StringChars, o, o->text.data(), o->text.size() * 2));
}

void JNICALL ReleaseStringChars(JNIEnv* env, jstring str, const jchar* chars) {
    Scope s(env, "ReleaseStringChars", kExceptionSafe);
    unpin(s, PinKind::StringChars, s.derefString(str, "the string"), chars);
}

jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf) {
    Scope s(env, "NewStringUTF");
    if (!utf) {
        s.fail("the bytes are null");
        return nullptr;
    }
    std::u16string text;
    if (!fromModifiedUtf8(utf, text)) {
        s.fail("the bytes are not modified UTF-8");
        return nullptr;
    }
    if (s.st.consumeFailNext("NewStringUTF")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return static_cast<jstring>(s.local(s.st.makeString(text)));
}

jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring str) {
    Scope s(env, "GetStringUTFLength");
    Object* o = s.derefString(str, "the string");
    return o ? static_cast<jsize>(toModifiedUtf8(o->text).size()) : 0;
}

const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
    Scope s(env, "GetStringUTFChars");
    Object* o = s.derefString(str, "the string");
    if (!o) return nullptr;
    if (s.st.consumeFailNext("GetStringUTFChars")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    if (isCopy) *isCopy = JNI_TRUE;
    std::string bytes = toModifiedUtf8(o->text);
    return static_cast<const char*>(pin(s, PinKind::StringUtf, o, bytes.c_str(), bytes.size() + 1));
}

void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
    Scope s(env, "ReleaseStringUTFChars", kExceptionSafe);
    unpin(s, PinKind::StringUtf, s.derefString(str, "the string"), chars);
}

bool inRange(Scope& s, const Object* o, jsize start, jsize len) {
    if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > o->text.size()) {
        s.raise("java/lang/StringIndexOutOfBoundsException");
        return false;
    }
    return true;
}

void JNICALL GetStringRegion(JNIEnv* env, jstring str, jsize start, jsize len, jchar* buf) {
    Scope s(env, "GetStringRegion");
    Object* o = s.derefString(str, "the string");
    if (!o || !inRange(s, o, start, len)) return;
    if (!buf && len > 0) {
        s.fail("the buffer is null");
        return;
    }
    std::memcpy(buf, o->text.data() + start, static_cast<size_t>(len) * 2);
}

void JNICALL GetStringUTFRegion(JNIEnv* env, jstring str, jsize start, jsize len, char* buf) {
    Scope s(env, "GetStringUTFRegion");
    Object* o = s.derefString(str, "the string");
    if (!o || !inRange(s, o, start, len)) return;
    if (!buf) {
        s.fail("the buffer is null");
        return;
    }
    std::string bytes = toModifiedUtf8(o->text.substr(static_cast<size_t>(start), static_cast<size_t>(len)));
    std::memcpy(buf, bytes.c_str(), bytes.size() + 1);
}

const jchar* JNICALL GetStringCritical(JNIEnv* env, jstring str, jboolean* isCopy) {
    Scope s(env, "GetStringCritical", kCriticalSafe);
    Object* o = s.derefString(str, "the string");
    if (!o) return nullptr;
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    if (isCopy) *isCopy = JNI_TRUE;
    ++s.env.critical;
    return static_cast<const jchar*>(pin(s, PinKind::StringCritical, o, o->text.data(), o->text.size() * 2));
}

void JNICALL ReleaseStringCritical(JNIEnv* env, jstring str, const jchar* chars) {
    Scope s(env, "ReleaseStringCritical", kExceptionSafe | kCriticalSafe);
    size_t before = s.st.pins.size();
    unpin(s, PinKind::StringCritical, s.derefString(str, "the string"), chars);
    if (s.st.pins.size() < before) --s.env.critical;
}

}  // namespace

void installStrings(JNINativeInterface_& t) {
    t.NewString = NewString;
    t.GetStringLength = GetStringLength;
    t.GetStringChars = GetStringChars;
    t.ReleaseStringChars = ReleaseStringChars;
    t.NewStringUTF = NewStringUTF;
    t.GetStringUTFLength = GetStringUTFLength;
    t.GetStringUTFChars = GetStringUTFChars;
    t.ReleaseStringUTFChars = ReleaseStringUTFChars;
    t.GetStringRegion = GetStringRegion;
    t.GetStringUTFRegion = GetStringUTFRegion;
    t.GetStringCritical = GetStringCritical;
    t.ReleaseStringCritical = ReleaseStringCritical;
}

}  // namespace qarjvm
