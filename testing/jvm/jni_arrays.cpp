// JNI array functions: primitive arrays with pinned elements and their
// release modes, regions, critical access, and arrays of references.
#include "state.h"

#include <cstring>

namespace qarjvm {

namespace {

// A function's name for messages, "New%Array" with the type put in.
template <char C> std::string fname(const char* pattern) {
    std::string name = pattern;
    name.replace(name.find('%'), 1, Prim<C>::name);
    return name;
}

bool inBounds(const Object* o, jsize start, jsize len) {
    return start >= 0 && len >= 0 && static_cast<size_t>(start) + static_cast<size_t>(len) <= o->length;
}

jsize JNICALL GetArrayLength(JNIEnv* env, jarray array) {
    Scope s(env, "GetArrayLength");
    Object* o = s.derefArray(array, 0, "the array");
    return o ? static_cast<jsize>(o->length) : 0;
}

template <char C>
typename Prim<C>::array JNICALL newArray(JNIEnv* env, jsize len) {
    static const std::string name = fname<C>("New%Array");
    Scope s(env, name.c_str());
    if (len < 0) {
        s.raise("java/lang/NegativeArraySizeException");
        return nullptr;
    }
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    Object* o = s.st.allocate(s.st.findClass(std::string("[") + C));
    o->length = static_cast<size_t>(len);
    o->data.assign(o->length * sizeof(typename Prim<C>::type), 0);
    return static_cast<typename Prim<C>::array>(s.local(o));
}

void* pinElements(Scope& s, PinKind kind, Object* o) {
    GuardedBuffer buffer(o->data.size());
    if (!o->data.empty()) std::memcpy(buffer.data(), o->data.data(), o->data.size());
    void* data = buffer.data();
    s.st.pins.emplace(data, Pin{kind, o, std::move(buffer), &s.env, s.env.nativeFrames.size(), s.function});
    return data;
}

// Release with JNI's modes: 0 copies back and frees, JNI_COMMIT copies back
// and keeps the buffer, JNI_ABORT frees without copying.
bool releaseElements(Scope& s, PinKind kind, Object* o, void* elems, jint mode) {
    auto it = s.st.pins.find(elems);
    if (it == s.st.pins.end()) {
        s.fail("the pointer was not handed out by the VM, or was already released");
        return false;
    }
    Pin& pin = it->second;
    if (pin.kind != kind) {
        s.fail("the pointer came from " + pin.function + ", which has another release function");
        return false;
    }
    if (o && pin.obj != o) {
        s.fail("the pointer belongs to " + describe(pin.obj) + ", not to " + describe(o));
        return false;
    }
    if (mode != 0 && mode != JNI_COMMIT && mode != JNI_ABORT) {
        s.fail("unknown mode " + std::to_string(mode));
        return false;
    }
    if (pin.obj->readOnly && mode != JNI_ABORT) {
        s.fail(describe(pin.obj) + " is only read; release it with JNI_ABORT, not mode " + std::to_string(mode));
    }
    if (mode != JNI_ABORT && !pin.obj->data.empty()) std::memcpy(pin.obj->data.data(), elems, pin.obj->data.size());
    if (mode != JNI_COMMIT) s.st.pins.erase(it);
    return true;
}

template <char C>
typename Prim<C>::type* JNICALL getElements(JNIEnv* env, typename Prim<C>::array array, jboolean* isCopy) {
    static const std::string name = fname<C>("Get%ArrayElements");
    Scope s(env, name.c_str());
    Object* o = s.derefArray(array, C, "the array");
    if (!o) return nullptr;
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    if (isCopy) *isCopy = JNI_TRUE;
    return static_cast<typename Prim<C>::type*>(pinElements(s, PinKind::ArrayElements, o));
}

template <char C>
void JNICALL releaseElementsOf(JNIEnv* env, typename Prim<C>::array array, typename Prim<C>::type* elems, jint mode) {
    static const std::string name = fname<C>("Release%ArrayElements");
    Scope s(env, name.c_str(), kExceptionSafe);
    releaseElements(s, PinKind::ArrayElements, s.derefArray(array, C, "the array"), elems, mode);
}

template <char C>
void JNICALL getRegion(JNIEnv* env, typename Prim<C>::array array, jsize start, jsize len, typename Prim<C>::type* buf) {
    static const std::string name = fname<C>("Get%ArrayRegion");
    Scope s(env, name.c_str());
    Object* o = s.derefArray(array, C, "the array");
    if (!o) return;
    if (!inBounds(o, start, len)) {
        s.raise("java/lang/ArrayIndexOutOfBoundsException");
        return;
    }
    if (!buf && len > 0) {
        s.fail("the buffer is null");
        return;
    }
    constexpr size_t size = sizeof(typename Prim<C>::type);
    if (len > 0) std::memcpy(buf, o->data.data() + start * size, len * size);
}

template <char C>
void JNICALL setRegion(JNIEnv* env, typename Prim<C>::array array, jsize start, jsize len,
                       const typename Prim<C>::type* buf) {
    static const std::string name = fname<C>("Set%ArrayRegion");
    Scope s(env, name.c_str());
    Object* o = s.derefArray(array, C, "the array");
    if (!o) return;
    if (!inBounds(o, start, len)) {
        s.raise("java/lang/ArrayIndexOutOfBoundsException");
        return;
    }
    if (!buf && len > 0) {
        s.fail("the buffer is null");
        return;
    }
    if (o->readOnly) s.fail(describe(o) + " is only read, but the native writes into it");
    constexpr size_t size = sizeof(typename Prim<C>::type);
    if (len > 0) std::memcpy(o->data.data() + start * size, buf, len * size);
}

void* JNICALL GetPrimitiveArrayCritical(JNIEnv* env, jarray array, jboolean* isCopy) {
    Scope s(env, "GetPrimitiveArrayCritical", kCriticalSafe);
    Object* o = s.derefArray(array, 0, "the array");
    if (!o) return nullptr;
    if (o->cls->elementType == 'L') {
        s.fail("not an array of a primitive type");
        return nullptr;
    }
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    if (isCopy) *isCopy = JNI_TRUE;
    ++s.env.critical;
    return pinElements(s, PinKind::ArrayCritical, o);
}

void JNICALL ReleasePrimitiveArrayCritical(JNIEnv* env, jarray array, void* carray, jint mode) {
    Scope s(env, "ReleasePrimitiveArrayCritical", kExceptionSafe | kCriticalSafe);
    auto it = s.st.pins.find(carray);
    bool ends = it != s.st.pins.end() && it->second.kind == PinKind::ArrayCritical && mode != JNI_COMMIT;
    if (releaseElements(s, PinKind::ArrayCritical, s.derefArray(array, 0, "the array"), carray, mode) && ends)
        --s.env.critical;
}

jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize len, jclass elementClass, jobject initial) {
    Scope s(env, "NewObjectArray");
    Class* element = s.derefClass(elementClass, "the element class");
    Object* init = s.deref(initial, "the initial element", true);
    if (!element) return nullptr;
    if (len < 0) {
        s.raise("java/lang/NegativeArraySizeException");
        return nullptr;
    }
    if (init && !s.st.isAssignable(init->cls, element)) {
        s.fail("the initial element " + describe(init) + " is not a " + element->name);
        return nullptr;
    }
    if (s.st.consumeFailNext("NewObjectArray")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    Object* o = s.st.allocate(s.st.arrayClassOf(element));
    o->length = static_cast<size_t>(len);
    o->elements.assign(o->length, init);
    return static_cast<jobjectArray>(s.local(o));
}

jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
    Scope s(env, "GetObjectArrayElement");
    Object* o = s.derefArray(array, 'L', "the array");
    if (!o) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= o->length) {
        s.raise("java/lang/ArrayIndexOutOfBoundsException");
        return nullptr;
    }
    return s.local(o->elements[index]);
}

