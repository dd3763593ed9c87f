// The test-facing side of the stand-in VM: building the VM and its built-in
// classes, defining classes, making and reading Java values, calling natives.
#include "state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace qarjvm {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

void testFail(const std::string& message) { ADD_FAILURE() << "JVM stand-in: " << message; }

// A reference held by test code (or a method body): live, and a local of
// the calling thread if local.
Object* resolve(State& st, jobject ref, const char* what) {
    if (!ref) {
        testFail(std::string(what) + " is null");
        return nullptr;
    }
    Ref* r = st.refOf(ref);
    if (!r || !r->live || (r->kind == RefKind::Local && r->env != st.currentEnv())) {
        testFail(std::string(what) + " is not a live reference of this thread");
        return nullptr;
    }
    return r->obj;
}

Env* callingEnv(State& st) {
    Env* env = st.currentEnv();
    if (!env) {
        std::fprintf(stderr, "JVM stand-in: thread %lu is not attached to the VM\n", GetCurrentThreadId());
        std::fflush(stderr);
        std::abort();
    }
    return env;
}

jobject local(State& st, Object* obj) { return st.newRef(callingEnv(st), obj, RefKind::Local); }

size_t elementSize(char code) {
    switch (code) {
        case 'Z': case 'B': return 1;
        case 'C': case 'S': return 2;
        case 'I': case 'F': return 4;
        default: return 8;
    }
}

jvalue toJvalue(State& st, const Slot& slot, char type) {
    jvalue v = slot.prim;
    if (type == 'L') v.l = local(st, slot.obj);
    return v;
}

}  // namespace

// ---- ClassDef ----

ClassDef& ClassDef::method(const std::string& name, const std::string& signature, MethodBody body) {
    Lock lock(state_->mutex);
    Method& m = state_->addMethod(class_, name, signature, false);
    m.isStatic = false;
    m.body = std::move(body);
    return *this;
}

ClassDef& ClassDef::staticMethod(const std::string& name, const std::string& signature, MethodBody body) {
    Lock lock(state_->mutex);
    Method& m = state_->addMethod(class_, name, signature, true);
    m.isStatic = true;
    m.body = std::move(body);
    return *this;
}

ClassDef& ClassDef::constructor(const std::string& signature, std::function<void(JavaCall&)> body) {
    Lock lock(state_->mutex);
    Method& m = state_->addMethod(class_, "<init>", signature, false);
    if (m.returns != 'V') testFail("a constructor's signature must return V: " + signature);
    m.constructorBody = std::move(body);
    return *this;
}

namespace {

Field& addField(State& st, Class* cls, const std::string& name, const std::string& signature, bool isStatic) {
    for (Field& f : cls->fields)
        if (f.name == name) return f;
    Field& f = cls->fields.emplace_back();
    f.owner = cls;
    f.name = name;
    f.signature = signature;
    f.isStatic = isStatic;
    f.type = fieldTypeCode(signature);
    if (!f.type) testFail("malformed field type " + signature + " for " + cls->name + "." + name);
    st.fieldIds.insert(&f);
    return f;
}

}  // namespace

ClassDef& ClassDef::field(const std::string& name, const std::string& signature) {
    Lock lock(state_->mutex);
    addField(*state_, class_, name, signature, false);
    return *this;
}

ClassDef& ClassDef::staticField(const std::string& name, const std::string& signature, jvalue initial) {
    Lock lock(state_->mutex);
    Field& f = addField(*state_, class_, name, signature, true);
    if (f.type == 'L') f.staticValue.obj = initial.l ? resolve(*state_, initial.l, "the initial value") : nullptr;
    else f.staticValue.prim = initial;
    return *this;
}

ClassDef& ClassDef::nativeMethod(const std::string& name, const std::string& signature) {
    Lock lock(state_->mutex);
    state_->addMethod(class_, name, signature, false).isNative = true;
    return *this;
}

