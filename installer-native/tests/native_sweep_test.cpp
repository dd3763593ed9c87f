// Every native of natives.table, through the strict stand-in VM:
//   - arguments: each array, string, length, offset, handle and flag argument
//     in turn null, empty, short, negative or huge, the others valid;
//   - failure injection: the 1st, 2nd, ... allocation or copy the native asks
//     of the VM fails, until a run no longer reaches the failure.
// The natives come from the table (WBNATIVE_NATIVES) and their call thunks
// from the generated prototypes, so a native added to the table is swept
// without a line here. The stand-in fails the test for a JNI call made with
// an exception pending, a pin or local frame left behind, or a returned
// exception; the sweep adds crashes (the Campaign names the case) and, for
// natives that act, changes to the test-owned objects that the successful
// call would not make.
#include "fuzz.h"
#include "native_list.h"
#include "wbnative_test.h"

#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace {

using qarjvm::Jvm;

// ---- the natives, from the table ----

using Thunk = jvalue (*)(Jvm& vm, FARPROC fn, jobject receiver, const std::vector<jvalue>& args);

template <typename T>
T fromValue(const jvalue& v) {
    if constexpr (std::is_same_v<T, jboolean>) return v.z;
    else if constexpr (std::is_same_v<T, jint>) return v.i;
    else if constexpr (std::is_same_v<T, jlong>) return v.j;
    else if constexpr (std::is_same_v<T, jbyte>) return v.b;
    else if constexpr (std::is_same_v<T, jchar>) return v.c;
    else if constexpr (std::is_same_v<T, jshort>) return v.s;
    else if constexpr (std::is_same_v<T, jfloat>) return v.f;
    else if constexpr (std::is_same_v<T, jdouble>) return v.d;
    else return static_cast<T>(v.l);
}

template <typename R, typename Recv, typename... P, size_t... I>
jvalue invoke(Jvm& vm, R(JNICALL* fn)(JNIEnv*, Recv, P...), jobject receiver, const std::vector<jvalue>& a,
              std::index_sequence<I...>) {
    jvalue out{};
    if constexpr (std::is_void_v<R>) {
        vm.call(fn, static_cast<Recv>(receiver), fromValue<P>(a[I])...);
    } else if constexpr (std::is_pointer_v<R>) {
        out.l = vm.call(fn, static_cast<Recv>(receiver), fromValue<P>(a[I])...);
    } else if constexpr (std::is_same_v<R, jlong>) {
        out.j = vm.call(fn, static_cast<Recv>(receiver), fromValue<P>(a[I])...);
    } else if constexpr (std::is_same_v<R, jint>) {
        out.i = vm.call(fn, static_cast<Recv>(receiver), fromValue<P>(a[I])...);
    } else {
        out.z = vm.call(fn, static_cast<Recv>(receiver), fromValue<P>(a[I])...);
    }
    return out;
}

// A thunk for the prototype's type; the pointer only carries the type.
template <typename R, typename Recv, typename... P>
Thunk thunkFor(R(JNICALL*)(JNIEnv*, Recv, P...)) {
    return [](Jvm& vm, FARPROC f, jobject receiver, const std::vector<jvalue>& a) -> jvalue {
        auto fn = reinterpret_cast<R(JNICALL*)(JNIEnv*, Recv, P...)>(reinterpret_cast<void (*)()>(f));
        return invoke(vm, fn, receiver, a, std::index_sequence_for<P...>{});
    };
}

struct NativeInfo {
    std::string cls;  // slash form
    std::string method;
    std::string signature;
    std::string family;
    std::string jni;
    Thunk thunk;
    std::string name() const { return cls.substr(cls.rfind('/') + 1) + "." + method; }
};

