// The VM's bookkeeping, and the JNI functions for references, frames,
// exceptions and the JavaVM interface.
#include "state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qarjvm {

// ---- guarded buffers ----

namespace {
constexpr size_t kPage = 4096;
}

GuardedBuffer::GuardedBuffer(size_t bytes) {
    size_t dataPages = (bytes + kPage - 1) / kPage;
    pages_ = dataPages + 1;
    base_ = VirtualAlloc(nullptr, pages_ * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base_) {
        std::fprintf(stderr, "JNI stand-in: VirtualAlloc failed (%lu)\n", GetLastError());
        std::abort();
    }
    char* guard = static_cast<char*>(base_) + dataPages * kPage;
    DWORD old = 0;
    VirtualProtect(guard, kPage, PAGE_NOACCESS, &old);
    // The data ends where the guard page begins; element sizes divide the
    // page size, so the start stays aligned for the element type.
    data_ = guard - bytes;
    size_ = bytes;
}

GuardedBuffer::GuardedBuffer(GuardedBuffer&& other) noexcept { *this = std::move(other); }

GuardedBuffer& GuardedBuffer::operator=(GuardedBuffer&& other) noexcept {
    if (this != &other) {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
        base_ = std::exchange(other.base_, nullptr);
        pages_ = std::exchange(other.pages_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

GuardedBuffer::~GuardedBuffer() {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
}

void GuardedBuffer::makeReadOnly() {
    DWORD old = 0;
    if (pages_ > 1) VirtualProtect(base_, (pages_ - 1) * kPage, PAGE_READONLY, &old);
}

// ---- messages ----

namespace {

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

std::string describe(const Object* obj) {
    if (!obj) return "null";
    const Class* cls = obj->cls;
    if (cls->name == "java/lang/String") return "the string \"" + narrow(obj->text.substr(0, 60)) + "\"";
    if (cls->elementType) return "an array " + cls->name + " of length " + std::to_string(obj->length);
    if (obj->represents) return "the class " + obj->represents->name;
    std::string out = "an object of " + cls->name;
    if (!obj->text.empty()) out += " (\"" + narrow(obj->text) + "\")";
    return out;
}

void State::fail(const std::string& message) {
    ADD_FAILURE() << "JNI misuse: " << message;
}

namespace {

// Counts one call against the failures armed under key; true when one of
// them falls on this call.
bool countDown(std::map<std::string, std::vector<unsigned>>& failAt, const std::string& key) {
    auto it = failAt.find(key);
    if (it == failAt.end()) return false;
    std::vector<unsigned>& countdowns = it->second;
    bool fails = false;
    for (unsigned& c : countdowns) {
        if (--c > 0) continue;
        // Two failures armed for one call: the second takes the next call.
        if (fails) c = 1;
        fails = true;
    }
    countdowns.erase(std::remove(countdowns.begin(), countdowns.end(), 0u), countdowns.end());
    if (countdowns.empty()) failAt.erase(it);
    return fails;
}

}  // namespace

bool State::consumeFailNext(const std::string& function) {
    bool byName = countDown(failAt, function);
    bool byCount = countDown(failAt, kAnyAllocation);
    return byName || byCount;
}

// ---- classes and objects ----

Class* State::defineClass(const std::string& name, Class* super) {
    auto& slot = classes[name];
    if (slot) return slot.get();
    slot = std::make_unique<Class>();
    Class* cls = slot.get();
    cls->name = name;
    cls->super = super;
    auto it = classes.find("java/lang/Class");
    Object& mirror = objects.emplace_back();
    mirror.cls = it != classes.end() && it->second ? it->second.get() : cls;  // java/lang/Class itself comes first
    mirror.represents = cls;
    cls->mirror = &mirror;
    return cls;
}

Class* State::arrayClassOf(Class* element) {
    std::string name = element->elementType || element->name[0] == '['
                           ? "[" + element->name
                           : "[L" + element->name + ";";
    auto it = classes.find(name);
    if (it != classes.end()) return it->second.get();
    Class* cls = defineClass(name, classes["java/lang/Object"].get());
    cls->elementType = 'L';
    cls->elementClass = element;
    return cls;
}

Class* State::findClass(const std::string& name) {
    auto it = classes.find(name);
    if (it != classes.end()) return it->second.get();
    if (name.size() == 2 && name[0] == '[' && std::string("ZBCSIJFD").find(name[1]) != std::string::npos) {
        Class* cls = defineClass(name, classes["java/lang/Object"].get());
        cls->elementType = name[1];
        return cls;
    }
    if (name.size() > 1 && name[0] == '[') {
        std::string element = name.substr(1);
        if (element[0] == 'L' && element.back() == ';') element = element.substr(1, element.size() - 2);
        else if (element[0] != '[') return nullptr;
        Class* elementClass = findClass(element);
        return elementClass ? arrayClassOf(elementClass) : nullptr;
    }
    return nullptr;
}

bool State::isAssignable(const Class* from, const Class* to) const {
    if (!from || !to) return false;
    if (to->name == "java/lang/Object") return true;
    if (from->elementType || to->elementType) {
        if (!from->elementType || !to->elementType || from->elementType != to->elementType) return false;
        return from->elementType != 'L' || isAssignable(from->elementClass, to->elementClass);
    }
    for (const Class* c = from; c; c = c->super)
        if (c == to) return true;
    return false;
}

Method* State::findMethod(Class* cls, const std::string& name, const std::string& sig, bool isStatic) {
    for (Class* c = cls; c; c = c->super) {
        for (Method& m : c->methods)
            if (m.name == name && m.signature == sig && m.isStatic == isStatic) return &m;
        if (name == "<init>") break;  // constructors are not inherited
    }
    return nullptr;
}

Field* State::findField(Class* cls, const std::string& name, bool isStatic) {
    for (Class* c = cls; c; c = c->super)
        for (Field& f : c->fields)
            if (f.name == name && f.isStatic == isStatic) return &f;
    return nullptr;
}

Method& State::addMethod(Class* cls, const std::string& name, const std::string& sig, bool isStatic) {
    for (Method& m : cls->methods)
        if (m.name == name && m.signature == sig) return m;
    Method& m = cls->methods.emplace_back();
    m.owner = cls;
    m.name = name;
    m.signature = sig;
    m.isStatic = isStatic;
    if (!parseMethodSignature(sig, m.params, m.returns, &m.paramTypes)) {
        ADD_FAILURE() << "JNI stand-in: malformed method signature " << sig << " for " << cls->name << "." << name;
    }
    methodIds.insert(&m);
    return m;
}

Object* State::allocate(Class* cls) {
    Object* obj;
    if (freeObjects.empty()) {
        obj = &objects.emplace_back();
    } else {
        obj = freeObjects.back();
        freeObjects.pop_back();
        *obj = Object{};
    }
    obj->cls = cls;
    return obj;
}

Object* State::makeString(const std::u16string& text) {
    Object* obj = allocate(classes["java/lang/String"].get());
    obj->text = text;
    return obj;
}

Object* State::makeThrowable(const std::string& className, const std::string& message) {
    Class* cls = findClass(className);
    if (!cls) cls = findClass("java/lang/Error");
    Object* obj = allocate(cls);
    obj->text.assign(message.begin(), message.end());
    return obj;
}

// ---- references ----

jobject State::newRef(Env* env, Object* obj, RefKind kind) {
    if (!obj) return nullptr;
    Ref* recycled = nullptr;
    if (!freeRefs.empty()) {
        recycled = freeRefs.back();
        freeRefs.pop_back();
        *recycled = Ref{};
    }
    Ref& r = recycled ? *recycled : refs.emplace_back();
    r.obj = obj;
    r.kind = kind;
    if (kind == RefKind::Local) {
        r.env = env;
        r.frame = env->frames.size() - 1;
        env->frames.back().locals.push_back(&r);
    }
    refIds.insert(&r);
    return reinterpret_cast<jobject>(&r);
}

Ref* State::refOf(jobject ref) {
    return refIds.count(ref) ? reinterpret_cast<Ref*>(ref) : nullptr;
}

Env* State::currentEnv() {
    auto it = envs.find(GetCurrentThreadId());
    return it == envs.end() ? nullptr : it->second.get();
}

void popFrame(Env& env) {
    for (Ref* r : env.frames.back().locals) {
        r->live = false;
        r->frameEnded = true;
    }
    env.frames.pop_back();
}

// ---- the entry guard ----

Scope::Scope(JNIEnv* jenv, const char* fn, unsigned flags)
    : st(*reinterpret_cast<Env*>(jenv)->state), env(*reinterpret_cast<Env*>(jenv)), function(fn), lock_(st.mutex) {
    if (env.threadId != GetCurrentThreadId()) {
        fail("the JNIEnv of thread " + std::to_string(env.threadId) + " was used on thread " +
             std::to_string(GetCurrentThreadId()));
    }
    if (env.pending && !(flags & kExceptionSafe)) fail("called with an exception pending: " + describe(env.pending));
    if (env.critical > 0 && !(flags & kCriticalSafe)) fail("called inside a critical region");
}

void Scope::fail(const std::string& message) const { st.fail(std::string(function) + ": " + message); }

Object* Scope::deref(jobject ref, const char* what, bool allowNull) const {
    if (!ref) {
        if (!allowNull) fail(std::string(what) + " is null");
        return nullptr;
    }
    Ref* r = st.refOf(ref);
    if (!r) {
        fail(std::string(what) + " is not a reference");
        return nullptr;
    }
    if (!r->live) {
        fail(std::string(what) + (r->frameEnded ? " is a local reference whose frame has ended"
                                                : " is a deleted reference"));
        return nullptr;
    }
    if (r->kind == RefKind::Local && r->env != &env) {
        fail(std::string(what) + " is a local reference of another thread");
        return nullptr;
    }
    return r->obj;
}

Object* Scope::derefString(jstring ref, const char* what, bool allowNull) const {
    Object* obj = deref(ref, what, allowNull);
    if (obj && obj->cls->name != "java/lang/String") {
        fail(std::string(what) + " is not a string but " + describe(obj));
        return nullptr;
    }
    return obj;
}

Object* Scope::derefArray(jarray ref, char elementType, const char* what) const {
    Object* obj = deref(ref, what);
    if (!obj) return nullptr;
    if (!obj->cls->elementType || (elementType && obj->cls->elementType != elementType)) {
        fail(std::string(what) + " is " + describe(obj) +
             (elementType ? std::string(", not an array of ") + elementType : std::string(", not an array")));
        return nullptr;
    }
    return obj;
}

Class* Scope::derefClass(jclass ref, const char* what) const {
    Object* obj = deref(ref, what);
    if (obj && !obj->represents) {
        fail(std::string(what) + " is not a class but " + describe(obj));
        return nullptr;
    }
    return obj ? obj->represents : nullptr;
}

Method* Scope::method(jmethodID id) const {
    if (!id) {
        fail("the method ID is null");
        return nullptr;
    }
    if (!st.methodIds.count(id)) {
        fail("not a method ID");
        return nullptr;
    }
    return reinterpret_cast<Method*>(id);
}

Field* Scope::field(jfieldID id) const {
    if (!id) {
        fail("the field ID is null");
        return nullptr;
    }
    if (!st.fieldIds.count(id)) {
        fail("not a field ID");
        return nullptr;
    }
    return reinterpret_cast<Field*>(id);
}

jobject Scope::local(Object* obj) const { return st.newRef(&env, obj, RefKind::Local); }

void Scope::raise(const std::string& className, const std::string& message) const {
    env.pending = st.makeThrowable(className, message);
}

// ---- signatures ----

namespace {

// Reads one field descriptor at pos; returns its code (L for references) and
// advances pos, or 0 when malformed.
char readType(const std::string& sig, size_t& pos) {
    if (pos >= sig.size()) return 0;
    char c = sig[pos];
    if (c == '[') {
        while (pos < sig.size() && sig[pos] == '[') ++pos;
        char element = readType(sig, pos);
        return element ? 'L' : 0;
    }
    if (c == 'L') {
        size_t end = sig.find(';', pos);
        if (end == std::string::npos || end == pos + 1) return 0;
        pos = end + 1;
        return 'L';
    }
    if (std::string("ZBCSIJFD").find(c) == std::string::npos) return 0;
    ++pos;
    return c;
}

}  // namespace

bool parseMethodSignature(const std::string& sig, std::string& params, char& returns,
                          std::vector<std::string>* descriptors) {
    params.clear();
    if (descriptors) descriptors->clear();
    if (sig.empty() || sig[0] != '(') return false;
    size_t pos = 1;
    while (pos < sig.size() && sig[pos] != ')') {
        size_t start = pos;
        char c = readType(sig, pos);
        if (!c) return false;
        params += c;
        if (descriptors) descriptors->push_back(sig.substr(start, pos - start));
    }
    if (pos >= sig.size()) return false;
    ++pos;
    if (pos < sig.size() && sig[pos] == 'V') {
        returns = 'V';
        ++pos;
    } else {
        returns = readType(sig, pos);
        if (!returns) return false;
    }
    return pos == sig.size();
}

Class* classOfDescriptor(State& st, const std::string& descriptor) {
    if (descriptor.size() > 2 && descriptor[0] == 'L') return st.findClass(descriptor.substr(1, descriptor.size() - 2));
    if (descriptor.size() > 1 && descriptor[0] == '[') return st.findClass(descriptor);
    return nullptr;
}

char fieldTypeCode(const std::string& sig) {
    size_t pos = 0;
    char c = readType(sig, pos);
    return pos == sig.size() ? c : 0;
}

// ---- JNI: version, exceptions, references, frames ----

namespace {

jint JNICALL GetVersion(JNIEnv* env) {
    Scope s(env, "GetVersion");
    return JNI_VERSION_10;
}

jint JNICALL Throw(JNIEnv* env, jthrowable obj) {
    Scope s(env, "Throw");
    Object* o = s.deref(obj, "the throwable");
    if (!o) return JNI_ERR;
    if (!s.st.isAssignable(o->cls, s.st.findClass("java/lang/Throwable"))) {
        s.fail(describe(o) + " is not a Throwable");
        return JNI_ERR;
    }
    s.env.pending = o;
    return JNI_OK;
}

jint JNICALL ThrowNew(JNIEnv* env, jclass clazz, const char* msg) {
    Scope s(env, "ThrowNew");
    Class* cls = s.derefClass(clazz, "the class");
    if (!cls) return JNI_ERR;
    if (!s.st.isAssignable(cls, s.st.findClass("java/lang/Throwable"))) {
        s.fail(cls->name + " is not a Throwable");
        return JNI_ERR;
    }
    Object* o = s.st.allocate(cls);
    if (msg) {
        std::u16string text;
        if (!fromModifiedUtf8(msg, text)) s.fail("the message is not modified UTF-8");
        o->text = text;
    }
    s.env.pending = o;
    return JNI_OK;
}

jthrowable JNICALL ExceptionOccurred(JNIEnv* env) {
    Scope s(env, "ExceptionOccurred", kExceptionSafe);
    return static_cast<jthrowable>(s.local(s.env.pending));
}

void JNICALL ExceptionDescribe(JNIEnv* env) {
    Scope s(env, "ExceptionDescribe", kExceptionSafe);
    if (!s.env.pending) return;
    std::fprintf(stderr, "Exception in native code: %s\n", describe(s.env.pending).c_str());
    std::fflush(stderr);
    s.env.pending = nullptr;
}

void JNICALL ExceptionClear(JNIEnv* env) {
    Scope s(env, "ExceptionClear", kExceptionSafe);
    s.env.pending = nullptr;
}

jboolean JNICALL ExceptionCheck(JNIEnv* env) {
    Scope s(env, "ExceptionCheck", kExceptionSafe);
    return s.env.pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL FatalError(JNIEnv* env, const char* msg) {
    Scope s(env, "FatalError", kExceptionSafe | kCriticalSafe);
    std::fprintf(stderr, "JNI stand-in: FatalError: %s\n", msg ? msg : "(null)");
    std::fflush(stderr);
    std::abort();
}

jint JNICALL PushLocalFrame(JNIEnv* env, jint capacity) {
    Scope s(env, "PushLocalFrame", kExceptionSafe);
    if (capacity < 0) {
        s.fail("negative capacity");
        return JNI_ERR;
    }
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return JNI_ENOMEM;
    }
    Frame frame;
    frame.pushed = true;
    s.env.frames.push_back(frame);
    return JNI_OK;
}

jobject JNICALL PopLocalFrame(JNIEnv* env, jobject result) {
    Scope s(env, "PopLocalFrame", kExceptionSafe);
    if (!s.env.frames.back().pushed) {
        s.fail("no frame of PushLocalFrame to pop");
        return nullptr;
    }
    Object* keep = s.deref(result, "the result", true);
    popFrame(s.env);
    return s.local(keep);
}

jobject JNICALL NewGlobalRef(JNIEnv* env, jobject obj) {
    Scope s(env, "NewGlobalRef");
    Object* o = s.deref(obj, "the object", true);
    if (o && s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return s.st.newRef(&s.env, o, RefKind::Global);
}

void deleteRef(Scope& s, jobject obj, RefKind kind, const char* what) {
    if (!obj) return;  // deleting null is allowed
    Ref* r = s.st.refOf(obj);
    if (!r) {
        s.fail(std::string(what) + " is not a reference");
        return;
    }
    if (!r->live) {
        s.fail(std::string(what) + (r->frameEnded ? " is a local reference whose frame has ended"
                                                 : " was already deleted"));
        return;
    }
    if (r->kind != kind) {
        s.fail(std::string(what) + " is a reference of another kind");
        return;
    }
    if (kind == RefKind::Local && r->env != &s.env) {
        s.fail(std::string(what) + " is a local reference of another thread");
        return;
    }
    r->live = false;
}

void JNICALL DeleteGlobalRef(JNIEnv* env, jobject gref) {
    Scope s(env, "DeleteGlobalRef", kExceptionSafe);
    deleteRef(s, gref, RefKind::Global, "the global reference");
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject obj) {
    Scope s(env, "DeleteLocalRef", kExceptionSafe);
    deleteRef(s, obj, RefKind::Local, "the local reference");
}

jobject JNICALL NewWeakGlobalRef(JNIEnv* env, jobject obj) {
    Scope s(env, "NewWeakGlobalRef");
    Object* o = s.deref(obj, "the object", true);
    if (o && s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return s.st.newRef(&s.env, o, RefKind::WeakGlobal);
}

void JNICALL DeleteWeakGlobalRef(JNIEnv* env, jweak ref) {
    Scope s(env, "DeleteWeakGlobalRef", kExceptionSafe);
    deleteRef(s, ref, RefKind::WeakGlobal, "the weak global reference");
}

jboolean JNICALL IsSameObject(JNIEnv* env, jobject a, jobject b) {
    Scope s(env, "IsSameObject");
    return s.deref(a, "the first object", true) == s.deref(b, "the second object", true) ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL NewLocalRef(JNIEnv* env, jobject ref) {
    Scope s(env, "NewLocalRef");
    Object* o = s.deref(ref, "the object", true);
    if (o && s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return s.local(o);
}

jint JNICALL EnsureLocalCapacity(JNIEnv* env, jint capacity) {
    Scope s(env, "EnsureLocalCapacity");
    if (capacity < 0) {
        s.fail("negative capacity");
        return JNI_ERR;
    }
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return JNI_ENOMEM;
    }
    return JNI_OK;
}

jobjectRefType JNICALL GetObjectRefType(JNIEnv* env, jobject obj) {
    Scope s(env, "GetObjectRefType");
    Ref* r = s.st.refOf(obj);
    if (!r || !r->live) return JNIInvalidRefType;
    switch (r->kind) {
        case RefKind::Local: return JNILocalRefType;
        case RefKind::Global: return JNIGlobalRefType;
        default: return JNIWeakGlobalRefType;
    }
}

jint JNICALL GetJavaVM(JNIEnv* env, JavaVM** vm) {
    Scope s(env, "GetJavaVM");
    if (!vm) {
        s.fail("the result pointer is null");
        return JNI_ERR;
    }
    *vm = reinterpret_cast<JavaVM*>(&s.st.vm);
    return JNI_OK;
}

// ---- the JavaVM interface ----

State& stateOf(JavaVM* vm) { return *reinterpret_cast<InvokeInterface*>(vm)->state; }

Env* attach(State& st) {
    DWORD id = GetCurrentThreadId();
    auto& slot = st.envs[id];
    if (!slot) {
        slot = std::make_unique<Env>();
        slot->functions = &st.table;
        slot->state = &st;
        slot->threadId = id;
        slot->frames.emplace_back();
    }
    return slot.get();
}

jint JNICALL DestroyJavaVM(JavaVM* vm) {
    stateOf(vm).fail("DestroyJavaVM: a library must not destroy the VM");
    return JNI_ERR;
}

jint JNICALL AttachCurrentThread(JavaVM* vm, void** penv, void*) {
    State& st = stateOf(vm);
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    *penv = attach(st);
    return JNI_OK;
}

jint JNICALL DetachCurrentThread(JavaVM* vm) {
    State& st = stateOf(vm);
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    Env* env = st.currentEnv();
    if (!env) return JNI_OK;
    if (!env->nativeFrames.empty()) {
        st.fail("DetachCurrentThread: the thread is inside a native call");
        return JNI_ERR;
    }
    while (!env->frames.empty()) popFrame(*env);
    st.detached.push_back(std::move(st.envs[env->threadId]));
    st.envs.erase(env->threadId);
    return JNI_OK;
}

bool knownVersion(jint version) {
    switch (version) {
        case JNI_VERSION_1_1: case JNI_VERSION_1_2: case JNI_VERSION_1_4: case JNI_VERSION_1_6:
        case JNI_VERSION_1_8: case JNI_VERSION_9: case JNI_VERSION_10:
            return true;
        default:
            return false;
    }
}

jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version) {
    State& st = stateOf(vm);
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    *penv = nullptr;
    if (!knownVersion(version)) return JNI_EVERSION;
    Env* env = st.currentEnv();
    if (!env) return JNI_EDETACHED;
    *penv = env;
    return JNI_OK;
}

// ---- functions the stand-in does not implement ----

const char* const kFunctionNames[] = {
#include "jni_function_names.inc"
};
constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);
static_assert(sizeof(kFunctionNames) / sizeof(kFunctionNames[0]) == kSlots, "jni.h and the name list differ");

template <size_t I>
void unsupported() {
    // The caller's arguments are unknown here, so returning could corrupt its
    // stack (standard call): end the process with the function's name.
    std::fprintf(stderr, "JNI stand-in: %s is not implemented\n", kFunctionNames[I]);
    std::fflush(stderr);
    std::abort();
}

template <size_t... I>
void fillUnsupported(void** slots, std::index_sequence<I...>) {
    ((slots[I] = reinterpret_cast<void*>(&unsupported<I>)), ...);
}

}  // namespace

void popFrameOf(Env& env) { popFrame(env); }
Env* attachThread(State& st) { return attach(st); }

void installCore(JNINativeInterface_& t) {
    fillUnsupported(reinterpret_cast<void**>(&t), std::make_index_sequence<kSlots>());
    t.GetVersion = GetVersion;
    t.Throw = Throw;
    t.ThrowNew = ThrowNew;
    t.ExceptionOccurred = ExceptionOccurred;
    t.ExceptionDescribe = ExceptionDescribe;
    t.ExceptionClear = ExceptionClear;
    t.ExceptionCheck = ExceptionCheck;
    t.FatalError = FatalError;
    t.PushLocalFrame = PushLocalFrame;
    t.PopLocalFrame = PopLocalFrame;
    t.NewGlobalRef = NewGlobalRef;
    t.DeleteGlobalRef = DeleteGlobalRef;
    t.DeleteLocalRef = DeleteLocalRef;
    t.NewWeakGlobalRef = NewWeakGlobalRef;
    t.DeleteWeakGlobalRef = DeleteWeakGlobalRef;
    t.IsSameObject = IsSameObject;
    t.NewLocalRef = NewLocalRef;
    t.EnsureLocalCapacity = EnsureLocalCapacity;
    t.GetObjectRefType = GetObjectRefType;
    t.GetJavaVM = GetJavaVM;
}

void installInvoke(JNIInvokeInterface_& t) {
    t.DestroyJavaVM = DestroyJavaVM;
    t.AttachCurrentThread = AttachCurrentThread;
    t.DetachCurrentThread = DetachCurrentThread;
    t.GetEnv = GetEnv;
    t.AttachCurrentThreadAsDaemon = AttachCurrentThread;
}

}  // namespace qarjvm
