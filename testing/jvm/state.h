// The stand-in VM's object model and bookkeeping, shared by the files that
// implement the JNI function families.
#pragma once

#include "jvm.h"

#include <windows.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace qarjvm {

struct Object;
struct Env;

// A field or array slot: primitives in prim, references in obj.
struct Slot {
    jvalue prim{};
    Object* obj = nullptr;
};

struct Method {
    Class* owner = nullptr;
    std::string name;
    std::string signature;
    std::string params;  // one type code per parameter: Z B C S I J F D, L for references
    std::vector<std::string> paramTypes;  // the parameters' descriptors
    char returns = 'V';
    bool isStatic = false;
    bool isNative = false;
    MethodBody body;
    std::function<void(JavaCall&)> constructorBody;
};

struct Field {
    Class* owner = nullptr;
    std::string name;
    std::string signature;
    char type = 'I';
    bool isStatic = false;
    Slot staticValue;
};

struct Class {
    std::string name;  // slash form; arrays as descriptors ("[I", "[Ljava/lang/String;")
    Class* super = nullptr;
    Object* mirror = nullptr;  // the java.lang.Class object
    std::deque<Method> methods;
    std::deque<Field> fields;
    std::vector<RegisteredNative> registered;
    char elementType = 0;          // arrays: Z B C S I J F D, or L
    Class* elementClass = nullptr;  // arrays of references
};

struct Object {
    Class* cls = nullptr;
    std::u16string text;           // a String's characters; a Throwable's message
    size_t length = 0;             // arrays
    std::vector<unsigned char> data;  // primitive array elements
    std::vector<Object*> elements;    // reference array elements
    std::map<const Field*, Slot> fields;
    Class* represents = nullptr;   // java.lang.Class objects
    Method* reflected = nullptr;   // java.lang.reflect.Method objects
    std::vector<Slot> constructorArgs;
    std::string constructorParams;
    bool readOnly = false;         // arrays the test marked read-only
    bool recycled = false;         // unreachable, waiting in State::freeObjects
};

enum class RefKind { Local, Global, WeakGlobal };

struct Ref {
    Object* obj = nullptr;
    RefKind kind = RefKind::Local;
    bool live = true;
    bool frameEnded = false;  // a local whose frame was popped
    Env* env = nullptr;  // locals: the owning thread
    size_t frame = 0;    // locals: index of the owning frame
    bool recycled = false;  // dead, waiting in State::freeRefs
};

struct Frame {
    std::vector<Ref*> locals;
    bool pushed = false;  // by PushLocalFrame (not a native call's own frame)
};

enum class PinKind { StringChars, StringUtf, StringCritical, ArrayElements, ArrayCritical };

// Memory that ends right before a no-access page.
class GuardedBuffer {
public:
    GuardedBuffer() = default;
    explicit GuardedBuffer(size_t bytes);
    GuardedBuffer(GuardedBuffer&& other) noexcept;
    GuardedBuffer& operator=(GuardedBuffer&& other) noexcept;
    ~GuardedBuffer();
    void* data() const { return data_; }
    size_t size() const { return size_; }
    void makeReadOnly();

private:
    void* base_ = nullptr;
    size_t pages_ = 0;
    void* data_ = nullptr;
    size_t size_ = 0;
};

struct Pin {
    PinKind kind;
    Object* obj;
    GuardedBuffer buffer;
    Env* env;
    size_t nativeDepth;  // how many native calls were active on env when pinned
    std::string function;
};

struct Env {
    const JNINativeInterface_* functions;  // first: a JNIEnv* points here
    State* state = nullptr;
    DWORD threadId = 0;
    Object* pending = nullptr;
    std::vector<Frame> frames;       // frames[0]: the thread's own frame
    std::vector<size_t> nativeFrames;  // index of each active native call's frame
    int critical = 0;
};

struct InvokeInterface {
    const JNIInvokeInterface_* functions;  // first: a JavaVM* points here
    State* state = nullptr;
};

// Primitive types by their code.
template <char C> struct Prim;
template <> struct Prim<'Z'> { using type = jboolean; using array = jbooleanArray; static constexpr const char* name = "Boolean"; static type& of(jvalue& v) { return v.z; } };
template <> struct Prim<'B'> { using type = jbyte; using array = jbyteArray; static constexpr const char* name = "Byte"; static type& of(jvalue& v) { return v.b; } };
template <> struct Prim<'C'> { using type = jchar; using array = jcharArray; static constexpr const char* name = "Char"; static type& of(jvalue& v) { return v.c; } };
template <> struct Prim<'S'> { using type = jshort; using array = jshortArray; static constexpr const char* name = "Short"; static type& of(jvalue& v) { return v.s; } };
template <> struct Prim<'I'> { using type = jint; using array = jintArray; static constexpr const char* name = "Int"; static type& of(jvalue& v) { return v.i; } };
template <> struct Prim<'J'> { using type = jlong; using array = jlongArray; static constexpr const char* name = "Long"; static type& of(jvalue& v) { return v.j; } };
template <> struct Prim<'F'> { using type = jfloat; using array = jfloatArray; static constexpr const char* name = "Float"; static type& of(jvalue& v) { return v.f; } };
template <> struct Prim<'D'> { using type = jdouble; using array = jdoubleArray; static constexpr const char* name = "Double"; static type& of(jvalue& v) { return v.d; } };