const std::vector<NativeInfo>& natives() {
#define WBNATIVE_ROW(cls, method, signature, family, function) \
    {cls, method, signature, family, #function, thunkFor(static_cast<decltype(&function)>(nullptr))},
    static const std::vector<NativeInfo> all = {WBNATIVE_NATIVES(WBNATIVE_ROW)};
#undef WBNATIVE_ROW
    return all;
}

std::vector<std::string> families() {
    std::vector<std::string> out;
    for (const NativeInfo& n : natives())
        if (std::find(out.begin(), out.end(), n.family) == out.end()) out.push_back(n.family);
    return out;
}

// The parameters' descriptors of a JNI signature.
std::vector<std::string> parameters(const std::string& signature) {
    std::vector<std::string> out;
    size_t i = 1;
    while (i < signature.size() && signature[i] != ')') {
        size_t start = i;
        while (signature[i] == '[') ++i;
        if (signature[i] == 'L') i = signature.find(';', i);
        ++i;
        out.push_back(signature.substr(start, i - start));
    }
    return out;
}

// Natives that are never called here, and why.
const std::map<std::string, std::string> kNeverCalled = {
    {"Misc.reboot0", "restarts the machine (under Wine: ends the session)"},
    {"Misc.broadcastSettingChange0",
     "sends WM_SETTINGCHANGE to every top-level window, other tests' too, waiting up to 5 s for each that hangs"},
    {"VistaFileChooser.displayDialog0", "a modal file dialog that nobody closes in a test process"},
    {"VistaTaskDialog.show0", "a modal task dialog that nobody closes in a test process"},
};

// ---- the objects the sweep owns ----

constexpr wchar_t kSweepKey[] = L"Software\\QAR wbnative sweeps";


// A registry key, a folder of files and a service that the natives act on;
// restore() puts them back as they were, state() describes them.
class World {
public:
    explicit World(bool withService) : withService_(withService) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir_ = std::wstring(temp) + L"qar-native-sweep-" + std::to_wstring(GetCurrentProcessId());
        key_ = std::wstring(kSweepKey) + L"\\" + std::to_wstring(GetCurrentProcessId());
        service_ = L"QARSweep" + std::to_wstring(GetCurrentProcessId());
        if (withService_) scm_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        restore();
    }
    ~World() {
        clear();
        deleteService();
        if (scm_) CloseServiceHandle(scm_);
    }

    const std::wstring& key() const { return key_; }
    std::wstring file() const { return dir_ + L"\\file.txt"; }
    std::wstring newFile(const wchar_t* name) const { return dir_ + L"\\" + name; }
    const std::wstring& service() const { return service_; }

    void restore() {
        clear();
        CreateDirectoryW(dir_.c_str(), nullptr);
        writeFile(file(), "content");
        HKEY key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegSetValueExW(key, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"text"), 10);
            DWORD one = 1;
            RegSetValueExW(key, L"d", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
            HKEY sub;
            if (RegCreateKeyExW(key, L"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS)
                RegCloseKey(sub);
            RegCloseKey(key);
        }
        if (scm_) restoreService();
    }

    // The test-owned objects as text: keys and values, files, the service.
    std::string state() {
        std::ostringstream out;
        describeKey(out, HKEY_CURRENT_USER, key_, "");
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                // Only the size of files a native wrote: a saved hive holds its time.
                std::string text = readFile(dir_ + L"\\" + name);
                out << "file " << narrow(name) << " " << (name == L"file.txt" ? text : text.substr(0, text.find(':')))
                    << "\n";
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        out << serviceState();
        return out.str();
    }

private:
    static std::string narrow(const std::wstring& s) {
        std::string out;
        for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
        return out;
    }
    static void writeFile(const std::wstring& path, const std::string& text) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        DWORD written;
        WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(h);
    }
    static std::string readFile(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "(unreadable)";
        std::string text(4096, '\0');
        DWORD read = 0;
        if (!ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
        CloseHandle(h);
        text.resize(read);
        return std::to_string(read) + ":" + text;
    }
    static void describeKey(std::ostringstream& out, HKEY root, const std::wstring& path, const std::string& indent) {
        HKEY key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            out << indent << "(no key)\n";
            return;
        }
        for (DWORD i = 0;; ++i) {
            wchar_t name[512];
            DWORD nameChars = 512, type = 0, size = 0;
            std::vector<BYTE> data(65536);
            size = static_cast<DWORD>(data.size());
            if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
            out << indent << "value " << narrow(name) << " " << type << " " << size << " ";
            for (DWORD b = 0; b < size; ++b) out << static_cast<int>(data[b]) << ",";
            out << "\n";
        }
        std::vector<std::wstring> subs;
        for (DWORD i = 0;; ++i) {
            wchar_t name[512];
            DWORD nameChars = 512;
            if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            subs.push_back(name);
        }
        RegCloseKey(key);
        for (const std::wstring& sub : subs) {
            out << indent << "key " << narrow(sub) << "\n";
            describeKey(out, root, path + L"\\" + sub, indent + "  ");
        }
    }
    std::string serviceState() {
        if (!scm_) return "";
        SC_HANDLE s = OpenServiceW(scm_, service_.c_str(), SERVICE_QUERY_CONFIG);
        if (!s) return "no service\n";
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        std::ostringstream out;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(s, config, static_cast<DWORD>(buffer.size()), &needed)) {
            out << "service " << config->dwServiceType << " " << config->dwStartType << " "
                << narrow(config->lpBinaryPathName ? config->lpBinaryPathName : L"") << " "
                << narrow(config->lpDisplayName ? config->lpDisplayName : L"") << " "
                << narrow(config->lpServiceStartName ? config->lpServiceStartName : L"") << "\n";
        }
        CloseServiceHandle(s);
        return out.str();
    }
    // The service as restore() leaves it: changed back when it is there,
    // else made anew. A service just deleted stays "marked for deletion"
    // until the service manager lets it go, which nothing signals.
    void restoreService() {
        const wchar_t* binary = L"C:\\qar-sweep-nonexistent.exe";
        if (SC_HANDLE s = OpenServiceW(scm_, service_.c_str(), SERVICE_ALL_ACCESS)) {
            ChangeServiceConfigW(s, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary,
                                 nullptr, nullptr, L"", L"LocalSystem", L"", service_.c_str());
            CloseServiceHandle(s);
            return;
        }
        for (int attempt = 0; attempt < 200; ++attempt) {
            SC_HANDLE s = CreateServiceW(scm_, service_.c_str(), service_.c_str(), SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
            if (s) {
                CloseServiceHandle(s);
                return;
            }
            if (GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) break;
            Sleep(10);
        }
        ADD_FAILURE() << "the test service could not be made: " << GetLastError();
    }
    void clear() {
        RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key_.c_str());
        RegDeleteTreeW(HKEY_CURRENT_CONFIG, key_.c_str());
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring path = dir_ + L"\\" + found.cFileName;
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(dir_.c_str());
    }
    void deleteService() {
        if (scm_) {
            SC_HANDLE s = OpenServiceW(scm_, service_.c_str(), DELETE);
            if (s) {
                DeleteService(s);
                CloseServiceHandle(s);
            }
        }
    }

    bool withService_;
    std::wstring dir_, key_, service_;
    SC_HANDLE scm_ = nullptr;
};

