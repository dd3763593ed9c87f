// Binding the natives: registerNatives for the installer runtime's classes,
// registerNativesBorder for the window-border classes of another class
// loader, and Misc.registerExtensionFunctions0 that reaches the latter from Java.
#include "native_table.h"
#include "wbnative.h"

#include <cstring>
#include <string>

namespace {

using wbnative::ClassRow;
using wbnative::NativeRow;
using wbnative::Registrar;

// Class.forName(String, boolean, ClassLoader), handed to extension registrars.
struct ForName {
    jobject loader;
    jclass classClass;
    jmethodID method;
};

// Looks up the class (by name, or through forName when given), resolves every
// registered native from the module's exports, and registers the table.
bool registerClass(JNIEnv* env, const ClassRow& row, HMODULE module, ErrorPrinter printer, const ForName* forName) {
    jclass cls = nullptr;
    if (forName) {
        std::string dotted = row.slashName;
        for (char& c : dotted)
            if (c == '/') c = '.';
        jstring name = env->NewStringUTF(dotted.c_str());
        if (name) {
            cls = static_cast<jclass>(
                env->CallStaticObjectMethod(forName->classClass, forName->method, name, JNI_FALSE, forName->loader));
            env->DeleteLocalRef(name);
        }
    } else {
        cls = env->FindClass(row.slashName);
    }
    if (!cls) {
        printer(L"could not load class %S", row.slashName);
        return false;
    }

    JNINativeMethod table[wbnative::kMaxNativesPerClass];
    jint count = 0;
    for (int i = 0; i < row.count; ++i) {
        const NativeRow& native = row.natives[i];
        if (!native.registered) continue;
        FARPROC fn = GetProcAddress(module, native.exportName);
        if (!fn) {
            printer(L"did not find %S", native.reportName);
            return false;
        }
        table[count].name = const_cast<char*>(native.method);
        table[count].signature = const_cast<char*>(native.signature);
        table[count].fnPtr = reinterpret_cast<void*>(fn);
        ++count;
    }
    jint result = env->RegisterNatives(cls, table, count);
    if (result != 0) {
        printer(L"register %S failed %d", row.slashName, static_cast<int>(result));
        return false;
    }
    return true;
}

// Registers the registrar's classes in table order, stopping at the first failure.
bool registerClasses(JNIEnv* env, Registrar registrar, HMODULE module, ErrorPrinter printer, const ForName* forName) {
    for (int i = 0; i < wbnative::kNativeClassCount; ++i) {
        const ClassRow& row = wbnative::kNativeClasses[i];
        if (row.registrar != registrar) continue;
        if (!registerClass(env, row, module, printer, forName)) return false;
    }
    return true;
}

typedef jboolean(__cdecl* ExtensionRegistrar)(JNIEnv*, jobject, jclass, jmethodID, HMODULE, ErrorPrinter);

}  // namespace

extern "C" jboolean __cdecl registerNatives(JNIEnv* env, HMODULE module, ErrorPrinter printer) {
    return registerClasses(env, Registrar::registerNatives, module, printer, nullptr) ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean __cdecl registerNativesBorder(JNIEnv* env, jobject loader, jclass classClass, jmethodID forName,
                                                  HMODULE module, ErrorPrinter printer) {
    ForName lookup{loader, classClass, forName};
    return registerClasses(env, Registrar::registerNativesBorder, module, printer, &lookup) ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Misc_registerExtensionFunctions0(
    JNIEnv* env, jclass, jobject loader, jstring exportName) {
    // Our own module; its reference count stays as it is.
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&registerNatives), &self))
        return JNI_FALSE;
    jclass classClass = env->FindClass("java/lang/Class");
    if (!classClass) return JNI_FALSE;
    jmethodID forName =
        env->GetStaticMethodID(classClass, "forName", "(Ljava/lang/String;ZLjava/lang/ClassLoader;)Ljava/lang/Class;");
    if (!forName) return JNI_FALSE;
    if (!exportName) return JNI_FALSE;  // no name: nothing to look up
    const char* name = env->GetStringUTFChars(exportName, nullptr);
    if (!name) return JNI_FALSE;

    // Only registrars are called: any other export of ours, called with these
    // arguments, would run with a stack it does not expect.
    jboolean result = JNI_FALSE;
    ExtensionRegistrar registrar = nullptr;
    if (strcmp(name, "registerNativesBorder") == 0)
        registrar = procAddress<ExtensionRegistrar>(self, name);
    if (!registrar) {
        printError(L"did not find register natives extension in helper dll (%S)", name);
    } else if (!registrar(env, loader, classClass, forName, self, printError)) {
        printError(L"registering helper dll extension failed");
    } else {
        result = JNI_TRUE;
    }
    env->ReleaseStringUTFChars(exportName, name);
    return result;
}
