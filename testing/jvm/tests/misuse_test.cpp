// Every misuse the stand-in promises to catch fails the test, once, with a
// message that names it.
#include "jvm.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using qarjvm::Jvm;

struct Misuse {
    const char* name;
    std::function<void(Jvm&)> run;
    const char* message;
};

void PrintTo(const Misuse& m, std::ostream* os) { *os << m.name; }

jstring str(Jvm& vm) { return vm.newString(L"text"); }

const Misuse kMisuses[] = {
    {"StringNotReleased",
     [](Jvm& vm) { vm.call([](JNIEnv* e, jstring s) { e->GetStringUTFChars(s, nullptr); }, str(vm)); },
     "GetStringUTFChars of the string \"text\" was not released before the native returned"},
    {"ArrayNotReleased",
     [](Jvm& vm) { vm.call([](JNIEnv* e, jbyteArray a) { e->GetByteArrayElements(a, nullptr); }, vm.newArray<jbyte>({1})); },
     "GetByteArrayElements of an array [B of length 1 was not released"},
    {"WrongReleaseFunction",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jstring s) {
             const jchar* chars = e->GetStringChars(s, nullptr);
             e->ReleaseStringUTFChars(s, reinterpret_cast<const char*>(chars));
             e->ReleaseStringChars(s, chars);
         }, str(vm));
     },
     "came from GetStringChars, which has another release function"},
    {"ReleasedTwice",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jintArray a) {
             jint* p = e->GetIntArrayElements(a, nullptr);
             e->ReleaseIntArrayElements(a, p, JNI_ABORT);
             e->ReleaseIntArrayElements(a, p, JNI_ABORT);
         }, vm.newArray<jint>({1}));
     },
     "or was already released"},
    {"ReadOnlyArrayReleasedWithModeZero",
     [](Jvm& vm) {
         jintArray a = vm.newArray<jint>({1, 2});
         vm.expectReadOnly(a);
         vm.call([](JNIEnv* e, jintArray a) { e->ReleaseIntArrayElements(a, e->GetIntArrayElements(a, nullptr), 0); }, a);
     },
     "is only read; release it with JNI_ABORT, not mode 0"},
    {"ReadOnlyArrayWritten",
     [](Jvm& vm) {
         jintArray a = vm.newArray<jint>({1, 2});
         vm.expectReadOnly(a);
         vm.call([](JNIEnv* e, jintArray a) {
             jint v = 5;
             e->SetIntArrayRegion(a, 0, 1, &v);
         }, a);
     },
     "is only read, but the native writes into it"},
    {"CallWithPendingException",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jstring s) {
             e->FindClass("no/such/Class");
             e->GetStringLength(s);
             e->ExceptionClear();
         }, str(vm));
     },
     "GetStringLength: called with an exception pending: an object of java/lang/NoClassDefFoundError"},
    {"CallInsideCriticalRegion",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jintArray a) {
             void* p = e->GetPrimitiveArrayCritical(a, nullptr);
             e->GetArrayLength(a);
             e->ReleasePrimitiveArrayCritical(a, p, JNI_ABORT);
         }, vm.newArray<jint>({1}));
     },
     "GetArrayLength: called inside a critical region"},
    {"NativeReturnsWithExceptionPending",
     [](Jvm& vm) { vm.call([](JNIEnv* e) { e->ThrowNew(e->FindClass("java/lang/RuntimeException"), "boom"); }); },
     "the native returned with an exception pending: an object of java/lang/RuntimeException (\"boom\")"},
    {"GlobalReferenceLeaked",
     [](Jvm& vm) { vm.call([](JNIEnv* e, jstring s) { e->NewGlobalRef(s); }, str(vm)); },
     "a global reference to the string \"text\" was never deleted"},
    {"WeakGlobalReferenceLeaked",
     [](Jvm& vm) { vm.call([](JNIEnv* e, jstring s) { e->NewWeakGlobalRef(s); }, str(vm)); },
     "a weak global reference to the string \"text\" was never deleted"},
    {"LocalUsedAfterItsNativeReturned",
     [](Jvm& vm) {
         static jstring saved;
         vm.call([](JNIEnv*, jstring s) { saved = s; }, str(vm));
         vm.call([](JNIEnv* e) { e->GetStringLength(saved); });
     },
     "GetStringLength: the string is a local reference whose frame has ended"},
    {"DeletedLocalUsed",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jstring s) {
             e->DeleteLocalRef(s);
             e->GetStringLength(s);
         }, str(vm));
     },
     "the string is a deleted reference"},
    {"NullString",
     [](Jvm& vm) { vm.call([](JNIEnv* e) { e->GetStringUTFChars(nullptr, nullptr); }); },
     "GetStringUTFChars: the string is null"},
    {"StaticMethodCalledAsInstanceMethod",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jobject boxed) {
             jclass integer = e->FindClass("java/lang/Integer");
             e->CallObjectMethod(boxed, e->GetStaticMethodID(integer, "valueOf", "(I)Ljava/lang/Integer;"), 1);
         }, vm.boxInt(1));
     },
     "java/lang/Integer.valueOf is not an instance method"},
    {"WrongResultType",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jobject boxed) {
             e->CallLongMethod(boxed, e->GetMethodID(e->FindClass("java/lang/Integer"), "intValue", "()I"));
         }, vm.boxInt(1));
     },
     "java/lang/Integer.intValue()I returns int, not long"},
    {"ArgumentOfTheWrongClass",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jobject boxed) {
             jclass t = e->FindClass("java/lang/Throwable");
             e->NewObject(t, e->GetMethodID(t, "<init>", "(Ljava/lang/String;)V"), boxed);
         }, vm.boxInt(1));
     },
     "argument 1 of java/lang/Throwable.<init>(Ljava/lang/String;)V is an object of java/lang/Integer"},
    {"WrongFieldType",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e, jobject boxed) {
             e->GetLongField(boxed, e->GetFieldID(e->FindClass("java/lang/Integer"), "value", "I"));
         }, vm.boxInt(1));
     },
     "java/lang/Integer.value has the type I, not long"},
    {"DottedClassName",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e) {
             e->FindClass("java.lang.String");
             e->ExceptionClear();
         });
     },
     "FindClass takes the slash form of a name, not \"java.lang.String\""},
    {"LocalFramePushedNotPopped",
     [](Jvm& vm) { vm.call([](JNIEnv* e) { e->PushLocalFrame(4); }); },
     "the native returned with a PushLocalFrame not popped"},
    {"EnvUsedOnAnotherThread",
     [](Jvm& vm) {
         vm.call([](JNIEnv* e) { std::thread([e] { e->GetVersion(); }).join(); });
     },
     "GetVersion: the JNIEnv of thread"},
};

class JvmMisuse : public ::testing::TestWithParam<Misuse> {};

TEST_P(JvmMisuse, FailsTheTest) {
    const Misuse& m = GetParam();
    // The VM lives inside the check, so that what it finds at its end counts too.
    EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
        {
            Jvm vm;
            m.run(vm);
        },
        m.message);
}

INSTANTIATE_TEST_SUITE_P(Cases, JvmMisuse, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