// ---- values ----

// One value of an argument. made: references are made when the case runs
// (a fresh connection, say); dispose undoes what make did.
struct Candidate {
    std::string label;
    jvalue value{};
    std::function<jvalue()> make;
    std::function<void(jvalue)> dispose;
};

Candidate fixed(const std::string& label, jvalue v) { return {label, v, {}, {}}; }

class Sweep;

// How one native is called: the candidates of each argument, the first of
// each list being the valid one, and what runs around a call.
struct Plan {
    std::vector<std::vector<Candidate>> args;
    bool acts = false;  // changes test-owned objects: restored around each call
    std::function<void(jvalue)> disposeResult;  // frees what a returned handle holds

    // Keeps the valid value and those of argument i with the given labels.
    void only(size_t i, std::initializer_list<const char*> labels) {
        std::vector<Candidate> kept{args[i][0]};
        for (size_t c = 1; c < args[i].size(); ++c)
            for (const char* l : labels)
                if (args[i][c].label == l) kept.push_back(args[i][c]);
        args[i] = kept;
    }
    void without(size_t i, std::initializer_list<const char*> labels) {
        std::vector<Candidate> kept;
        for (const Candidate& c : args[i])
            if (std::none_of(labels.begin(), labels.end(), [&](const char* l) { return c.label == l; }))
                kept.push_back(c);
        args[i] = kept;
    }
    void valid(size_t i, Candidate c) {
        c.label = "valid";
        args[i][0] = std::move(c);
    }
};

constexpr char kWin32[] = "com/wizbuild/runtime/installer/platform/win32/";
constexpr char kWndProc[] = "com/wizbuild/runtime/laf/WindowsNativeBorder$WndProc";
constexpr char kPeer[] = "sun/awt/windows/WWindowPeer";

class Sweep {
public:
    explicit Sweep(const std::string& family) : family_(family), world_(family == "services") { defineClasses(); }

    Jvm& vm() { return vm_; }
    World& world() { return world_; }

    jvalue str(const std::wstring& s) { return qarjvm::jvObject(vm_.newString(s)); }