// The failAt key of failures armed for any allocating or copying function.
inline const std::string kAnyAllocation = "*";

// Flags of a JNI entry.
enum : unsigned {
    kExceptionSafe = 1,  // allowed with an exception pending
    kCriticalSafe = 2,   // allowed inside a critical region
};

struct State {
    Jvm* owner = nullptr;
    std::recursive_mutex mutex;
    JNINativeInterface_ table{};
    JNIInvokeInterface_ invokeTable{};
    InvokeInterface vm{};
    std::map<std::string, std::unique_ptr<Class>> classes;
    std::deque<Object> objects;
    std::deque<Ref> refs;
    // Records that Jvm::collectGarbage found dead, reused before the deques grow.
    std::vector<Object*> freeObjects;
    std::vector<Ref*> freeRefs;
    std::unordered_set<const void*> refIds;
    std::unordered_set<const void*> methodIds;
    std::unordered_set<const void*> fieldIds;
    std::map<DWORD, std::unique_ptr<Env>> envs;
    std::vector<std::unique_ptr<Env>> detached;  // kept: references may still name them
    std::map<const void*, Pin> pins;
    // Per JNI function, the calls still to come before an armed failure
    // (1: the next call fails).
    // kAnyAllocation counts every such call, whatever its function.
    std::map<std::string, std::vector<unsigned>> failAt;
    bool allowExceptionOnReturn = false;

    // Classes.
    Class* findClass(const std::string& name);  // also makes array classes
    Class* defineClass(const std::string& name, Class* super);
    Class* arrayClassOf(Class* element);
    bool isAssignable(const Class* from, const Class* to) const;
    Method* findMethod(Class* cls, const std::string& name, const std::string& sig, bool isStatic);
    Field* findField(Class* cls, const std::string& name, bool isStatic);
    Method& addMethod(Class* cls, const std::string& name, const std::string& sig, bool isStatic);

    // Objects.
    Object* allocate(Class* cls);
    Object* makeString(const std::u16string& text);
    Object* makeThrowable(const std::string& className, const std::string& message);

    // References.
    jobject newRef(Env* env, Object* obj, RefKind kind);
    Ref* refOf(jobject ref);  // null when not a reference of this VM
    Env* currentEnv();        // the calling thread's, or null

    // Failing the test.
    void fail(const std::string& message);
    // Counts a call of a function that can fail for lack of memory; true
    // when this call is the one armed to fail.
    bool consumeFailNext(const std::string& function);
};

// The guard every JNI entry point starts with: takes the VM's lock, checks
// thread, pending exception and critical region, and knows the function's
// name for messages.
class Scope {
public:
    Scope(JNIEnv* env, const char* function, unsigned flags = 0);
    State& st;
    Env& env;
    const char* function;

    void fail(const std::string& message) const;
    // The object a reference points to; fails for an invalid reference. Null
    // gives null (and fails too unless allowNull).
    Object* deref(jobject ref, const char* what, bool allowNull = false) const;
    Object* derefString(jstring ref, const char* what, bool allowNull = false) const;
    Object* derefArray(jarray ref, char elementType, const char* what) const;  // elementType 0: any
    Class* derefClass(jclass ref, const char* what) const;
    Method* method(jmethodID id) const;
    Field* field(jfieldID id) const;
    jobject local(Object* obj) const;  // a new local reference in the current frame (null stays null)
    void raise(const std::string& className, const std::string& message = "") const;
    // Drops the lock while test-supplied behaviour runs (it may call back in).
    void unlock() { lock_.unlock(); }
    void relock() { lock_.lock(); }

private:
    std::unique_lock<std::recursive_mutex> lock_;
};

// The families of the function table.
void installCore(JNINativeInterface_& table);
void installInvoke(JNIInvokeInterface_& table);
void installStrings(JNINativeInterface_& table);
void installArrays(JNINativeInterface_& table);
void installClasses(JNINativeInterface_& table);

Env* attachThread(State& st);  // the calling thread's Env, made when missing
void popFrameOf(Env& env);      // ends the innermost frame and its locals

// Modified UTF-8, as JNI uses it: one to three bytes per UTF-16 unit, U+0000
// as C0 80. decode returns false for bytes that are not modified UTF-8.
std::string toModifiedUtf8(const std::u16string& text);
bool fromModifiedUtf8(const char* bytes, std::u16string& out);

// Signature parsing: the parameter type codes and the return code of a
// method descriptor; false when malformed.
bool parseMethodSignature(const std::string& sig, std::string& params, char& returns,
                          std::vector<std::string>* descriptors = nullptr);
// The class a reference descriptor names ("Ljava/lang/String;", "[I"), if defined.
Class* classOfDescriptor(State& st, const std::string& descriptor);
char fieldTypeCode(const std::string& sig);  // 0 when malformed
std::string describe(const Object* obj);     // for messages

}  // namespace qarjvm
