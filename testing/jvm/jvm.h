// A strict, in-process stand-in for the Java VM, for tests of JNI libraries.
//
// It implements the JNI function table that our natives call (strings,
// arrays, classes with test-supplied methods and fields, references,
// exceptions, RegisterNatives, the JavaVM interface) over a small object
// model of its own. Misuse that a real VM forgives or punishes only later
// fails the current GoogleTest test at once:
//   - a JNI call with an exception pending (other than the calls JNI allows),
//     inside a critical region, or with another thread's JNIEnv;
//   - a null, deleted, out-of-frame or wrongly typed reference, method or
//     field ID (static against instance, wrong return or value type);
//   - a string or array that is not released by the end of the native call,
//     released twice or through the wrong function, or an array the test
//     marked read-only released with a mode other than JNI_ABORT;
//   - a native returning with an exception pending (unless allowed), or
//     with unbalanced PushLocalFrame/PopLocalFrame;
//   - global or weak global references still alive when the Jvm ends.
// Buffers handed out by Get*Chars/Get*ArrayElements end at a guard page:
// reading past their end crashes the test instead of passing silently
// (GetStringChars buffers carry no terminator, as JNI promises none), and
// string buffers are read-only.
// A JNI function that the stand-in does not implement ends the process with
// its name on standard error.
#pragma once

#include <jni.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qarjvm {

class Jvm;
struct Class;
struct State;

// What the behaviour of a Java method sees: the receiver (the class for
// static methods, the new object for constructors) and the arguments, with
// references valid in the calling native's frame.
struct JavaCall {
    Jvm& vm;
    JNIEnv* env;
    jobject self;
    std::vector<jvalue> args;
};

// The behaviour of a Java method; the result is ignored for void methods.
// An object result is a reference valid in the current frame (for example one
// made with Jvm::newString), or null. To throw, call Jvm::throwNew.
using MethodBody = std::function<jvalue(JavaCall&)>;

// One row of a RegisterNatives table, as the VM recorded it.
struct RegisteredNative {
    std::string name;
    std::string signature;
    void* fnPtr;
};

// A class of the stand-in, by its internal (slash) name.
class ClassDef {
public:
    ClassDef& method(const std::string& name, const std::string& signature, MethodBody body);
    ClassDef& staticMethod(const std::string& name, const std::string& signature, MethodBody body);
    // "<init>": NewObject allocates the object, records the arguments
    // (Jvm::constructorArgs) and then runs the body, if any.
    ClassDef& constructor(const std::string& signature, std::function<void(JavaCall&)> body = {});
    ClassDef& field(const std::string& name, const std::string& signature);
    ClassDef& staticField(const std::string& name, const std::string& signature, jvalue initial = {});
    // A method declared native: RegisterNatives accepts only declared natives.
    ClassDef& nativeMethod(const std::string& name, const std::string& signature);
    const std::string& name() const;

private:
    friend class Jvm;
    ClassDef(State* state, Class* cls) : state_(state), class_(cls) {}
    State* state_;
    Class* class_;
};

template <typename T> struct ArrayType;
template <> struct ArrayType<jboolean> { using type = jbooleanArray; };
template <> struct ArrayType<jbyte> { using type = jbyteArray; };
template <> struct ArrayType<jchar> { using type = jcharArray; };
template <> struct ArrayType<jshort> { using type = jshortArray; };
template <> struct ArrayType<jint> { using type = jintArray; };
template <> struct ArrayType<jlong> { using type = jlongArray; };
template <> struct ArrayType<jfloat> { using type = jfloatArray; };
template <> struct ArrayType<jdouble> { using type = jdoubleArray; };

class Jvm {
public:
    // The creating thread is attached; java/lang/Object, String, Class,
    // Integer, Long, Boolean (with valueOf and xxxValue), ClassLoader,
    // reflect/Method and the exceptions the VM itself raises are defined.
    Jvm();
    // Fails the test for references and pins still alive.
    ~Jvm();
    Jvm(const Jvm&) = delete;
    Jvm& operator=(const Jvm&) = delete;

    // The calling thread's JNIEnv (the thread must be attached).
    JNIEnv* env();
    JavaVM* javaVm();

    // Classes. defineClass of an existing name returns that class.
    ClassDef defineClass(const std::string& slashName, const std::string& superName = "java/lang/Object");
    jclass findClass(const std::string& slashName);  // null when unknown

    // Objects, made as Java code would make them: local references of the
    // current frame (the test's own frame outside native calls).
    jobject newObject(const std::string& slashName);  // allocated; no constructor runs
    jstring newString(const std::u16string& text);
    jstring newString(const std::wstring& text);
    template <typename T>
    typename ArrayType<T>::type newArray(const std::vector<T>& values) {
        return static_cast<typename ArrayType<T>::type>(newPrimitiveArray(elementCode<T>(), values.data(), values.size()));
    }
    jobjectArray newObjectArray(const std::string& elementClass, const std::vector<jobject>& elements);
    jobject boxInt(jint value);
    jobject boxLong(jlong value);
    jobject boxBoolean(bool value);
    // A java.lang.reflect.Method for FromReflectedMethod.
    jobject reflectedMethod(const std::string& slashName, const std::string& name, const std::string& signature);