    // The candidates of one argument by its type; the first is valid.
    std::vector<Candidate> byType(const std::string& d) {
        const jvalue null = qarjvm::jvObject(nullptr);
        switch (d[0]) {
        case 'Z':
            return {fixed("false", qarjvm::jvBool(false)), fixed("true", qarjvm::jvBool(true))};
        case 'I':
            return {fixed("0", qarjvm::jv(0)),         fixed("1", qarjvm::jv(1)),
                    fixed("-1", qarjvm::jv(-1)),       fixed("min", qarjvm::jv(INT_MIN)),
                    fixed("max", qarjvm::jv(INT_MAX)), fixed("64Ki", qarjvm::jv(65536))};
        case 'J':
            // Handles: null and invalid; a stale or foreign handle value is
            // no argument Java code can make.
            return {fixed("0", qarjvm::jvLong(0)), fixed("-1", qarjvm::jvLong(-1))};
        case '[':
            if (d == "[B") {
                return {fixed("short", qarjvm::jvObject(vm_.newArray<jbyte>({'a', 'b', 'c', 0, 1, 2, 3, 4}))),
                        fixed("null", null), fixed("empty", qarjvm::jvObject(vm_.newArray<jbyte>({}))),
                        fixed("one", qarjvm::jvObject(vm_.newArray<jbyte>({'a'}))),
                        fixed("huge", qarjvm::jvObject(vm_.newArray<jbyte>(std::vector<jbyte>(100000, 'a'))))};
            }
            if (d == "[I") {
                return {fixed("short", qarjvm::jvObject(vm_.newArray<jint>({0x7FFFFFFC}))), fixed("null", null),
                        fixed("empty", qarjvm::jvObject(vm_.newArray<jint>({}))),
                        fixed("negative", qarjvm::jvObject(vm_.newArray<jint>({-1, INT_MIN}))),
                        fixed("huge", qarjvm::jvObject(vm_.newArray<jint>(std::vector<jint>(4096, 0x7FFFFFFC))))};
            }
            if (d == "[Z") {
                return {fixed("short", qarjvm::jvObject(vm_.newArray<jboolean>({0}))), fixed("null", null),
                        fixed("empty", qarjvm::jvObject(vm_.newArray<jboolean>({}))),
                        fixed("huge", qarjvm::jvObject(vm_.newArray<jboolean>(std::vector<jboolean>(4096, 1))))};
            }
            if (d == "[Ljava/lang/String;") {
                std::vector<jobject> many(1000, vm_.newString(L"x"));
                return {fixed("short", qarjvm::jvObject(vm_.newObjectArray("java/lang/String", {vm_.newString(L"a")}))),
                        fixed("null", null),
                        fixed("empty", qarjvm::jvObject(vm_.newObjectArray("java/lang/String", {}))),
                        fixed("null-element", qarjvm::jvObject(vm_.newObjectArray("java/lang/String", {nullptr}))),
                        fixed("empty-element",
                              qarjvm::jvObject(vm_.newObjectArray("java/lang/String", {vm_.newString(L"")}))),
                        fixed("huge-element", qarjvm::jvObject(vm_.newObjectArray("java/lang/String", {huge_}))),
                        fixed("huge", qarjvm::jvObject(vm_.newObjectArray("java/lang/String", many)))};
            }
            return {fixed("null", null)};
        case 'L':
            if (d == "Ljava/lang/String;") {
                return {fixed("valid", str(world_.file())), fixed("null", null), fixed("empty", str(L"")),
                        fixed("short", str(L"x")), fixed("huge", qarjvm::jvObject(huge_)),
                        fixed("nul-inside", str(std::wstring(L"a\0b", 3)))};
            }
            if (d == "Ljava/lang/Class;") {
                return {fixed("valid", qarjvm::jvObject(vm_.findClass("java/lang/Object"))), fixed("null", null),
                        fixed("string-class", qarjvm::jvObject(vm_.findClass("java/lang/String")))};
            }
            if (d == "Ljava/lang/Object;") {
                return {fixed("valid", qarjvm::jvObject(vm_.newObject("java/lang/Object"))), fixed("null", null),
                        fixed("string", str(L"x")), fixed("integer", qarjvm::jvObject(vm_.boxInt(-1)))};
            }
            if (d == "Ljava/lang/reflect/Method;") {
                return {fixed("valid", qarjvm::jvObject(vm_.reflectedMethod(kPeer, "getHWnd", "()J"))),
                        fixed("null", null)};
            }
            {
                // Java's types guarantee the class: an instance of it, or null.
                std::string cls = d.substr(1, d.size() - 2);
                return {fixed("valid", qarjvm::jvObject(vm_.newObject(cls))), fixed("null", null)};
            }
        }
        ADD_FAILURE() << "no values for the type " << d;
        return {fixed("zero", jvalue{})};
    }

    Plan plan(const NativeInfo& n) {
        Plan p;
        for (const std::string& d : parameters(n.signature)) p.args.push_back(byType(d));
        adjust(n, p);
        return p;
    }

    jobject receiver(const NativeInfo& n) {
        if (n.cls == kWndProc) return vm_.newObject(kWndProc);
        return vm_.findClass(n.cls);
    }

    FARPROC function(const NativeInfo& n) { return wbtest::lookupJni(wbtest::library(), n.jni); }

    // One call with the given candidate of each argument.
    jvalue call(const NativeInfo& n, const Plan& p, const std::vector<const Candidate*>& chosen,
                const std::function<void()>& arm = {}) {
        std::vector<jvalue> args;
        for (const Candidate* c : chosen) args.push_back(c->make ? c->make() : c->value);
        jobject self = receiver(n);
        if (arm) arm();
        jvalue result = n.thunk(vm_, function(n), self, args);
        lastReached_ = arm && vm_.unusedFailures() == 0;
        vm_.disarmFailures();
        vm_.takeException();
        if (p.disposeResult) p.disposeResult(result);
        for (size_t i = 0; i < chosen.size(); ++i)
            if (chosen[i]->dispose) chosen[i]->dispose(args[i]);
        return result;
    }

