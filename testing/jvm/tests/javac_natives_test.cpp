// The javac cross-check: the table written from the JDK's generated headers,
// the export names a VM looks up, and RegisterNatives against declared natives.
#include "natives.h"
#include "target.h"

#include "qar_jvm_test_Sample.h"
#include "qar_jvm_test_Sample_Inner.h"

#include <gtest/gtest.h>

// Defined against javac's declarations: a wrong type would not compile.
extern "C" JNIEXPORT jint JNICALL Java_qar_jvm_1test_Sample_sum0(JNIEnv* env, jclass, jint a, jlong b, jstring c,
                                                                  jintArray d) {
    jint sum = a + static_cast<jint>(b) + env->GetStringLength(c);
    jint values[4] = {};
    jsize n = env->GetArrayLength(d);
    env->GetIntArrayRegion(d, 0, n < 4 ? n : 4, values);
    for (jint v : values) sum += v;
    return sum;
}

extern "C" JNIEXPORT void JNICALL Java_qar_jvm_1test_Sample_do_1it(JNIEnv*, jobject) {}

extern "C" JNIEXPORT jdoubleArray JNICALL Java_qar_jvm_1test_Sample_00024Inner_values0(JNIEnv* env, jobject, jdouble x,
                                                                                       jboolean y) {
    jdoubleArray out = env->NewDoubleArray(2);
    jdouble values[2] = {x, y ? 1.0 : 0.0};
    env->SetDoubleArrayRegion(out, 0, 2, values);
    return out;
}

namespace {

using qarjvm::Jvm;
using qarjvm::NativeDecl;

std::vector<NativeDecl> sampleNatives() { return qarjvm::loadNatives(QAR_TEST_JVM_SAMPLE_NATIVES); }

TEST(JavacNatives, TableHoldsWhatJavacDeclared) {
    struct Row {
        const char* cls;
        const char* method;
        const char* signature;
        const char* jni;
        int bytes;
    };
    const Row expected[] = {
        {"qar/jvm_test/Sample", "sum0", "(IJLjava/lang/String;[I)I", "Java_qar_jvm_1test_Sample_sum0", 28},
        {"qar/jvm_test/Sample", "do_it", "()V", "Java_qar_jvm_1test_Sample_do_1it", 8},
        {"qar/jvm_test/Sample$Inner", "values0", "(DZ)[D", "Java_qar_jvm_1test_Sample_00024Inner_values0", 20},
    };
    std::vector<NativeDecl> natives = sampleNatives();
    ASSERT_EQ(natives.size(), std::size(expected));
    for (const Row& row : expected) {
        const NativeDecl* n = qarjvm::findNative(natives, row.cls, row.method);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->signature, row.signature);
        EXPECT_EQ(n->jniName, row.jni);
        EXPECT_EQ(n->argBytes, row.bytes) << row.jni;
    }
}

TEST(JavacNatives, ExportNameIsWhatTheVmOfThisArchitectureLooksUp) {
    std::vector<NativeDecl> natives = sampleNatives();
    const NativeDecl* n = qarjvm::findNative(natives, "qar/jvm_test/Sample", "sum0");
    ASSERT_NE(n, nullptr);
    if (qartest::kI686) {
        EXPECT_EQ(qarjvm::exportName(*n), "_Java_qar_jvm_1test_Sample_sum0@28");
    } else {
        EXPECT_EQ(qarjvm::exportName(*n), "Java_qar_jvm_1test_Sample_sum0");
    }
}

TEST(JavacNatives, RegisterNativesAcceptsDeclaredMethodsOnly) {
    Jvm vm;
    qarjvm::declareNatives(vm, sampleNatives());
    jint ok = vm.call([](JNIEnv* env) {
        jclass cls = env->FindClass("qar/jvm_test/Sample");
        JNINativeMethod table[] = {
            {const_cast<char*>("sum0"), const_cast<char*>("(IJLjava/lang/String;[I)I"),
             reinterpret_cast<void*>(&Java_qar_jvm_1test_Sample_sum0)},
            {const_cast<char*>("do_it"), const_cast<char*>("()V"), reinterpret_cast<void*>(&Java_qar_jvm_1test_Sample_do_1it)},
        };
        return env->RegisterNatives(cls, table, 2);
    });
    EXPECT_EQ(ok, JNI_OK);
    auto rows = vm.registeredNatives("qar/jvm_test/Sample");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "sum0");
    EXPECT_EQ(rows[0].fnPtr, reinterpret_cast<void*>(&Java_qar_jvm_1test_Sample_sum0));
    EXPECT_EQ(rows[1].signature, "()V");

    // A signature the class does not declare: JNI_ERR and NoSuchMethodError, as HotSpot does.
    vm.allowPendingExceptionOnReturn(true);
    jint rejected = vm.call([](JNIEnv* env) {
        jclass cls = env->FindClass("qar/jvm_test/Sample");
        JNINativeMethod row = {const_cast<char*>("sum0"), const_cast<char*>("(I)I"),
                               reinterpret_cast<void*>(&Java_qar_jvm_1test_Sample_sum0)};
        return env->RegisterNatives(cls, &row, 1);
    });
    EXPECT_EQ(rejected, JNI_ERR);
    EXPECT_EQ(vm.takeException(), "java/lang/NoSuchMethodError");
}

TEST(JavacNatives, NativesWrittenAgainstTheHeadersRunInTheVm) {
    Jvm vm;
    qarjvm::declareNatives(vm, sampleNatives());
    jclass sample = vm.findClass("qar/jvm_test/Sample");
    jint sum = vm.call(Java_qar_jvm_1test_Sample_sum0, sample, jint{1}, jlong{2}, vm.newString(L"abc"),
                       vm.newArray<jint>({10, 20}));
    EXPECT_EQ(sum, 1 + 2 + 3 + 30);

    jobject inner = vm.newObject("qar/jvm_test/Sample$Inner");
    jdoubleArray values = vm.call(Java_qar_jvm_1test_Sample_00024Inner_values0, inner, jdouble{2.5}, jboolean{JNI_TRUE});
    EXPECT_EQ(vm.elements<jdouble>(values), (std::vector<jdouble>{2.5, 1.0}));
}

}  // namespace
