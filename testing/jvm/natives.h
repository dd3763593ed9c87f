// The natives that the JDK's own "javac -h" declared for test-only Java
// sources (written by qar_javac_natives as natives.tsv), and binding them the
// way a VM does.
#pragma once

#include "jvm.h"

#include <windows.h>

#include <string>
#include <vector>

namespace qarjvm {

struct NativeDecl {
    std::string className;  // slash form, "$" for inner classes
    std::string method;
    std::string signature;  // JNI signature, "(Ljava/lang/String;)J"
    std::string jniName;    // "Java_..." as the JDK mangles it
    int argBytes = 0;       // stack bytes of a 32-bit call: JNIEnv*, receiver, arguments
};

// Reads the table; fails the test and returns nothing when it cannot.
std::vector<NativeDecl> loadNatives(const std::wstring& path);

// The export a VM looks up for the native: "_<jniName>@<argBytes>" on 32-bit
// Windows, the plain JNI name on 64-bit.
std::string exportName(const NativeDecl& native);

// GetProcAddress of exportName in the module (null when missing).
FARPROC lookupNative(HMODULE module, const NativeDecl& native);

// The declaration of class.method; fails the test when there is none.
const NativeDecl* findNative(const std::vector<NativeDecl>& natives, const std::string& className,
                             const std::string& method);

// Declares every native in the VM, defining the classes as needed, so that
// RegisterNatives accepts exactly the declared methods.
void declareNatives(Jvm& vm, const std::vector<NativeDecl>& natives);

}  // namespace qarjvm