    // A WinInet state object (init0 done) with an open request to a closed
    // local port: connect0 (agent, access type, proxy, bypass, open flags,
    // server, port, connect flags).
    jvalue connection(bool withRequest) {
        const NativeInfo& init = find("WinInet.init0");
        init.thunk(vm_, function(init), receiver(init), {});
        const NativeInfo& connect = find("WinInet.connect0");
        std::vector<jvalue> a = {str(L"qar sweep"), qarjvm::jv(1), qarjvm::jvObject(nullptr),
                                 qarjvm::jvObject(nullptr), qarjvm::jv(0), str(L"127.0.0.1"),
                                 qarjvm::jv(1), qarjvm::jv(0)};
        jvalue handle = connect.thunk(vm_, function(connect), receiver(connect), a);
        if (withRequest && handle.j) {
            const NativeInfo& open = find("WinInet.openRequest0");
            open.thunk(vm_, function(open), receiver(open),
                       {handle, str(L"GET"), str(L"/"), qarjvm::jv(0), qarjvm::jv(0)});
        }
        return handle;
    }
    void destroy(jvalue handle) {
        if (!handle.j) return;
        const NativeInfo& d = find("WinInet.destroy0");
        d.thunk(vm_, function(d), receiver(d), {handle});
    }

    // Whether the failure armed for the last call happened.
    bool lastReached() const { return lastReached_; }

    static const NativeInfo& find(const std::string& name) {
        for (const NativeInfo& n : natives())
            if (n.name() == name) return n;
        ADD_FAILURE() << "no native " << name;
        return natives()[0];
    }

private:
    void defineClasses();
    void adjust(const NativeInfo& n, Plan& p);

    std::string family_;
    World world_;
    Jvm vm_;
    jstring huge_ = nullptr;
    bool lastReached_ = false;
};

void Sweep::defineClasses() {
    for (const qarjvm::NativeDecl& n : wbtest::javaNatives()) vm_.defineClass(n.className).nativeMethod(n.method, n.signature);
    vm_.defineClass("com/wizbuild/api/windows/WinRegistry$ExpandString").constructor("(Ljava/lang/String;)V");
    vm_.defineClass("com/wizbuild/api/windows/WindowInfo").constructor("(JILjava/lang/String;Ljava/lang/String;)V");
    vm_.defineClass(std::string(kWin32) + "ObjectPicker$Result")
        .constructor("(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V");
    vm_.defineClass("java/awt/peer/ComponentPeer");
    vm_.defineClass("java/awt/Component").field("peer", "Ljava/awt/peer/ComponentPeer;");
    vm_.defineClass("java/awt/Window", "java/awt/Component");
    vm_.defineClass(kPeer, "java/awt/peer/ComponentPeer")
        .field("hwnd", "J")
        .method("getHWnd", "()J", [](qarjvm::JavaCall& c) { return c.vm.getField(c.self, "hwnd"); });
    vm_.defineClass(kWndProc)
        .method("isFullscreen", "()Z", [](qarjvm::JavaCall&) { return qarjvm::jvBool(false); })
        .method("onNcHitTest", "(IIZ)I", [](qarjvm::JavaCall&) { return qarjvm::jv(HTCLIENT); })
        .method("fireStateChangedLaterOnce", "()V", [](qarjvm::JavaCall&) { return qarjvm::jv(0); });
    vm_.defineClass("java/lang/ClassLoader");
    huge_ = vm_.newString(std::wstring(100000, L'a'));
}