    // Reading objects back.
    std::wstring text(jstring string);
    template <typename T>
    std::vector<T> elements(jarray array) {
        std::vector<T> out(arrayLength(array));
        readPrimitiveArray(array, elementCode<T>(), out.data());
        return out;
    }
    std::vector<jobject> objectElements(jobjectArray array);
    size_t arrayLength(jarray array);
    std::string className(jobject object);  // slash name of the object's class
    jint unboxInt(jobject boxed);
    jlong unboxLong(jobject boxed);
    bool unboxBoolean(jobject boxed);
    jvalue getField(jobject object, const std::string& name);
    void setField(jobject object, const std::string& name, jvalue value);
    jvalue getStaticField(const std::string& slashName, const std::string& name);
    std::vector<jvalue> constructorArgs(jobject object);

    // Exceptions. throwNew makes one pending on the calling thread (for
    // method bodies); takeException returns the pending exception's class
    // name (empty when none) and clears it.
    void throwNew(const std::string& slashName, const std::string& message = "");
    std::string takeException();
    std::string exceptionMessage();  // of the pending exception
    // By default a native that returns with an exception pending fails the test.
    void allowPendingExceptionOnReturn(bool allow);

    // Strictness switches. A read-only array must be released with JNI_ABORT.
    void expectReadOnly(jarray array);
    // The nth call from now of the named JNI function fails the way a VM out
    // of memory does: it returns null (PushLocalFrame and EnsureLocalCapacity
    // JNI_ENOMEM) with an OutOfMemoryError pending. The functions that can
    // fail so: GetStringChars, GetStringUTFChars, GetStringCritical,
    // NewString, NewStringUTF, New<Type>Array, NewObjectArray,
    // Get<Type>ArrayElements, GetPrimitiveArrayCritical, AllocObject,
    // NewObject (named so for NewObjectV and NewObjectA too: C++ code calls
    // NewObjectV), NewGlobalRef, NewWeakGlobalRef, NewLocalRef,
    // PushLocalFrame and EnsureLocalCapacity (a call with a null object
    // counts for none of them).
    void failNext(const std::string& jniFunction, unsigned nth = 1);
    // The same for the nth call from now of any of those functions, whichever
    // it is: a sweep that fails the first, second, ... allocation or copy of
    // a native ends when its failure goes unused.
    void failNextAllocation(unsigned nth = 1);
    // Forgets every armed failure that has not happened.
    void disarmFailures();
    // How many armed failures have not happened yet: a sweep that fails the
    // first, second, ... call of a function ends when its failure goes unused.
    size_t unusedFailures();

    // RegisterNatives, as recorded (the latest table per class).
    std::vector<RegisteredNative> registeredNatives(const std::string& slashName);
    size_t liveGlobalRefs();
    // Live local references of every thread (the test's own frame included)
    // and strings or arrays pinned by Get*Chars/Get*ArrayElements/critical.
    size_t liveLocalRefs();
    size_t livePins();
    // The stand-in keeps every object and reference record until the Jvm
    // ends, so that a stale reference is still recognised. A long run (a
    // soak) calls this between native calls: dead references and objects no
    // live reference reaches are reused by later allocations, so the
    // stand-in's own memory stays flat. A stale reference from before the
    // collection may then alias a new one.
    void collectGarbage();

    // Calls a native the way the VM does: the calling thread's JNIEnv first,
    // then the given arguments, in a fresh local frame; afterwards the checks
    // of the call run, the native's locals die, and a returned reference
    // becomes a local of the caller's frame.
    template <typename F, typename... A>
    auto call(F fn, A... args) {
        using R = decltype(fn(std::declval<JNIEnv*>(), args...));
        JNIEnv* nativeEnv = enterNative();
        if constexpr (std::is_void_v<R>) {
            fn(nativeEnv, asArgument(args)...);
            leaveNative(nullptr);
        } else if constexpr (isReference<R>) {
            R result = fn(nativeEnv, asArgument(args)...);
            return static_cast<R>(leaveNative(result));
        } else {
            R result = fn(nativeEnv, asArgument(args)...);
            leaveNative(nullptr);
            return result;
        }
    }

    State* state() { return state_.get(); }

private:
    template <typename T> static constexpr char elementCode() {
        if constexpr (std::is_same_v<T, jboolean>) return 'Z';
        else if constexpr (std::is_same_v<T, jbyte>) return 'B';
        else if constexpr (std::is_same_v<T, jchar>) return 'C';
        else if constexpr (std::is_same_v<T, jshort>) return 'S';
        else if constexpr (std::is_same_v<T, jint>) return 'I';
        else if constexpr (std::is_same_v<T, jlong>) return 'J';
        else if constexpr (std::is_same_v<T, jfloat>) return 'F';
        else return 'D';
    }
    // A reference argument becomes a local of the native's own frame, as in
    // a VM: the native may delete it without touching the caller's.
    template <typename T>
    static constexpr bool isReference = std::is_pointer_v<T> && std::is_base_of_v<_jobject, std::remove_pointer_t<T>>;
    template <typename T> T asArgument(T value) {
        if constexpr (isReference<T>) {
            return static_cast<T>(argument(value));
        } else {
            return value;
        }
    }
    jobject argument(jobject ref);
    jarray newPrimitiveArray(char code, const void* values, size_t count);
    void readPrimitiveArray(jarray array, char code, void* out);
    JNIEnv* enterNative();
    jobject leaveNative(jobject result);

    std::unique_ptr<State> state_;
};

// Makes a jvalue from a C++ value, for method bodies and setField.
inline jvalue jv(jint i) { jvalue v{}; v.i = i; return v; }
inline jvalue jvLong(jlong j) { jvalue v{}; v.j = j; return v; }
inline jvalue jvBool(bool z) { jvalue v{}; v.z = z ? JNI_TRUE : JNI_FALSE; return v; }
inline jvalue jvObject(jobject l) { jvalue v{}; v.l = l; return v; }

}  // namespace qarjvm