const std::string& ClassDef::name() const { return class_->name; }

// ---- the VM ----

Jvm::Jvm() : state_(std::make_unique<State>()) {
    State& st = *state_;
    st.owner = this;
    installCore(st.table);
    installStrings(st.table);
    installArrays(st.table);
    installClasses(st.table);
    installInvoke(st.invokeTable);
    st.vm.functions = &st.invokeTable;
    st.vm.state = &st;
    attachThread(st);

    Class* object = st.defineClass("java/lang/Object", nullptr);
    Class* klass = st.defineClass("java/lang/Class", object);
    object->mirror->cls = klass;
    klass->mirror->cls = klass;
    defineClass("java/lang/Object").constructor("()V");
    defineClass("java/lang/String");
    defineClass("java/lang/ClassLoader").constructor("()V");
    defineClass("java/lang/reflect/Method");

    // Class.forName(name, initialize, loader): finds a defined class by its
    // dotted name; a test redefines it to model a class loader.
    defineClass("java/lang/Class")
        .staticMethod("forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;", [](JavaCall& c) {
            std::wstring dotted = c.vm.text(static_cast<jstring>(c.args[0].l));
            std::string slash(dotted.begin(), dotted.end());
            for (char& ch : slash)
                if (ch == '.') ch = '/';
            jclass found = c.vm.findClass(slash);
            if (!found) c.vm.throwNew("java/lang/ClassNotFoundException", std::string(dotted.begin(), dotted.end()));
            return jvObject(found);
        });

    defineClass("java/lang/Throwable")
        .constructor("()V")
        .constructor("(Ljava/lang/String;)V", [](JavaCall& c) {
            if (c.args[0].l) {
                std::wstring message = c.vm.text(static_cast<jstring>(c.args[0].l));
                Lock lock(c.vm.state()->mutex);
                Object* self = resolve(*c.vm.state(), c.self, "the new object");
                if (self) self->text.assign(message.begin(), message.end());
            }
        })
        .method("getMessage", "()Ljava/lang/String;", [](JavaCall& c) {
            State& st = *c.vm.state();
            std::u16string text;
            {
                Lock lock(st.mutex);
                Object* self = resolve(st, c.self, "the throwable");
                if (self) text = self->text;
            }
            return jvObject(text.empty() ? nullptr : c.vm.newString(text));
        });
    defineClass("java/lang/Exception", "java/lang/Throwable");
    defineClass("java/lang/Error", "java/lang/Throwable");
    defineClass("java/lang/RuntimeException", "java/lang/Exception");
    for (const char* name : {"java/lang/ClassNotFoundException"}) defineClass(name, "java/lang/Exception");
    for (const char* name : {"java/lang/NoClassDefFoundError", "java/lang/NoSuchMethodError",
                             "java/lang/NoSuchFieldError", "java/lang/OutOfMemoryError"})
        defineClass(name, "java/lang/Error");
    for (const char* name : {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/StringIndexOutOfBoundsException",
                             "java/lang/ArrayStoreException", "java/lang/NegativeArraySizeException",
                             "java/lang/IllegalArgumentException", "java/lang/NullPointerException"})
        defineClass(name, "java/lang/RuntimeException");

    // The boxes natives make and read: valueOf, the constructor, xxxValue.
    defineClass("java/lang/Number");
    defineClass("java/lang/Integer", "java/lang/Number")
        .field("value", "I")
        .constructor("(I)V", [](JavaCall& c) { c.vm.setField(c.self, "value", c.args[0]); })
        .staticMethod("valueOf", "(I)Ljava/lang/Integer;", [](JavaCall& c) { return jvObject(c.vm.boxInt(c.args[0].i)); })
        .method("intValue", "()I", [](JavaCall& c) { return c.vm.getField(c.self, "value"); });
    defineClass("java/lang/Long", "java/lang/Number")
        .field("value", "J")
        .constructor("(J)V", [](JavaCall& c) { c.vm.setField(c.self, "value", c.args[0]); })
        .staticMethod("valueOf", "(J)Ljava/lang/Long;", [](JavaCall& c) { return jvObject(c.vm.boxLong(c.args[0].j)); })
        .method("longValue", "()J", [](JavaCall& c) { return c.vm.getField(c.self, "value"); });
    defineClass("java/lang/Boolean")
        .field("value", "Z")
        .constructor("(Z)V", [](JavaCall& c) { c.vm.setField(c.self, "value", c.args[0]); })
        .staticMethod("valueOf", "(Z)Ljava/lang/Boolean;",
                      [](JavaCall& c) { return jvObject(c.vm.boxBoolean(c.args[0].z != JNI_FALSE)); })
        .method("booleanValue", "()Z", [](JavaCall& c) { return c.vm.getField(c.self, "value"); });
}