// Valid arguments that point at test-owned objects, and the values left out
// where a call would act outside them (with the reason).
void Sweep::adjust(const NativeInfo& n, Plan& p) {
    const std::string name = n.name();
    const std::string& m = n.method;
    auto s = [this](const std::wstring& text) { return fixed("valid", str(text)); };
    // Strings that name files: relative names ("x", "a") would act in the
    // current directory, outside the test's folder.
    auto fileArg = [&](size_t i, const std::wstring& path) {
        p.valid(i, s(path));
        p.without(i, {"short", "nul-inside"});
    };

    if (n.family == "registry" && !p.args.empty()) {
        // (root, path, ...): HKCU and the test's key. A null or empty path
        // names the root key itself: only natives that read may get one.
        p.valid(0, fixed("valid", qarjvm::jv(2)));
        p.args[0].push_back(fixed("HKLM", qarjvm::jv(3)));
        p.args[0].push_back(fixed("HKCR", qarjvm::jv(1)));
        if (p.args.size() > 1) {
            p.valid(1, s(world_.key()));
            p.args[1].push_back(fixed("new-subkey", str(world_.key() + L"\\new")));
            p.without(1, {"short", "nul-inside"});
        }
        bool writes = m == "createKey0" || m == "setValue0" || m == "deleteValue0" || m == "restoreKey0";
        if (writes) p.without(1, {"null", "empty"});
        p.acts = writes || m == "deleteKey0" || m == "saveKey0";
        if (m == "getValue0" || m == "deleteValue0") p.valid(2, s(L"v"));
        if (m == "setValue0") {
            p.valid(2, s(L"w"));
            p.valid(3, fixed("valid", str(L"text")));
            p.args[3].push_back(fixed("bytes", qarjvm::jvObject(vm_.newArray<jbyte>({1, 2}))));
            p.args[3].push_back(fixed("long", qarjvm::jvObject(vm_.boxLong(-1))));
            p.args[3].push_back(fixed("strings", qarjvm::jvObject(vm_.newObjectArray("java/lang/String",
                                                                                     {nullptr, vm_.newString(L"")}))));
            p.valid(4, fixed("valid", qarjvm::jv(1)));
            for (int type : {2, 3, 4, 5, 6, 7, 11}) p.args[4].push_back(fixed("type" + std::to_string(type), qarjvm::jv(type)));
        }
        if (m == "saveKey0") fileArg(2, world_.newFile(L"saved.hive"));
        if (m == "restoreKey0") fileArg(2, world_.newFile(L"missing.hive"));
    }
    if (n.family == "services") {
        // The first argument names the service: the test's own. A service of
        // another name would be created or changed in the prefix.
        p.valid(0, s(world_.service()));
        p.only(0, {"null", "empty", "huge", "nul-inside"});
        p.acts = m != "queryStatus0" && m != "getStartType0" && m != "getServiceBinary0";
        if (m == "installService0") p.valid(2, s(L"C:\\qar-sweep-nonexistent.exe"));
        if (m == "startService0") p.without(1, {"huge"});  // a thousand start arguments for a missing program
    }
    if (name == "Misc.moveWithDelayUntilReboot0") {
        // Writes PendingFileRenameOperations: only the test's own files.
        fileArg(0, world_.file());
        fileArg(1, world_.newFile(L"moved.txt"));
        p.without(0, {"empty"});
    }
    if (name == "Misc.terminateProcesses0") {
        // Only process ids that no process has (the int[] values are such).
    }
    if (name == "Win32Handle.close0") {
        // Closes a handle of this process by its value: only values that no
        // handle has (0, -1 the process itself, out of range).
        p.only(0, {"-1", "min", "max"});
    }
    if (name == "Win32Exec.launch0") fileArg(0, world_.newFile(L"missing.exe"));
    if (name == "Win32UserInfo.executeElevated0") {
        // Starts the program it names: only a missing one (an empty name
        // opens a folder window).
        fileArg(0, world_.newFile(L"missing.exe"));
        p.without(0, {"empty"});
    }
    if (name == "ShellLink.createWide0" || name == "ShellLink.create0") {
        fileArg(0, world_.newFile(L"sweep.lnk"));
        p.acts = true;
    }
    if (name == "ACLHandling.addACE") {
        fileArg(0, world_.file());
        p.acts = true;
    }
    if (name == "Win32CommunicationBackend.connectClient0") {
        // Retries for 100 s while the pipe does not exist: only null.
        p.only(0, {"null"});
    }
    if (name == "Win32CommunicationBackend.connectNamedPipe0") {
        // Waits (and retries) about five minutes for a client: only the
        // handle that reads as absent.
        p.args[0] = {fixed("-1", qarjvm::jvLong(-1))};
    }
    if (name == "Win32CommunicationBackend.readDataBlock0" || name == "Win32CommunicationBackend.writeDataBlock0" ||
        name == "Win32CommunicationBackend.disconnectNamedPipe0" || name == "Win32CommunicationBackend.closeHandle0") {
        // A connected pipe of the test's own, one block waiting to be read,
        // and a reader that drains what is written (writeDataBlock0 waits
        // until its block was read).
        struct Pair {
            HANDLE client;
            std::thread reader;
        };
        auto pairs = std::make_shared<std::map<jlong, Pair>>();
        Candidate c{"valid", {},
                    [pairs] {
                        std::wstring path = L"\\\\.\\pipe\\qar-native-sweep-pair-" + std::to_wstring(GetCurrentProcessId());
                        HANDLE server = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 65536,
                                                         65536, 0, nullptr);
                        HANDLE client = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                    OPEN_EXISTING, 0, nullptr);
                        DWORD written;
                        WriteFile(client, "\x03\0\0\0abc", 7, &written, nullptr);
                        jlong h = static_cast<jlong>(reinterpret_cast<intptr_t>(server));
                        Pair& pair = (*pairs)[h];
                        pair.client = client;
                        pair.reader = std::thread([client] {
                            char buffer[4096];
                            DWORD read;
                            while (ReadFile(client, buffer, sizeof buffer, &read, nullptr)) {
                            }
                        });
                        return qarjvm::jvLong(h);
                    },
                    [pairs, m](jvalue h) {
                        Pair& pair = (*pairs)[h.j];
                        // The server end closed (by the native or here) ends the reader.
                        if (m != "closeHandle0") CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(h.j)));
                        pair.reader.join();
                        CloseHandle(pair.client);
                        pairs->erase(h.j);
                    }};
        p.valid(0, c);
    }
    if (name == "Win32CommunicationBackend.createListener0") {
        p.valid(0, s(L"\\\\.\\pipe\\qar-native-sweep-" + std::to_wstring(GetCurrentProcessId())));
        p.without(0, {"short", "nul-inside"});
        p.disposeResult = [](jvalue handle) {
            if (static_cast<int32_t>(handle.j) != -1 && handle.j)
                CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle.j)));
        };
    }
    if (name == "Win32Proxy.getAutoProxyConfig0") {
        // Auto-detection (flag 1) asks the network for WPAD: flags without it.
        p.valid(1, s(L"http://127.0.0.1:1/"));
        p.valid(2, s(L"http://127.0.0.1:1/proxy.pac"));
        p.args[3] = {fixed("valid", qarjvm::jv(2)), fixed("0", qarjvm::jv(0)), fixed("min", qarjvm::jv(INT_MIN)),
                     fixed("even-max", qarjvm::jv(INT_MAX - 1))};
    }
    if (n.cls == std::string(kWin32) + "Win32Proxy" && !p.args.empty()) {
        p.valid(0, fixed("valid", qarjvm::jvObject(vm_.newObjectArray("java/lang/String",
                                                                      std::vector<jobject>(8, nullptr)))));
    }
    if (n.family == "wininet") {
        auto params = parameters(n.signature);
        if (!params.empty() && params[0] == "J") {
            // A fresh state object per call (destroy0 frees it); only null
            // besides: a stale pointer is no argument Java code can make.
            Candidate c{"valid", {}, [this] { return connection(true); }, {}};
            if (m != "destroy0") c.dispose = [this](jvalue h) { destroy(h); };
            p.args[0] = {c, fixed("0", qarjvm::jvLong(0))};
        }
        if (m == "connect0") {
            p.valid(0, s(L"qar sweep"));
            p.valid(1, fixed("valid", qarjvm::jv(1)));
            p.valid(4, fixed("valid", qarjvm::jv(0)));
            p.valid(5, s(L"127.0.0.1"));
            p.valid(6, fixed("valid", qarjvm::jv(1)));
            p.valid(7, fixed("valid", qarjvm::jv(0)));
            p.disposeResult = [this](jvalue h) { destroy(h); };
        }
        if (m == "openRequest0") {
            p.valid(1, s(L"GET"));
            p.valid(2, s(L"/"));
        }
        if (m == "read0") {
            p.valid(2, fixed("valid", qarjvm::jv(0)));
            p.valid(3, fixed("valid", qarjvm::jv(8)));
        }
        if (m == "internetErrorDlg0") {
            // A live request shows a dialog: only the null state object.
            p.only(0, {"0"});
        }
    }
    if (name == "WinGuiHelper.createHIcon0") {
        p.valid(1, fixed("valid", qarjvm::jv(0)));
        p.valid(2, fixed("valid", qarjvm::jv(8)));
        p.disposeResult = [](jvalue icon) {
            if (icon.j) DestroyIcon(reinterpret_cast<HICON>(static_cast<intptr_t>(icon.j)));
        };
    }
    if (name == "WinGuiHelper.getPeer0")
        p.valid(1, fixed("valid", qarjvm::jvObject(vm_.findClass("java/awt/Component"))));
    if (name == "WinGuiHelper.getHwnd0") {
        // The Java caller passes a peer and its own getHWnd method: an
        // object of another class with that method is no call Java makes.
        p.valid(0, fixed("valid", qarjvm::jvObject(vm_.newObject(kPeer))));
        p.only(0, {"null"});
    }
    if (name == "Misc.getTopLevelWindows0")
        p.valid(0, fixed("valid", qarjvm::jvObject(vm_.findClass("com/wizbuild/api/windows/WindowInfo"))));
    if (name == "Misc.registerExtensionFunctions0") p.valid(1, s(L"noSuchExtension"));
    // Wine keeps accounts inside the calling process only; the server
    // argument of the deleting natives stays local.
    if (name == "Win32UserInfo.addUser0") {
        // Wine's NetUserAdd reads through a null user name, password or
        // comment (a fault of Wine's netapi32 stub, not here): never null.
        p.valid(0, s(L"qarsweep"));
        for (size_t i : {0, 1, 2}) p.without(i, {"null"});
    }
    if (name == "Win32UserInfo.deleteUser0" || name == "Win32UserInfo.deleteLocalGroup0") {
        p.valid(0, fixed("valid", qarjvm::jvObject(nullptr)));
        p.only(0, {});
        p.valid(1, s(L"qarsweep"));
        p.without(1, {"null"});  // Wine's stub reads through a null name too
    }
}