void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    Scope s(env, "SetObjectArrayElement");
    Object* o = s.derefArray(array, 'L', "the array");
    Object* v = s.deref(value, "the value", true);
    if (!o) return;
    if (index < 0 || static_cast<size_t>(index) >= o->length) {
        s.raise("java/lang/ArrayIndexOutOfBoundsException");
        return;
    }
    if (v && !s.st.isAssignable(v->cls, o->cls->elementClass)) {
        s.raise("java/lang/ArrayStoreException");
        return;
    }
    o->elements[index] = v;
}

}  // namespace

#define QAR_ARRAY_FUNCTIONS(C, Name)                               \
    t.New##Name##Array = newArray<C>;                              \
    t.Get##Name##ArrayElements = getElements<C>;                   \
    t.Release##Name##ArrayElements = releaseElementsOf<C>;         \
    t.Get##Name##ArrayRegion = getRegion<C>;                       \
    t.Set##Name##ArrayRegion = setRegion<C>;

void installArrays(JNINativeInterface_& t) {
    t.GetArrayLength = GetArrayLength;
    QAR_ARRAY_FUNCTIONS('Z', Boolean)
    QAR_ARRAY_FUNCTIONS('B', Byte)
    QAR_ARRAY_FUNCTIONS('C', Char)
    QAR_ARRAY_FUNCTIONS('S', Short)
    QAR_ARRAY_FUNCTIONS('I', Int)
    QAR_ARRAY_FUNCTIONS('J', Long)
    QAR_ARRAY_FUNCTIONS('F', Float)
    QAR_ARRAY_FUNCTIONS('D', Double)
    t.GetPrimitiveArrayCritical = GetPrimitiveArrayCritical;
    t.ReleasePrimitiveArrayCritical = ReleasePrimitiveArrayCritical;
    t.NewObjectArray = NewObjectArray;
    t.GetObjectArrayElement = GetObjectArrayElement;
    t.SetObjectArrayElement = SetObjectArrayElement;
}

}  // namespace qarjvm