Jvm::~Jvm() {
    State& st = *state_;
    {
        Lock lock(st.mutex);
        for (const Ref& r : st.refs) {
            if (!r.live || r.kind == RefKind::Local) continue;
            testFail(std::string(r.kind == RefKind::Global ? "a global" : "a weak global") + " reference to " +
                     describe(r.obj) + " was never deleted");
        }
        for (const auto& [data, pin] : st.pins) testFail(pin.function + " of " + describe(pin.obj) + " was never released");
        for (const auto& [id, env] : st.envs)
            if (env->pending) testFail("an exception was left pending: " + describe(env->pending));
    }
    state_.reset();
}

JNIEnv* Jvm::env() {
    Lock lock(state_->mutex);
    return reinterpret_cast<JNIEnv*>(callingEnv(*state_));
}

JavaVM* Jvm::javaVm() { return reinterpret_cast<JavaVM*>(&state_->vm); }

ClassDef Jvm::defineClass(const std::string& slashName, const std::string& superName) {
    State& st = *state_;
    Lock lock(st.mutex);
    if (slashName.find('.') != std::string::npos) testFail("class names take the slash form: " + slashName);
    Class* cls = st.findClass(slashName);
    if (!cls) {
        Class* super = st.findClass(superName);
        if (!super) testFail("unknown superclass " + superName + " of " + slashName);
        cls = st.defineClass(slashName, super);
    }
    return ClassDef(&st, cls);
}

jclass Jvm::findClass(const std::string& slashName) {
    Lock lock(state_->mutex);
    Class* cls = state_->findClass(slashName);
    return cls ? static_cast<jclass>(local(*state_, cls->mirror)) : nullptr;
}

jobject Jvm::newObject(const std::string& slashName) {
    Lock lock(state_->mutex);
    Class* cls = state_->findClass(slashName);
    if (!cls) {
        testFail("newObject of the unknown class " + slashName);
        return nullptr;
    }
    return local(*state_, state_->allocate(cls));
}

jstring Jvm::newString(const std::u16string& text) {
    Lock lock(state_->mutex);
    return static_cast<jstring>(local(*state_, state_->makeString(text)));
}

jstring Jvm::newString(const std::wstring& text) {
    static_assert(sizeof(wchar_t) == 2, "UTF-16 wide characters");
    return newString(std::u16string(text.begin(), text.end()));
}

jarray Jvm::newPrimitiveArray(char code, const void* values, size_t count) {
    Lock lock(state_->mutex);
    Object* o = state_->allocate(state_->findClass(std::string("[") + code));
    o->length = count;
    o->data.resize(count * elementSize(code));
    if (count) std::memcpy(o->data.data(), values, o->data.size());
    return static_cast<jarray>(local(*state_, o));
}

void Jvm::readPrimitiveArray(jarray array, char code, void* out) {
    Lock lock(state_->mutex);
    Object* o = resolve(*state_, array, "the array");
    if (!o) return;
    if (o->cls->elementType != code) {
        testFail(describe(o) + " read as an array of " + std::string(1, code));
        return;
    }
    if (!o->data.empty()) std::memcpy(out, o->data.data(), o->data.size());
}