// QAR_SWEEP_VERBOSE=1 prints each case before it runs (a case that hangs).
bool verbose() {
    static const bool on = GetEnvironmentVariableW(L"QAR_SWEEP_VERBOSE", nullptr, 0) != 0;
    return on;
}

bool neverCalled(const NativeInfo& n) { return kNeverCalled.count(n.name()) != 0; }

std::string describe(const NativeInfo& n, const std::string& what) { return n.name() + " " + what; }

class NativeSweep : public ::testing::TestWithParam<std::string> {};

// Every argument in turn through its values, the others valid.
TEST_P(NativeSweep, Arguments) {
    Sweep sweep(GetParam());
    qarfuzz::Campaign campaign("wbnative." + GetParam(), "arguments");
    size_t swept = 0;
    for (const NativeInfo& n : natives()) {
        if (n.family != GetParam() || neverCalled(n)) continue;
        ASSERT_NE(sweep.function(n), nullptr) << n.jni;
        ++swept;
        Plan p = sweep.plan(n);
        std::vector<const Candidate*> chosen;
        for (const auto& values : p.args) chosen.push_back(&values[0]);
        auto run = [&](const std::string& what) {
            std::string text = describe(n, what);
            if (verbose()) printf("%llu %s\n", static_cast<unsigned long long>(GetTickCount64()), text.c_str()), fflush(stdout);
            SCOPED_TRACE(text);
            campaign.begin(text.data(), text.size());
            if (p.acts) sweep.world().restore();
            sweep.call(n, p, chosen);
        };
        run("all valid");
        for (size_t i = 0; i < p.args.size(); ++i) {
            for (size_t c = 1; c < p.args[i].size(); ++c) {
                chosen[i] = &p.args[i][c];
                run("argument " + std::to_string(i + 1) + " " + p.args[i][c].label);
            }
            chosen[i] = &p.args[i][0];
        }
        if (p.acts) sweep.world().restore();
    }
    campaign.report("natives=" + std::to_string(swept));
}

