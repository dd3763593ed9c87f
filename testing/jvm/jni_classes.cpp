// JNI class functions: finding classes, method and field IDs, calls into
// test-supplied behaviour (instance, static, constructors), field access,
// and RegisterNatives.
#include "state.h"

#include <cstdarg>
#include <cstring>

namespace qarjvm {

namespace {

const char* typeName(char code) {
    switch (code) {
        case 'Z': return "boolean";
        case 'B': return "byte";
        case 'C': return "char";
        case 'S': return "short";
        case 'I': return "int";
        case 'J': return "long";
        case 'F': return "float";
        case 'D': return "double";
        case 'V': return "void";
        default: return "an object";
    }
}

std::string templateName(const char* pattern, char code) {
    static const char* const names[] = {"Object", "Boolean", "Byte", "Char", "Short", "Int", "Long", "Float", "Double", "Void"};
    static const char codes[] = "LZBCSIJFDV";
    std::string name = pattern;
    name.replace(name.find('%'), 1, names[std::strchr(codes, code) - codes]);
    return name;
}

// ---- classes ----

jclass JNICALL FindClass(JNIEnv* env, const char* name) {
    Scope s(env, "FindClass");
    if (!name) {
        s.fail("the name is null");
        return nullptr;
    }
    if (std::strchr(name, '.')) {
        s.fail(std::string("FindClass takes the slash form of a name, not \"") + name + "\"");
        s.raise("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    Class* cls = s.st.findClass(name);
    if (!cls) {
        s.raise("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    return static_cast<jclass>(s.local(cls->mirror));
}

jclass JNICALL GetSuperclass(JNIEnv* env, jclass sub) {
    Scope s(env, "GetSuperclass");
    Class* cls = s.derefClass(sub, "the class");
    return cls && cls->super ? static_cast<jclass>(s.local(cls->super->mirror)) : nullptr;
}

jboolean JNICALL IsAssignableFrom(JNIEnv* env, jclass sub, jclass sup) {
    Scope s(env, "IsAssignableFrom");
    Class* from = s.derefClass(sub, "the first class");
    Class* to = s.derefClass(sup, "the second class");
    return s.st.isAssignable(from, to) ? JNI_TRUE : JNI_FALSE;
}

jclass JNICALL GetObjectClass(JNIEnv* env, jobject obj) {
    Scope s(env, "GetObjectClass");
    Object* o = s.deref(obj, "the object");
    return o ? static_cast<jclass>(s.local(o->cls->mirror)) : nullptr;
}

jboolean JNICALL IsInstanceOf(JNIEnv* env, jobject obj, jclass clazz) {
    Scope s(env, "IsInstanceOf");
    Object* o = s.deref(obj, "the object", true);
    Class* cls = s.derefClass(clazz, "the class");
    if (!o) return JNI_TRUE;  // null is an instance of every class
    return s.st.isAssignable(o->cls, cls) ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL AllocObject(JNIEnv* env, jclass clazz) {
    Scope s(env, "AllocObject");
    Class* cls = s.derefClass(clazz, "the class");
    if (!cls) return nullptr;
    if (s.st.consumeFailNext(s.function)) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return s.local(s.st.allocate(cls));
}

// ---- method IDs ----

jmethodID methodId(Scope& s, jclass clazz, const char* name, const char* sig, bool isStatic) {
    Class* cls = s.derefClass(clazz, "the class");
    if (!name || !sig) {
        s.fail("the name or the signature is null");
        return nullptr;
    }
    if (!cls) return nullptr;
    std::string params;
    char returns;
    if (!parseMethodSignature(sig, params, returns)) {
        s.fail(std::string("malformed signature \"") + sig + "\"");
        s.raise("java/lang/NoSuchMethodError", name);
        return nullptr;
    }
    Method* m = s.st.findMethod(cls, name, sig, isStatic);
    if (!m) {
        s.raise("java/lang/NoSuchMethodError", cls->name + "." + name + sig);
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(m);
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    Scope s(env, "GetMethodID");
    return methodId(s, clazz, name, sig, false);
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    Scope s(env, "GetStaticMethodID");
    return methodId(s, clazz, name, sig, true);
}

jmethodID JNICALL FromReflectedMethod(JNIEnv* env, jobject method) {
    Scope s(env, "FromReflectedMethod");
    Object* o = s.deref(method, "the method object");
    if (o && !o->reflected) s.fail(describe(o) + " is not a java.lang.reflect.Method");
    return o && o->reflected ? reinterpret_cast<jmethodID>(o->reflected) : nullptr;
}

// ---- calls ----

enum class CallKind { Virtual, Static, Constructor };

// Runs a method for a Call*/NewObject function. Arguments come from the
// variadic list (ap) or an array (a). The result's reference, if any, is a
// local of the current frame.
jvalue invoke(Scope& s, CallKind kind, jobject target, jmethodID id, char expected, va_list* ap, const jvalue* a) {
    jvalue zero{};
    Method* m = s.method(id);
    Object* self = nullptr;
    Class* cls = nullptr;
    if (kind == CallKind::Virtual) {
        self = s.deref(target, "the object");
    } else {
        cls = s.derefClass(static_cast<jclass>(target), "the class");
    }
    if (!m || (kind == CallKind::Virtual ? !self : !cls)) return zero;

    switch (kind) {
        case CallKind::Virtual:
            if (m->isStatic || m->name == "<init>") {
                s.fail(m->owner->name + "." + m->name + " is not an instance method");
                return zero;
            }
            if (!s.st.isAssignable(self->cls, m->owner)) {
                s.fail(describe(self) + " is not a " + m->owner->name);
                return zero;
            }
            break;
        case CallKind::Static:
            if (!m->isStatic) {
                s.fail(m->owner->name + "." + m->name + " is not a static method");
                return zero;
            }
            if (!s.st.isAssignable(cls, m->owner)) {
                s.fail(m->owner->name + "." + m->name + " called on the class " + cls->name);
                return zero;
            }
            break;
        case CallKind::Constructor:
            if (m->name != "<init>" || m->owner != cls) {
                s.fail(m->owner->name + "." + m->name + " is not a constructor of " + cls->name);
                return zero;
            }
            break;
    }
    if (m->returns != expected) {
        s.fail(m->owner->name + "." + m->name + m->signature + " returns " + typeName(m->returns) + ", not " +
               typeName(expected));
        return zero;
    }

    std::vector<jvalue> args(m->params.size());
    std::vector<Object*> argObjects(m->params.size());
    for (size_t i = 0; i < m->params.size(); ++i) {
        jvalue& v = args[i];
        char p = m->params[i];
        if (a) {
            v = a[i];
        } else {
            switch (p) {  // C's default promotions for variadic arguments
                case 'Z': v.z = static_cast<jboolean>(va_arg(*ap, int)); break;
                case 'B': v.b = static_cast<jbyte>(va_arg(*ap, int)); break;
                case 'C': v.c = static_cast<jchar>(va_arg(*ap, int)); break;
                case 'S': v.s = static_cast<jshort>(va_arg(*ap, int)); break;
                case 'I': v.i = va_arg(*ap, jint); break;
                case 'J': v.j = va_arg(*ap, jlong); break;
                case 'F': v.f = static_cast<jfloat>(va_arg(*ap, double)); break;
                case 'D': v.d = va_arg(*ap, double); break;
                default: v.l = va_arg(*ap, jobject); break;
            }
        }
        if (p == 'L') {
            std::string what = "argument " + std::to_string(i + 1);
            Object* o = s.deref(v.l, what.c_str(), true);
            argObjects[i] = o;
            Class* want = classOfDescriptor(s.st, m->paramTypes[i]);
            if (o && want && !s.st.isAssignable(o->cls, want)) {
                s.fail(what + " of " + m->owner->name + "." + m->name + m->signature + " is " + describe(o));
                return zero;
            }
        }
    }

    Method* run = m;
    if (kind == CallKind::Virtual) {
        Method* over = s.st.findMethod(self->cls, m->name, m->signature, false);
        if (over) run = over;
    }
    if (run->isNative) {
        s.fail("calling the native " + run->owner->name + "." + run->name + " through JNI is not supported");
        return zero;
    }

    Object* created = nullptr;
    jobject selfRef = target;
    if (kind == CallKind::Constructor) {
        created = s.st.allocate(cls);
        created->constructorParams = m->params;
        for (size_t i = 0; i < args.size(); ++i) {
            Slot slot;
            if (m->params[i] == 'L') slot.obj = argObjects[i];
            else slot.prim = args[i];
            created->constructorArgs.push_back(slot);
        }
        selfRef = s.local(created);
    }

    JavaCall call{*s.st.owner, reinterpret_cast<JNIEnv*>(&s.env), selfRef, args};
    jvalue result{};
    s.unlock();
    if (kind == CallKind::Constructor) {
        if (run->constructorBody) run->constructorBody(call);
    } else if (run->body) {
        result = run->body(call);
    }
    s.relock();

    if (s.env.pending) return zero;
    if (kind == CallKind::Constructor) {
        result.l = selfRef;
    } else if (run->returns == 'L') {
        result.l = s.local(s.deref(result.l, "the result of the method's behaviour", true));
    }
    return result;
}

template <char R> struct Ret { using type = typename Prim<R>::type; static type of(jvalue v) { return Prim<R>::of(v); } };
template <> struct Ret<'L'> { using type = jobject; static type of(jvalue v) { return v.l; } };
template <> struct Ret<'V'> { using type = void; static void of(jvalue) {} };

template <char R>
typename Ret<R>::type JNICALL callMethod(JNIEnv* env, jobject obj, jmethodID id, ...) {
    static const std::string name = templateName("Call%Method", R);
    Scope s(env, name.c_str());
    va_list ap;
    va_start(ap, id);
    jvalue r = invoke(s, CallKind::Virtual, obj, id, R, &ap, nullptr);
    va_end(ap);
    return Ret<R>::of(r);
}

template <char R>
typename Ret<R>::type JNICALL callMethodV(JNIEnv* env, jobject obj, jmethodID id, va_list args) {
    static const std::string name = templateName("Call%MethodV", R);
    Scope s(env, name.c_str());
    va_list ap;
    va_copy(ap, args);
    jvalue r = invoke(s, CallKind::Virtual, obj, id, R, &ap, nullptr);
    va_end(ap);
    return Ret<R>::of(r);
}

template <char R>
typename Ret<R>::type JNICALL callMethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) {
    static const std::string name = templateName("Call%MethodA", R);
    Scope s(env, name.c_str());
    return Ret<R>::of(invoke(s, CallKind::Virtual, obj, id, R, nullptr, args));
}

template <char R>
typename Ret<R>::type JNICALL callStatic(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    static const std::string name = templateName("CallStatic%Method", R);
    Scope s(env, name.c_str());
    va_list ap;
    va_start(ap, id);
    jvalue r = invoke(s, CallKind::Static, clazz, id, R, &ap, nullptr);
    va_end(ap);
    return Ret<R>::of(r);
}

template <char R>
typename Ret<R>::type JNICALL callStaticV(JNIEnv* env, jclass clazz, jmethodID id, va_list args) {
    static const std::string name = templateName("CallStatic%MethodV", R);
    Scope s(env, name.c_str());
    va_list ap;
    va_copy(ap, args);
    jvalue r = invoke(s, CallKind::Static, clazz, id, R, &ap, nullptr);
    va_end(ap);
    return Ret<R>::of(r);
}

template <char R>
typename Ret<R>::type JNICALL callStaticA(JNIEnv* env, jclass clazz, jmethodID id, const jvalue* args) {
    static const std::string name = templateName("CallStatic%MethodA", R);
    Scope s(env, name.c_str());
    return Ret<R>::of(invoke(s, CallKind::Static, clazz, id, R, nullptr, args));
}

jobject JNICALL NewObject(JNIEnv* env, jclass clazz, jmethodID id, ...) {
    Scope s(env, "NewObject");
    if (s.st.consumeFailNext("NewObject")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    va_list ap;
    va_start(ap, id);
    jvalue r = invoke(s, CallKind::Constructor, clazz, id, 'V', &ap, nullptr);
    va_end(ap);
    return r.l;
}

jobject JNICALL NewObjectV(JNIEnv* env, jclass clazz, jmethodID id, va_list args) {
    Scope s(env, "NewObjectV");
    if (s.st.consumeFailNext("NewObject")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    va_list ap;
    va_copy(ap, args);
    jvalue r = invoke(s, CallKind::Constructor, clazz, id, 'V', &ap, nullptr);
    va_end(ap);
    return r.l;
}

jobject JNICALL NewObjectA(JNIEnv* env, jclass clazz, jmethodID id, const jvalue* args) {
    Scope s(env, "NewObjectA");
    if (s.st.consumeFailNext("NewObject")) {
        s.raise("java/lang/OutOfMemoryError");
        return nullptr;
    }
    return invoke(s, CallKind::Constructor, clazz, id, 'V', nullptr, args).l;
}

// ---- fields ----

jfieldID fieldId(Scope& s, jclass clazz, const char* name, const char* sig, bool isStatic) {
    Class* cls = s.derefClass(clazz, "the class");
    if (!name || !sig) {
        s.fail("the name or the signature is null");
        return nullptr;
    }
    if (!cls) return nullptr;
    Field* f = s.st.findField(cls, name, isStatic);
    if (!f || f->signature != sig) {
        s.raise("java/lang/NoSuchFieldError", name);
        return nullptr;
    }
    return reinterpret_cast<jfieldID>(f);
}

jfieldID JNICALL GetFieldID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    Scope s(env, "GetFieldID");
    return fieldId(s, clazz, name, sig, false);
}

jfieldID JNICALL GetStaticFieldID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
    Scope s(env, "GetStaticFieldID");
    return fieldId(s, clazz, name, sig, true);
}

// The slot a field access reads or writes, after the checks; null on misuse.
Slot* fieldSlot(Scope& s, jobject target, jfieldID id, char type, bool isStatic) {
    Field* f = s.field(id);
    Object* o = nullptr;
    Class* cls = nullptr;
    if (isStatic) cls = s.derefClass(static_cast<jclass>(target), "the class");
    else o = s.deref(target, "the object");
    if (!f || (isStatic ? !cls : !o)) return nullptr;
    if (f->isStatic != isStatic) {
        s.fail(f->owner->name + "." + f->name + (isStatic ? " is not static" : " is static"));
        return nullptr;
    }
    if (f->type != type) {
        s.fail(f->owner->name + "." + f->name + " has the type " + f->signature + ", not " + typeName(type));
        return nullptr;
    }
    if (isStatic ? !s.st.isAssignable(cls, f->owner) : !s.st.isAssignable(o->cls, f->owner)) {
        s.fail("the field " + f->owner->name + "." + f->name + " does not belong to " +
               (isStatic ? cls->name : describe(o)));
        return nullptr;
    }
    return isStatic ? &f->staticValue : &o->fields[f];
}

template <char T, bool Static>
typename Ret<T>::type JNICALL getField(JNIEnv* env, std::conditional_t<Static, jclass, jobject> target, jfieldID id) {
    static const std::string name = templateName(Static ? "GetStatic%Field" : "Get%Field", T);
    Scope s(env, name.c_str());
    Slot* slot = fieldSlot(s, target, id, T, Static);
    jvalue v{};
    if (slot) v = slot->prim;
    if constexpr (T == 'L') return s.local(slot ? slot->obj : nullptr);
    else return Ret<T>::of(v);
}

template <char T, bool Static>
void JNICALL setField(JNIEnv* env, std::conditional_t<Static, jclass, jobject> target, jfieldID id,
                      typename Ret<T>::type value) {
    static const std::string name = templateName(Static ? "SetStatic%Field" : "Set%Field", T);
    Scope s(env, name.c_str());
    Slot* slot = fieldSlot(s, target, id, T, Static);
    if (!slot) return;
    if constexpr (T == 'L') {
        Object* o = s.deref(value, "the value", true);
        Field* f = reinterpret_cast<Field*>(id);
        Class* want = classOfDescriptor(s.st, f->signature);
        if (o && want && !s.st.isAssignable(o->cls, want)) {
            s.fail("the field " + f->owner->name + "." + f->name + " cannot hold " + describe(o));
            return;
        }
        slot->obj = o;
    } else {
        Prim<T>::of(slot->prim) = value;
    }
}

// ---- natives ----

jint JNICALL RegisterNatives(JNIEnv* env, jclass clazz, const JNINativeMethod* methods, jint count) {
    Scope s(env, "RegisterNatives");
    Class* cls = s.derefClass(clazz, "the class");
    if (!cls) return JNI_ERR;
    if (count < 0 || (!methods && count > 0)) {
        s.fail("invalid table or row count");
        return JNI_ERR;
    }
    for (jint i = 0; i < count; ++i) {
        const JNINativeMethod& row = methods[i];
        if (!row.name || !row.signature) {
            s.fail("row " + std::to_string(i) + " has no name or signature");
            return JNI_ERR;
        }
        // Like HotSpot: rows before a failing one stay bound.
        Method* m = nullptr;
        for (Method& candidate : cls->methods)
            if (candidate.isNative && candidate.name == row.name && candidate.signature == row.signature) m = &candidate;
        if (!m || !row.fnPtr) {
            s.raise("java/lang/NoSuchMethodError", cls->name + "." + row.name + row.signature);
            return JNI_ERR;
        }
        RegisteredNative entry{row.name, row.signature, row.fnPtr};
        bool replaced = false;
        for (RegisteredNative& r : cls->registered) {
            if (r.name == entry.name && r.signature == entry.signature) {
                r = entry;
                replaced = true;
            }
        }
        if (!replaced) cls->registered.push_back(entry);
    }
    return JNI_OK;
}

jint JNICALL UnregisterNatives(JNIEnv* env, jclass clazz) {
    Scope s(env, "UnregisterNatives");
    Class* cls = s.derefClass(clazz, "the class");
    if (cls) cls->registered.clear();
    return cls ? JNI_OK : JNI_ERR;
}

}  // namespace

#define QAR_CALL_FUNCTIONS(C, Name)                          \
    t.Call##Name##Method = callMethod<C>;                    \
    t.Call##Name##MethodV = callMethodV<C>;                  \
    t.Call##Name##MethodA = callMethodA<C>;                  \
    t.CallStatic##Name##Method = callStatic<C>;              \
    t.CallStatic##Name##MethodV = callStaticV<C>;            \
    t.CallStatic##Name##MethodA = callStaticA<C>;

#define QAR_FIELD_FUNCTIONS(C, Name)                         \
    t.Get##Name##Field = getField<C, false>;                 \
    t.Set##Name##Field = setField<C, false>;                 \
    t.GetStatic##Name##Field = getField<C, true>;            \
    t.SetStatic##Name##Field = setField<C, true>;

void installClasses(JNINativeInterface_& t) {
    t.FindClass = FindClass;
    t.GetSuperclass = GetSuperclass;
    t.IsAssignableFrom = IsAssignableFrom;
    t.GetObjectClass = GetObjectClass;
    t.IsInstanceOf = IsInstanceOf;
    t.AllocObject = AllocObject;
    t.GetMethodID = GetMethodID;
    t.GetStaticMethodID = GetStaticMethodID;
    t.FromReflectedMethod = FromReflectedMethod;
    QAR_CALL_FUNCTIONS('L', Object)
    QAR_CALL_FUNCTIONS('Z', Boolean)
    QAR_CALL_FUNCTIONS('B', Byte)
    QAR_CALL_FUNCTIONS('C', Char)
    QAR_CALL_FUNCTIONS('S', Short)
    QAR_CALL_FUNCTIONS('I', Int)
    QAR_CALL_FUNCTIONS('J', Long)
    QAR_CALL_FUNCTIONS('F', Float)
    QAR_CALL_FUNCTIONS('D', Double)
    QAR_CALL_FUNCTIONS('V', Void)
    t.NewObject = NewObject;
    t.NewObjectV = NewObjectV;
    t.NewObjectA = NewObjectA;
    t.GetFieldID = GetFieldID;
    t.GetStaticFieldID = GetStaticFieldID;
    QAR_FIELD_FUNCTIONS('L', Object)
    QAR_FIELD_FUNCTIONS('Z', Boolean)
    QAR_FIELD_FUNCTIONS('B', Byte)
    QAR_FIELD_FUNCTIONS('C', Char)
    QAR_FIELD_FUNCTIONS('S', Short)
    QAR_FIELD_FUNCTIONS('I', Int)
    QAR_FIELD_FUNCTIONS('J', Long)
    QAR_FIELD_FUNCTIONS('F', Float)
    QAR_FIELD_FUNCTIONS('D', Double)
    t.RegisterNatives = RegisterNatives;
    t.UnregisterNatives = UnregisterNatives;
}

}  // namespace qarjvm
