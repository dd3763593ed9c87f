#include "wbnative_test.h"

#include <cctype>
#include <cstdarg>
#include <mutex>
#include <sstream>

namespace wbtest {

namespace {
std::mutex gErrorsMutex;
std::vector<std::wstring> gErrors;
}  // namespace

HMODULE library() {
    static HMODULE module = LoadLibraryW(WBNATIVE_DLL);
    EXPECT_NE(module, nullptr) << "LoadLibraryW of wbnative failed: " << GetLastError();
    return module;
}

namespace {

// javac's headers write a member class in a signature with "/" where the VM
// has "$" ("ObjectPicker/Result"); package names are lower case, class names
// are not, so every "/" after a class name's segment is a "$".
std::string vmSignature(const std::string& javac) {
    std::string out;
    bool inName = false, afterClass = false;
    for (size_t i = 0; i < javac.size(); ++i) {
        char c = javac[i];
        if (!inName && c == 'L') {
            inName = true;
            afterClass = false;
        } else if (inName && c == ';') {
            inName = false;
        } else if (inName && c == '/' && afterClass) {
            c = '$';
        } else if (inName && (out.empty() || out.back() == '/' || out.back() == 'L' || out.back() == '$') &&
                   isupper(static_cast<unsigned char>(c))) {
            afterClass = true;
        }
        out += c;
    }
    return out;
}

}  // namespace

const std::vector<qarjvm::NativeDecl>& javaNatives() {
    static const std::vector<qarjvm::NativeDecl> natives = [] {
        std::vector<qarjvm::NativeDecl> all = qarjvm::loadNatives(WBNATIVE_JAVA_NATIVES);
        for (qarjvm::NativeDecl& n : all) n.signature = vmSignature(n.signature);
        return all;
    }();
    return natives;
}

bool familyBuilt(const std::string& family) {
    std::stringstream built(WBNATIVE_BUILT_FAMILIES);
    for (std::string name; std::getline(built, name, ',');)
        if (name == family) return true;
    return false;
}

FARPROC lookup(HMODULE module, const std::string& cls, const std::string& method) {
    std::string full = cls.find('/') == std::string::npos ? kWin32 + cls : cls;
    const qarjvm::NativeDecl* decl = qarjvm::findNative(javaNatives(), full, method);
    return decl ? qarjvm::lookupNative(module, *decl) : nullptr;
}

FARPROC lookupJni(HMODULE module, const std::string& jniName) {
    for (const qarjvm::NativeDecl& n : javaNatives())
        if (n.jniName == jniName) return qarjvm::lookupNative(module, n);
    ADD_FAILURE() << "javac declared no native " << jniName;
    return nullptr;
}

extern "C" void __cdecl recordError(const wchar_t* format, ...) {
    // msvcrt's own formatter: a host built with Microsoft's compiler reads
    // "%S" as a narrow string, as the library expects.
    typedef int(__cdecl * Formatter)(wchar_t*, size_t, const wchar_t*, va_list);
    static Formatter format_ =
        reinterpret_cast<Formatter>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_vsnwprintf")));
    wchar_t text[1024] = {};
    va_list args;
    va_start(args, format);
    format_(text, 1023, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(gErrorsMutex);
    gErrors.push_back(text);
}

std::vector<std::wstring> takeErrors() {
    std::lock_guard<std::mutex> lock(gErrorsMutex);
    std::vector<std::wstring> out;
    out.swap(gErrors);
    return out;
}

}  // namespace wbtest