jobjectArray Jvm::newObjectArray(const std::string& elementClass, const std::vector<jobject>& elements) {
    State& st = *state_;
    Lock lock(st.mutex);
    Class* element = st.findClass(elementClass);
    if (!element) {
        testFail("unknown element class " + elementClass);
        return nullptr;
    }
    Object* o = st.allocate(st.arrayClassOf(element));
    o->length = elements.size();
    for (jobject e : elements) o->elements.push_back(e ? resolve(st, e, "an element") : nullptr);
    return static_cast<jobjectArray>(local(st, o));
}

namespace {

jobject box(Jvm& vm, const char* cls, jvalue value) {
    jobject obj = vm.newObject(cls);
    vm.setField(obj, "value", value);
    return obj;
}

}  // namespace

jobject Jvm::boxInt(jint value) { return box(*this, "java/lang/Integer", jv(value)); }
jobject Jvm::boxLong(jlong value) { return box(*this, "java/lang/Long", jvLong(value)); }
jobject Jvm::boxBoolean(bool value) { return box(*this, "java/lang/Boolean", jvBool(value)); }

jobject Jvm::reflectedMethod(const std::string& slashName, const std::string& name, const std::string& signature) {
    State& st = *state_;
    Lock lock(st.mutex);
    Class* cls = st.findClass(slashName);
    Method* m = cls ? st.findMethod(cls, name, signature, false) : nullptr;
    if (!m && cls) m = st.findMethod(cls, name, signature, true);
    if (!m) {
        testFail("no method " + slashName + "." + name + signature);
        return nullptr;
    }
    Object* o = st.allocate(st.findClass("java/lang/reflect/Method"));
    o->reflected = m;
    return local(st, o);
}

std::wstring Jvm::text(jstring string) {
    Lock lock(state_->mutex);
    Object* o = resolve(*state_, string, "the string");
    if (!o) return L"";
    if (o->cls->name != "java/lang/String") {
        testFail(describe(o) + " read as a string");
        return L"";
    }
    return std::wstring(o->text.begin(), o->text.end());
}

std::vector<jobject> Jvm::objectElements(jobjectArray array) {
    Lock lock(state_->mutex);
    std::vector<jobject> out;
    Object* o = resolve(*state_, array, "the array");
    if (!o) return out;
    if (o->cls->elementType != 'L') {
        testFail(describe(o) + " read as an array of references");
        return out;
    }
    for (Object* e : o->elements) out.push_back(local(*state_, e));
    return out;
}

size_t Jvm::arrayLength(jarray array) {
    Lock lock(state_->mutex);
    Object* o = resolve(*state_, array, "the array");
    return o ? o->length : 0;
}

std::string Jvm::className(jobject object) {
    Lock lock(state_->mutex);
    Object* o = resolve(*state_, object, "the object");
    return o ? o->cls->name : "";
}

jint Jvm::unboxInt(jobject boxed) { return getField(boxed, "value").i; }
jlong Jvm::unboxLong(jobject boxed) { return getField(boxed, "value").j; }
bool Jvm::unboxBoolean(jobject boxed) { return getField(boxed, "value").z != JNI_FALSE; }

jvalue Jvm::getField(jobject object, const std::string& name) {
    State& st = *state_;
    Lock lock(st.mutex);
    Object* o = resolve(st, object, "the object");
    Field* f = o ? st.findField(o->cls, name, false) : nullptr;
    if (!f) {
        if (o) testFail(describe(o) + " has no field " + name);
        return jvalue{};
    }
    return toJvalue(st, o->fields[f], f->type);
}

