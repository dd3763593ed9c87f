#include "natives.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace qarjvm {

std::vector<NativeDecl> loadNatives(const std::wstring& path) {
    std::vector<NativeDecl> out;
    std::ifstream in(path.c_str());
    if (!in) {
        ADD_FAILURE() << "cannot read the natives table";
        return out;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::istringstream fields(line);
        NativeDecl n;
        std::string bytes;
        if (!std::getline(fields, n.className, '\t') || !std::getline(fields, n.method, '\t') ||
            !std::getline(fields, n.signature, '\t') || !std::getline(fields, n.jniName, '\t') ||
            !std::getline(fields, bytes)) {
            ADD_FAILURE() << "malformed line in the natives table: " << line;
            continue;
        }
        n.argBytes = std::stoi(bytes);
        out.push_back(n);
    }
    return out;
}

std::string exportName(const NativeDecl& native) {
#ifdef _WIN64
    return native.jniName;
#else
    return "_" + native.jniName + "@" + std::to_string(native.argBytes);
#endif
}

FARPROC lookupNative(HMODULE module, const NativeDecl& native) {
    return GetProcAddress(module, exportName(native).c_str());
}

const NativeDecl* findNative(const std::vector<NativeDecl>& natives, const std::string& className,
                             const std::string& method) {
    for (const NativeDecl& n : natives)
        if (n.className == className && n.method == method) return &n;
    ADD_FAILURE() << "no native " << className << "." << method << " in the table";
    return nullptr;
}

void declareNatives(Jvm& vm, const std::vector<NativeDecl>& natives) {
    for (const NativeDecl& n : natives) vm.defineClass(n.className).nativeMethod(n.method, n.signature);
}

}  // namespace qarjvm
