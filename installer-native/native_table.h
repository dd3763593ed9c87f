// The table of Java classes and natives that wbnative binds, generated from
// natives.table (native_table.cpp in the build tree).
#pragma once

namespace wbnative {

enum class Registrar { registerNatives, registerNativesBorder };

struct NativeRow {
    const char* method;      // Java method name
    const char* signature;   // JNI signature
    const char* exportName;  // the export a VM of this architecture looks up
    const char* reportName;  // the JNI name as "did not find" reports it ("$" kept)
    bool registered;         // false: exported for the VM's name lookup only
    const char* family;      // the folder that implements it
};

struct ClassRow {
    const char* slashName;
    Registrar registrar;
    const NativeRow* natives;
    int count;
};

// Registration tables live on the stack of the registering call.
constexpr int kMaxNativesPerClass = 16;

extern const ClassRow kNativeClasses[];
extern const int kNativeClassCount;

}  // namespace wbnative