// The 1st, 2nd, ... allocation or copy fails, until a run completes without
// reaching the failure; the native's effect is all or nothing.
TEST_P(NativeSweep, FailureInjection) {
    Sweep sweep(GetParam());
    qarfuzz::Campaign campaign("wbnative." + GetParam(), "failure-injection");
    // Every failure point up to this many, then ever fewer: the full
    // campaign (QAR_FUZZ_INPUTS) takes them all.
    const size_t every = qarfuzz::inputCount(40);
    size_t swept = 0, deepest = 0;
    for (const NativeInfo& n : natives()) {
        if (n.family != GetParam() || neverCalled(n)) continue;
        ++swept;
        Plan p = sweep.plan(n);
        std::vector<const Candidate*> chosen;
        for (const auto& values : p.args) chosen.push_back(&values[0]);
        sweep.vm().allowPendingExceptionOnReturn(true);
        std::string before, after;
        if (p.acts) {
            sweep.world().restore();
            before = sweep.world().state();
            sweep.call(n, p, chosen);
            after = sweep.world().state();
        }
        for (size_t k = 1;; k = k < every ? k + 1 : k + k / 2) {
            std::string text = describe(n, "allocation " + std::to_string(k) + " fails");
            if (verbose()) printf("%llu %s\n", static_cast<unsigned long long>(GetTickCount64()), text.c_str()), fflush(stdout);
            SCOPED_TRACE(text);
            campaign.begin(text.data(), text.size());
            if (p.acts) sweep.world().restore();
            sweep.call(n, p, chosen, [&] { sweep.vm().failNextAllocation(static_cast<unsigned>(k)); });
            if (p.acts) {
                std::string state = sweep.world().state();
                EXPECT_TRUE(state == before || state == after)
                    << "a failed run left the test's objects neither as before nor as after a successful call:\n"
                    << state << "\nbefore:\n" << before << "\nafter success:\n" << after;
            }
            if (!sweep.lastReached()) break;
            deepest = std::max(deepest, k);
        }
        sweep.vm().allowPendingExceptionOnReturn(false);
        if (p.acts) sweep.world().restore();
    }
    campaign.report("natives=" + std::to_string(swept) + " deepest=" + std::to_string(deepest));
}

INSTANTIATE_TEST_SUITE_P(Families, NativeSweep, ::testing::ValuesIn(families()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// The sweeps cover the table by construction: each native is in one family's
// sweep or is listed with the reason it is never called.
TEST(NativeSweepCoverage, EveryNativeIsSweptOrListed) {
    std::set<std::string> names;
    for (const NativeInfo& n : natives()) names.insert(n.name());
    EXPECT_EQ(names.size(), natives().size()) << "two natives share a short name";
    for (const auto& never : kNeverCalled) EXPECT_EQ(names.count(never.first), 1u) << never.first;
    EXPECT_EQ(natives().size(), wbtest::javaNatives().size());
}

}  // namespace