void Jvm::setField(jobject object, const std::string& name, jvalue value) {
    State& st = *state_;
    Lock lock(st.mutex);
    Object* o = resolve(st, object, "the object");
    Field* f = o ? st.findField(o->cls, name, false) : nullptr;
    if (!f) {
        if (o) testFail(describe(o) + " has no field " + name);
        return;
    }
    Slot& slot = o->fields[f];
    if (f->type == 'L') slot.obj = value.l ? resolve(st, value.l, "the value") : nullptr;
    else slot.prim = value;
}

jvalue Jvm::getStaticField(const std::string& slashName, const std::string& name) {
    State& st = *state_;
    Lock lock(st.mutex);
    Class* cls = st.findClass(slashName);
    Field* f = cls ? st.findField(cls, name, true) : nullptr;
    if (!f) {
        testFail("no static field " + slashName + "." + name);
        return jvalue{};
    }
    return toJvalue(st, f->staticValue, f->type);
}

std::vector<jvalue> Jvm::constructorArgs(jobject object) {
    State& st = *state_;
    Lock lock(st.mutex);
    std::vector<jvalue> out;
    Object* o = resolve(st, object, "the object");
    if (!o) return out;
    for (size_t i = 0; i < o->constructorArgs.size(); ++i)
        out.push_back(toJvalue(st, o->constructorArgs[i], o->constructorParams[i]));
    return out;
}

void Jvm::throwNew(const std::string& slashName, const std::string& message) {
    Lock lock(state_->mutex);
    callingEnv(*state_)->pending = state_->makeThrowable(slashName, message);
}

std::string Jvm::takeException() {
    Lock lock(state_->mutex);
    Env* env = callingEnv(*state_);
    if (!env->pending) return "";
    std::string name = env->pending->cls->name;
    env->pending = nullptr;
    return name;
}

std::string Jvm::exceptionMessage() {
    Lock lock(state_->mutex);
    Env* env = callingEnv(*state_);
    return env->pending ? std::string(env->pending->text.begin(), env->pending->text.end()) : "";
}

void Jvm::allowPendingExceptionOnReturn(bool allow) {
    Lock lock(state_->mutex);
    state_->allowExceptionOnReturn = allow;
}

void Jvm::expectReadOnly(jarray array) {
    Lock lock(state_->mutex);
    Object* o = resolve(*state_, array, "the array");
    if (o) o->readOnly = true;
}

void Jvm::failNext(const std::string& jniFunction, unsigned nth) {
    Lock lock(state_->mutex);
    if (nth == 0) nth = 1;
    state_->failAt[jniFunction].push_back(nth);
}

void Jvm::failNextAllocation(unsigned nth) {
    failNext(kAnyAllocation, nth);
}

void Jvm::disarmFailures() {
    Lock lock(state_->mutex);
    state_->failAt.clear();
}

size_t Jvm::unusedFailures() {
    Lock lock(state_->mutex);
    size_t n = 0;
    for (const auto& armed : state_->failAt) n += armed.second.size();
    return n;
}

std::vector<RegisteredNative> Jvm::registeredNatives(const std::string& slashName) {
    Lock lock(state_->mutex);
    Class* cls = state_->findClass(slashName);
    return cls ? cls->registered : std::vector<RegisteredNative>{};
}

size_t Jvm::liveGlobalRefs() {
    Lock lock(state_->mutex);
    size_t n = 0;
    for (const Ref& r : state_->refs)
        if (r.live && r.kind != RefKind::Local) ++n;
    return n;
}

size_t Jvm::liveLocalRefs() {
    Lock lock(state_->mutex);
    size_t n = 0;
    for (const Ref& r : state_->refs)
        if (r.live && r.kind == RefKind::Local) ++n;
    return n;
}

size_t Jvm::livePins() {
    Lock lock(state_->mutex);
    return state_->pins.size();
}

