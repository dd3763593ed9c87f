// What a correct native sees through the stand-in: the JNI behaviour our
// libraries rely on, made strict where JNI promises little.
#include "jvm.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

namespace {

using namespace std::string_literals;
using qarjvm::Jvm;
using qarjvm::JavaCall;

DWORD protectionAt(const void* p) {
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(p, &info, sizeof(info));
    return info.Protect;
}

TEST(JvmStrings, ModifiedUtf8WithLengths) {
    Jvm vm;
    // NUL, a two-byte, a three-byte and a supplementary character.
    jstring s = vm.newString(u"a\0b\u00e9\u4e2d\U0001F600"s);
    vm.call([](JNIEnv* env, jstring s) {
        EXPECT_EQ(env->GetStringLength(s), 7);
        const char* utf = env->GetStringUTFChars(s, nullptr);
        std::string bytes(utf);
        EXPECT_EQ(bytes, "a\xC0\x80" "b\xC3\xA9\xE4\xB8\xAD\xED\xA0\xBD\xED\xB8\x80");
        EXPECT_EQ(env->GetStringUTFLength(s), static_cast<jsize>(bytes.size()));
        env->ReleaseStringUTFChars(s, utf);
        char region[8] = {};
        env->GetStringUTFRegion(s, 3, 1, region);
        EXPECT_STREQ(region, "\xC3\xA9");
    }, s);

    jstring made = vm.call([](JNIEnv* env) { return env->NewStringUTF("x\xC0\x80y\xE4\xB8\xAD"); });
    EXPECT_EQ(vm.text(made), L"x\0y\u4e2d"s);
}

TEST(JvmStrings, BuffersEndAtANoAccessPage) {
    Jvm vm;
    vm.call([](JNIEnv* env, jstring s, jintArray a) {
        const jchar* chars = env->GetStringChars(s, nullptr);
        EXPECT_EQ(protectionAt(chars), static_cast<DWORD>(PAGE_READONLY));  // handed out as const
        EXPECT_EQ(protectionAt(chars + 3), static_cast<DWORD>(PAGE_NOACCESS));  // no terminator to read
        env->ReleaseStringChars(s, chars);
        jint* elems = env->GetIntArrayElements(a, nullptr);
        EXPECT_EQ(protectionAt(elems), static_cast<DWORD>(PAGE_READWRITE));
        EXPECT_EQ(protectionAt(elems + 2), static_cast<DWORD>(PAGE_NOACCESS));
        env->ReleaseIntArrayElements(a, elems, JNI_ABORT);
    }, vm.newString(L"abc"), vm.newArray<jint>({1, 2}));
}

TEST(JvmArrays, ReleaseModes) {
    Jvm vm;
    jintArray a = vm.newArray<jint>({1, 2, 3});
    vm.call([](JNIEnv* env, jintArray a) {
        jint* e = env->GetIntArrayElements(a, nullptr);
        e[0] = 10;
        env->ReleaseIntArrayElements(a, e, JNI_ABORT);  // dropped
        e = env->GetIntArrayElements(a, nullptr);
        e[1] = 20;
        env->ReleaseIntArrayElements(a, e, JNI_COMMIT);  // copied, still pinned
        e[2] = 30;
        env->ReleaseIntArrayElements(a, e, 0);  // copied and released
    }, a);
    EXPECT_EQ(vm.elements<jint>(a), (std::vector<jint>{1, 20, 30}));

    jbyteArray b = vm.call([](JNIEnv* env) {
        jbyteArray b = env->NewByteArray(3);
        const jbyte bytes[] = {7, 8};
        env->SetByteArrayRegion(b, 1, 2, bytes);
        env->SetByteArrayRegion(b, 2, 2, bytes);  // out of bounds: exception, no write
        EXPECT_TRUE(env->ExceptionCheck());
        env->ExceptionClear();
        return b;
    });
    EXPECT_EQ(vm.elements<jbyte>(b), (std::vector<jbyte>{0, 7, 8}));
}

TEST(JvmArrays, ObjectArrays) {
    Jvm vm;
    jobjectArray strings = vm.call([](JNIEnv* env) {
        jobjectArray out = env->NewObjectArray(2, env->FindClass("java/lang/String"), nullptr);
        jstring s = env->NewStringUTF("one");
        env->SetObjectArrayElement(out, 0, s);
        env->DeleteLocalRef(s);
        env->SetObjectArrayElement(out, 1, env->FindClass("java/lang/String"));  // not a String
        EXPECT_TRUE(env->ExceptionCheck());
        env->ExceptionClear();
        return out;
    });
    auto elements = vm.objectElements(strings);
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(vm.text(static_cast<jstring>(elements[0])), L"one");
    EXPECT_EQ(elements[1], nullptr);
    EXPECT_EQ(vm.className(strings), "[Ljava/lang/String;");
}

TEST(JvmClasses, MethodsFieldsAndConstructorsWithTestBehaviour) {
    Jvm vm;
    vm.defineClass("qar/test/Record")
        .field("count", "I")
        .constructor("(Ljava/lang/String;J)V", [](JavaCall& c) { c.vm.setField(c.self, "count", qarjvm::jv(1)); })
        .method("twice", "(I)I", [](JavaCall& c) { return qarjvm::jv(2 * c.args[0].i); })
        .staticMethod("make", "()Lqar/test/Record;", [](JavaCall& c) { return qarjvm::jvObject(c.vm.newObject("qar/test/Record")); });

    jobject record = vm.call([](JNIEnv* env) {
        jclass cls = env->FindClass("qar/test/Record");
        jmethodID init = env->GetMethodID(cls, "<init>", "(Ljava/lang/String;J)V");
        jobject r = env->NewObject(cls, init, env->NewStringUTF("name"), jlong{1} << 40);
        jmethodID twice = env->GetMethodID(cls, "twice", "(I)I");
        jfieldID count = env->GetFieldID(cls, "count", "I");
        env->SetIntField(r, count, env->CallIntMethod(r, twice, env->GetIntField(r, count) + 20));
        jobject made = env->CallStaticObjectMethod(cls, env->GetStaticMethodID(cls, "make", "()Lqar/test/Record;"));
        EXPECT_TRUE(env->IsInstanceOf(made, cls));
        EXPECT_EQ(env->GetMethodID(cls, "missing", "()V"), nullptr);
        jthrowable error = env->ExceptionOccurred();
        env->ExceptionClear();
        EXPECT_TRUE(env->IsInstanceOf(error, env->FindClass("java/lang/NoSuchMethodError")));
        return r;
    });
    EXPECT_EQ(vm.getField(record, "count").i, 42);
    auto args = vm.constructorArgs(record);
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(vm.text(static_cast<jstring>(args[0].l)), L"name");
    EXPECT_EQ(args[1].j, jlong{1} << 40);
}

TEST(JvmClasses, BoxesAndClassForName) {
    Jvm vm;
    vm.defineClass("qar/test/Loaded");
    jobject boxed = vm.call([](JNIEnv* env) {
        jclass integer = env->FindClass("java/lang/Integer");
        jobject i = env->CallStaticObjectMethod(integer, env->GetStaticMethodID(integer, "valueOf", "(I)Ljava/lang/Integer;"), 7);
        EXPECT_EQ(env->CallIntMethod(i, env->GetMethodID(integer, "intValue", "()I")), 7);

        jclass klass = env->FindClass("java/lang/Class");
        jmethodID forName = env->GetStaticMethodID(klass, "forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
        jobject found = env->CallStaticObjectMethod(klass, forName, env->NewStringUTF("qar.test.Loaded"), JNI_FALSE, nullptr);
        EXPECT_TRUE(env->IsSameObject(found, env->FindClass("qar/test/Loaded")));
        EXPECT_EQ(env->CallStaticObjectMethod(klass, forName, env->NewStringUTF("qar.test.Missing"), JNI_FALSE, nullptr), nullptr);
        EXPECT_TRUE(env->ExceptionCheck());
        env->ExceptionClear();
        return i;
    });
    EXPECT_EQ(vm.unboxInt(boxed), 7);
    EXPECT_EQ(vm.unboxLong(vm.boxLong(-5)), -5);
}

TEST(JvmExceptions, ThrownByABehaviourReachTheNative) {
    Jvm vm;
    vm.defineClass("qar/test/Thrower").staticMethod("fail", "()V", [](JavaCall& c) {
        c.vm.throwNew("java/lang/IllegalArgumentException", "bad");
        return jvalue{};
    });
    vm.allowPendingExceptionOnReturn(true);
    vm.call([](JNIEnv* env) {
        jclass cls = env->FindClass("qar/test/Thrower");
        env->CallStaticVoidMethod(cls, env->GetStaticMethodID(cls, "fail", "()V"));
    });
    EXPECT_EQ(vm.exceptionMessage(), "bad");
    EXPECT_EQ(vm.takeException(), "java/lang/IllegalArgumentException");
}

// Every copy and allocation call can be made to fail on demand, at the nth
// call from now: null (or JNI_ENOMEM) with an OutOfMemoryError pending, the
// calls before it unharmed.
TEST(JvmExceptions, CopiesAndAllocationsFailOnDemand) {
    struct Case {
        const char* function;
        bool (*fails)(JNIEnv*, jstring, jintArray);  // true when the call failed
    };
    const Case cases[] = {
        {"GetStringChars", [](JNIEnv* e, jstring s, jintArray) {
             const jchar* p = e->GetStringChars(s, nullptr);
             if (p) e->ReleaseStringChars(s, p);
             return !p; }},
        {"GetStringUTFChars", [](JNIEnv* e, jstring s, jintArray) {
             const char* p = e->GetStringUTFChars(s, nullptr);
             if (p) e->ReleaseStringUTFChars(s, p);
             return !p; }},
        {"GetStringCritical", [](JNIEnv* e, jstring s, jintArray) {
             const jchar* p = e->GetStringCritical(s, nullptr);
             if (p) e->ReleaseStringCritical(s, p);
             return !p; }},
        {"GetPrimitiveArrayCritical", [](JNIEnv* e, jstring, jintArray a) {
             void* p = e->GetPrimitiveArrayCritical(a, nullptr);
             if (p) e->ReleasePrimitiveArrayCritical(a, p, JNI_ABORT);
             return !p; }},
        {"GetIntArrayElements", [](JNIEnv* e, jstring, jintArray a) {
             jint* p = e->GetIntArrayElements(a, nullptr);
             if (p) e->ReleaseIntArrayElements(a, p, JNI_ABORT);
             return !p; }},
        {"NewString", [](JNIEnv* e, jstring, jintArray) {
             const jchar x = 'x';
             return !e->NewString(&x, 1); }},
        {"NewStringUTF", [](JNIEnv* e, jstring, jintArray) { return !e->NewStringUTF("x"); }},
        {"NewByteArray", [](JNIEnv* e, jstring, jintArray) { return !e->NewByteArray(1); }},
        {"NewObjectArray", [](JNIEnv* e, jstring s, jintArray) {
             return !e->NewObjectArray(1, e->GetObjectClass(s), nullptr); }},
        {"AllocObject", [](JNIEnv* e, jstring s, jintArray) { return !e->AllocObject(e->GetObjectClass(s)); }},
        {"NewObject", [](JNIEnv* e, jstring, jintArray) {
             jclass cls = e->FindClass("qar/test/Made");
             return !e->NewObject(cls, e->GetMethodID(cls, "<init>", "()V")); }},
        {"NewGlobalRef", [](JNIEnv* e, jstring s, jintArray) {
             jobject g = e->NewGlobalRef(s);
             if (g) e->DeleteGlobalRef(g);
             return !g; }},
        {"NewLocalRef", [](JNIEnv* e, jstring s, jintArray) { return !e->NewLocalRef(s); }},
        {"PushLocalFrame", [](JNIEnv* e, jstring, jintArray) {
             if (e->PushLocalFrame(4) != JNI_OK) return true;
             e->PopLocalFrame(nullptr);
             return false; }},
        {"EnsureLocalCapacity", [](JNIEnv* e, jstring, jintArray) { return e->EnsureLocalCapacity(4) != JNI_OK; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        Jvm vm;
        vm.defineClass("qar/test/Made").constructor("()V");
        vm.allowPendingExceptionOnReturn(true);
        jstring s = vm.newString(L"text");
        jintArray a = vm.newArray<jint>({1, 2});
        vm.failNext(c.function, 2);
        EXPECT_EQ(vm.unusedFailures(), 1u);
        static const Case* current;
        current = &c;
        vm.call([](JNIEnv* e, jstring s, jintArray a) {
            EXPECT_FALSE(current->fails(e, s, a)) << "the first call";
            EXPECT_FALSE(e->ExceptionCheck());
            EXPECT_TRUE(current->fails(e, s, a)) << "the second call";
        }, s, a);
        EXPECT_EQ(vm.takeException(), "java/lang/OutOfMemoryError");
        EXPECT_EQ(vm.unusedFailures(), 0u);
    }
}

// failNextAllocation counts the allocating and copying calls of every kind
// together; other calls count for nothing, and disarmFailures forgets.
TEST(JvmFailures, TheNthAllocationOfAnyKindFails) {
    Jvm vm;
    vm.allowPendingExceptionOnReturn(true);
    vm.failNextAllocation(3);
    vm.call([](JNIEnv* e, jstring s) {
        const jchar* chars = e->GetStringChars(s, nullptr);  // 1
        ASSERT_NE(chars, nullptr);
        e->ReleaseStringChars(s, chars);
        EXPECT_EQ(e->GetStringLength(s), 4);  // not an allocation
        EXPECT_NE(e->NewByteArray(2), nullptr);  // 2
        EXPECT_EQ(e->NewStringUTF("x"), nullptr);  // 3
    }, vm.newString(L"text"));
    EXPECT_EQ(vm.takeException(), "java/lang/OutOfMemoryError");
    EXPECT_EQ(vm.unusedFailures(), 0u);

    vm.failNextAllocation(2);
    vm.call([](JNIEnv* e) { EXPECT_NE(e->NewByteArray(1), nullptr); });
    EXPECT_EQ(vm.unusedFailures(), 1u);
    vm.disarmFailures();
    EXPECT_EQ(vm.unusedFailures(), 0u);
    vm.call([](JNIEnv* e) { EXPECT_NE(e->NewByteArray(1), nullptr); });
}

TEST(JvmReferences, GlobalsOutliveTheNativeLocalsDoNot) {
    Jvm vm;
    static jobject cached;  // as a library caches a reference between calls
    vm.call([](JNIEnv* env, jstring s) { cached = env->NewGlobalRef(s); }, vm.newString(L"kept"));
    EXPECT_EQ(vm.liveGlobalRefs(), 1u);
    vm.call([](JNIEnv* env) {
        EXPECT_EQ(env->GetObjectRefType(cached), JNIGlobalRefType);
        EXPECT_EQ(env->GetStringLength(static_cast<jstring>(cached)), 4);
        env->PushLocalFrame(4);
        jobject inner = env->NewLocalRef(cached);
        jobject kept = env->PopLocalFrame(inner);
        EXPECT_EQ(env->GetObjectRefType(inner), JNIInvalidRefType);
        EXPECT_EQ(env->GetObjectRefType(kept), JNILocalRefType);
        env->DeleteGlobalRef(cached);
    });
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
}

// A long run reclaims what nothing reaches and keeps what is reachable,
// however indirectly; the counters a soak reads follow the natives' calls.
TEST(JvmReferences, CollectionKeepsReachableObjectsAndCountsLiveReferences) {
    Jvm vm;
    static jobject cached;
    vm.call([](JNIEnv* env) {
        jobjectArray array = env->NewObjectArray(1, env->FindClass("java/lang/String"), nullptr);
        env->SetObjectArrayElement(array, 0, env->NewStringUTF("inside"));
        cached = env->NewGlobalRef(array);
    });
    EXPECT_EQ(vm.liveGlobalRefs(), 1u);
    size_t locals = vm.liveLocalRefs();
    vm.call([](JNIEnv* env, jstring s) {
        const jchar* chars = env->GetStringChars(s, nullptr);
        env->ReleaseStringChars(s, chars);
    }, vm.newString(L"pinned for a moment"));
    EXPECT_EQ(vm.livePins(), 0u);
    EXPECT_EQ(vm.liveLocalRefs(), locals + 1) << "the argument made by the test stays in the test's frame";

    JNIEnv* env = vm.env();
    env->PushLocalFrame(8);
    for (int i = 0; i < 100; ++i) vm.newString(L"garbage " + std::to_wstring(i));
    env->PopLocalFrame(nullptr);
    vm.collectGarbage();
    jobject element = vm.objectElements(static_cast<jobjectArray>(cached))[0];
    for (int i = 0; i < 100; ++i) vm.newString(L"reusing " + std::to_wstring(i));
    EXPECT_EQ(vm.text(static_cast<jstring>(element)), L"inside") << "an element reached through a global survives";
    vm.call([](JNIEnv* env) { env->DeleteGlobalRef(cached); });
    EXPECT_EQ(vm.liveGlobalRefs(), 0u);
}

TEST(JvmThreads, GetEnvAndAttach) {
    Jvm vm;
    JavaVM* javaVm = vm.call([](JNIEnv* env) {
        JavaVM* out = nullptr;
        EXPECT_EQ(env->GetJavaVM(&out), JNI_OK);
        return out;
    });
    ASSERT_NE(javaVm, nullptr);
    void* env = nullptr;
    EXPECT_EQ(javaVm->GetEnv(&env, JNI_VERSION_1_2), JNI_OK);
    EXPECT_EQ(env, vm.env());
    EXPECT_EQ(javaVm->GetEnv(&env, 0x7fff0000), JNI_EVERSION);

    std::thread other([javaVm] {
        void* threadEnv = nullptr;
        EXPECT_EQ(javaVm->GetEnv(&threadEnv, JNI_VERSION_1_2), JNI_EDETACHED);
        ASSERT_EQ(javaVm->AttachCurrentThread(&threadEnv, nullptr), JNI_OK);
        JNIEnv* e = static_cast<JNIEnv*>(threadEnv);
        jstring s = e->NewStringUTF("on another thread");
        EXPECT_EQ(e->GetStringLength(s), 17);
        e->DeleteLocalRef(s);
        EXPECT_EQ(javaVm->DetachCurrentThread(), JNI_OK);
    });
    other.join();
}

}  // namespace