void Jvm::collectGarbage() {
    State& st = *state_;
    Lock lock(st.mutex);
    for (const auto& [id, env] : st.envs) {
        if (!env->nativeFrames.empty()) {
            testFail("collectGarbage called inside a native call");
            return;
        }
    }
    for (auto& [id, env] : st.envs)
        for (Frame& frame : env->frames)
            frame.locals.erase(std::remove_if(frame.locals.begin(), frame.locals.end(), [](const Ref* r) { return !r->live; }),
                               frame.locals.end());
    for (Ref& r : st.refs) {
        if (r.live || r.recycled) continue;
        r.recycled = true;
        st.refIds.erase(&r);
        st.freeRefs.push_back(&r);
    }
    // Reachable: what live references, classes (mirrors, static fields),
    // pins and pending exceptions name, and what those objects hold.
    std::unordered_set<const Object*> reached;
    std::vector<const Object*> work;
    auto reach = [&](const Object* o) {
        if (o && reached.insert(o).second) work.push_back(o);
    };
    for (const Ref& r : st.refs)
        if (r.live) reach(r.obj);
    for (const auto& [name, cls] : st.classes) {
        reach(cls->mirror);
        for (const Field& f : cls->fields)
            if (f.isStatic) reach(f.staticValue.obj);
    }
    for (const auto& [data, pin] : st.pins) reach(pin.obj);
    for (const auto& [id, env] : st.envs) reach(env->pending);
    for (const auto& env : st.detached) reach(env->pending);
    while (!work.empty()) {
        const Object* o = work.back();
        work.pop_back();
        for (const auto& [f, slot] : o->fields) reach(slot.obj);
        for (const Object* e : o->elements) reach(e);
        for (const Slot& a : o->constructorArgs) reach(a.obj);
    }
    for (Object& o : st.objects) {
        if (o.recycled || reached.count(&o)) continue;
        o = Object{};
        o.recycled = true;
        st.freeObjects.push_back(&o);
    }
}

// ---- calling natives ----

JNIEnv* Jvm::enterNative() {
    State& st = *state_;
    Lock lock(st.mutex);
    Env* env = callingEnv(st);
    if (env->pending) {
        testFail("a native was called with an exception pending: " + describe(env->pending));
        env->pending = nullptr;
    }
    env->frames.emplace_back();
    env->nativeFrames.push_back(env->frames.size() - 1);
    return reinterpret_cast<JNIEnv*>(env);
}

jobject Jvm::argument(jobject ref) {
    State& st = *state_;
    Lock lock(st.mutex);
    return ref ? local(st, resolve(st, ref, "an argument of the native")) : nullptr;
}

jobject Jvm::leaveNative(jobject result) {
    State& st = *state_;
    Lock lock(st.mutex);
    Env* env = callingEnv(st);
    size_t base = env->nativeFrames.back();
    if (env->frames.size() - 1 > base) {
        st.fail("the native returned with a PushLocalFrame not popped");
        while (env->frames.size() - 1 > base) popFrameOf(*env);
    }
    for (auto it = st.pins.begin(); it != st.pins.end();) {
        const Pin& pin = it->second;
        if (pin.env == env && pin.nativeDepth >= env->nativeFrames.size()) {
            st.fail(pin.function + " of " + describe(pin.obj) + " was not released before the native returned");
            it = st.pins.erase(it);
        } else {
            ++it;
        }
    }
    env->critical = 0;
    Object* out = nullptr;
    if (result) {
        Ref* r = st.refOf(result);
        if (!r || !r->live || (r->kind == RefKind::Local && r->env != env)) {
            st.fail("the native returned an invalid reference");
        } else {
            out = r->obj;
        }
    }
    if (env->pending && !st.allowExceptionOnReturn) {
        st.fail("the native returned with an exception pending: " + describe(env->pending));
        env->pending = nullptr;
    }
    popFrameOf(*env);
    env->nativeFrames.pop_back();
    return st.newRef(env, out, RefKind::Local);
}

}  // namespace qarjvm
