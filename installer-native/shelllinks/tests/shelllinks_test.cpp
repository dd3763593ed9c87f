// ShellLink, loaded as the runtime loads it: links saved through Wine's
// shell link object and read back through it. Wine never stores the run-as
// flag, so a stand-in class object for CLSID_ShellLink, registered in the
// test process, hands out Wine's real link object and records what the
// library asks of it and the flags it sets.
#include "wbnative_test.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

using qarjvm::Jvm;

std::wstring tempFolder() {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return path;
}

std::wstring uniqueLink(const std::wstring& tag) {
    return tempFolder() + L"wbnative-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag + L".lnk";
}

// COM for the test's thread through the library's own initialize0/uninitialize.
struct ComScope {
    Jvm& vm;
    explicit ComScope(Jvm& v) : vm(v) {
        EXPECT_TRUE(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_initialize0),
                            jclass(nullptr)));
    }
    ~ComScope() {
        EXPECT_TRUE(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_uninitialize),
                            jclass(nullptr)));
    }
};

// What a saved link holds, read back through the shell's link object.
struct LinkContents {
    std::wstring path, arguments, description, directory, icon;
    int iconIndex = -1;
    int showCommand = -1;
};

LinkContents readLink(const std::wstring& file) {
    LinkContents out;
    IShellLinkW* link = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                               reinterpret_cast<void**>(&link)),
              S_OK);
    if (!link) return out;
    IPersistFile* persist = nullptr;
    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist));
    EXPECT_EQ(persist->Load(file.c_str(), STGM_READ), S_OK);
    wchar_t text[1024];
    text[0] = 0;
    link->GetPath(text, 1024, nullptr, SLGP_RAWPATH);
    out.path = text;
    text[0] = 0;
    link->GetArguments(text, 1024);
    out.arguments = text;
    text[0] = 0;
    link->GetDescription(text, 1024);
    out.description = text;
    text[0] = 0;
    link->GetWorkingDirectory(text, 1024);
    out.directory = text;
    text[0] = 0;
    link->GetIconLocation(text, 1024, &out.iconIndex);
    out.icon = text;
    link->GetShowCmd(&out.showCommand);
    persist->Release();
    link->Release();
    return out;
}

int showCommandInFile(const std::wstring& file) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    BYTE header[0x4C] = {};
    DWORD read = 0;
    ReadFile(h, header, sizeof header, &read, nullptr);
    CloseHandle(h);
    EXPECT_EQ(read, sizeof header);
    int show = 0;
    memcpy(&show, header + 0x3C, sizeof show);
    return show;
}

// The stand-in class object. Each link it makes is Wine's own, with its
// QueryInterface slot routed through a recorder (a patched copy of the
// interface's table), and so is the SetFlags slot of its data list.
typedef HRESULT(STDMETHODCALLTYPE* QueryInterfaceFn)(void*, REFIID, void**);
const size_t kShellLinkSlots = 21;  // IUnknown and the 18 IShellLink methods
struct Patched {
    void* table[kShellLinkSlots];
    QueryInterfaceFn original = nullptr;
};
Patched gPatchedW, gPatchedA;
std::vector<IID> gAsked;

// IShellLinkDataList: IUnknown, AddDataBlock, CopyDataBlock,
// RemoveDataBlock, GetFlags, SetFlags. Wine answers SetFlags with S_OK and
// keeps nothing, so the recorder keeps what was asked.
const size_t kDataListSlots = 8;
const size_t kSetFlagsSlot = 7;
typedef HRESULT(STDMETHODCALLTYPE* SetFlagsFn)(void*, DWORD);
void* gDataListTable[kDataListSlots];
SetFlagsFn gOriginalSetFlags = nullptr;
std::vector<DWORD> gFlagsSet;

HRESULT STDMETHODCALLTYPE recordSetFlags(void* self, DWORD flags) {
    gFlagsSet.push_back(flags);
    return gOriginalSetFlags(self, flags);
}

void patchDataList(void* object) {
    void*** vptr = static_cast<void***>(object);
    if (*vptr == gDataListTable) return;
    memcpy(gDataListTable, *vptr, sizeof gDataListTable);
    gOriginalSetFlags = reinterpret_cast<SetFlagsFn>(gDataListTable[kSetFlagsSlot]);
    gDataListTable[kSetFlagsSlot] = reinterpret_cast<void*>(recordSetFlags);
    *vptr = gDataListTable;
}

HRESULT recordQuery(QueryInterfaceFn original, void* self, REFIID iid, void** out) {
    gAsked.push_back(iid);
    HRESULT hr = original(self, iid, out);
    if (SUCCEEDED(hr) && iid == IID_IShellLinkDataList) patchDataList(*out);
    return hr;
}
HRESULT STDMETHODCALLTYPE recordW(void* self, REFIID iid, void** out) {
    return recordQuery(gPatchedW.original, self, iid, out);
}
HRESULT STDMETHODCALLTYPE recordA(void* self, REFIID iid, void** out) {
    return recordQuery(gPatchedA.original, self, iid, out);
}

void patch(void* object, Patched& patched, QueryInterfaceFn recorder) {
    void*** vptr = static_cast<void***>(object);
    if (*vptr == patched.table) return;
    memcpy(patched.table, *vptr, sizeof patched.table);
    patched.original = reinterpret_cast<QueryInterfaceFn>(patched.table[0]);
    patched.table[0] = reinterpret_cast<void*>(recorder);
    *vptr = patched.table;
}

struct RecordingFactory : IClassFactory {
    IClassFactory* real = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        HRESULT hr = real->CreateInstance(outer, iid, out);
        if (FAILED(hr)) return hr;
        if (iid == IID_IShellLinkW) patch(*out, gPatchedW, recordW);
        if (iid == IID_IShellLinkA) patch(*out, gPatchedA, recordA);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class StandInShellLink {
public:
    StandInShellLink() {
        EXPECT_EQ(CoGetClassObject(CLSID_ShellLink, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory_.real)),
                  S_OK);
        EXPECT_EQ(CoRegisterClassObject(CLSID_ShellLink, &factory_, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                        &cookie_),
                  S_OK);
    }
    ~StandInShellLink() {
        CoRevokeClassObject(cookie_);
        if (factory_.real) factory_.real->Release();
    }
    bool askedForDataList() const {
        for (const IID& iid : gAsked)
            if (iid == IID_IShellLinkDataList) return true;
        return false;
    }
    // The run-as flag as the library last set it through the data list.
    bool setRunAs() const { return !gFlagsSet.empty() && (gFlagsSet.back() & SLDF_RUNAS_USER); }
    void clear() {
        gAsked.clear();
        gFlagsSet.clear();
    }

private:
    RecordingFactory factory_;
    DWORD cookie_ = 0;
};

TEST(ShellLink, CreateWideSavesWhatTheShellReadsBack) {
    Jvm vm;
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_createWide0);
    const std::wstring target = L"C:\\windows\\system32\\notepad.exe";
    const std::wstring link = uniqueLink(L"wide");
    // Without COM on the thread the link object cannot be made.
    EXPECT_FALSE(vm.call(create, jclass(nullptr), vm.newString(link), vm.newString(target), vm.newString(L"C:\\"),
                         jstring(nullptr), jstring(nullptr), jboolean(false), jstring(nullptr), jint(SW_SHOWNORMAL)));
    EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES);

    ComScope com(vm);
    struct Case {
        const wchar_t *directory, *icon, *arguments, *description;
        int showCommand;
    } cases[] = {
        {L"C:\\windows", L"C:\\windows\\system32\\shell32.dll", L"-a \"b c\" \u00e4\u20ac", L"Opens \u00e4\u20ac notes",
         SW_SHOWMINNOACTIVE},
        {L"C:\\", nullptr, nullptr, nullptr, SW_SHOWMAXIMIZED},  // without them: nothing stored
    };
    for (const Case& c : cases) {
        DeleteFileW(link.c_str());
        auto opt = [&](const wchar_t* s) { return s ? vm.newString(s) : jstring(nullptr); };
        ASSERT_TRUE(vm.call(create, jclass(nullptr), vm.newString(link), vm.newString(target),
                            vm.newString(c.directory), opt(c.icon), opt(c.arguments), jboolean(false),
                            opt(c.description), jint(c.showCommand)));
        LinkContents saved = readLink(link);
        EXPECT_EQ(saved.path, target);
        EXPECT_EQ(saved.directory, c.directory);
        EXPECT_EQ(saved.arguments, c.arguments ? c.arguments : L"");
        EXPECT_EQ(saved.description, c.description ? c.description : L"");
        EXPECT_EQ(saved.icon, c.icon ? c.icon : L"");
        if (c.icon) {
            EXPECT_EQ(saved.iconIndex, 0);
        }
        // Wine reads the show command back as SW_SHOWNORMAL whatever the file
        // says: read the header's ShowCommand field (offset 0x3C) instead.
        EXPECT_EQ(showCommandInFile(link), c.showCommand);
    }
    DeleteFileW(link.c_str());

    // A folder that does not exist: the save fails.
    EXPECT_FALSE(vm.call(create, jclass(nullptr), vm.newString(tempFolder() + L"no-such-folder\\x.lnk"),
                         vm.newString(target), vm.newString(L"C:\\"), jstring(nullptr), jstring(nullptr),
                         jboolean(false), jstring(nullptr), jint(SW_SHOWNORMAL)));
}

// A Java byte array holding text and a NUL, or without the NUL.
std::vector<jbyte> ansi(const std::string& text, bool terminated = true) {
    std::vector<jbyte> out(text.begin(), text.end());
    if (terminated) out.push_back(0);
    return out;
}

TEST(ShellLink, RunAsIsRequestedOnlyWhenAsked) {
    Jvm vm;
    ComScope com(vm);
    StandInShellLink shell;
    auto createWide = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_createWide0);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0);
    const std::wstring link = uniqueLink(L"runas");
    for (bool runAs : {false, true}) {
        shell.clear();
        ASSERT_TRUE(vm.call(createWide, jclass(nullptr), vm.newString(link), vm.newString(L"C:\\windows\\notepad.exe"),
                            vm.newString(L"C:\\"), jstring(nullptr), jstring(nullptr), jboolean(runAs),
                            jstring(nullptr), jint(SW_SHOWNORMAL)))
            << runAs;
        EXPECT_EQ(shell.askedForDataList(), runAs) << "createWide0";
        EXPECT_EQ(shell.setRunAs(), runAs) << "createWide0";
        DeleteFileW(link.c_str());

        shell.clear();
        ASSERT_TRUE(vm.call(create, jclass(nullptr), vm.newString(link), vm.newArray(ansi("C:\\windows\\notepad.exe")),
                            vm.newArray(ansi("C:\\")), jbyteArray(nullptr), jbyteArray(nullptr), jboolean(runAs),
                            jbyteArray(nullptr)))
            << runAs;
        EXPECT_EQ(shell.askedForDataList(), runAs) << "create0";
        EXPECT_EQ(shell.setRunAs(), runAs) << "create0";
        DeleteFileW(link.c_str());
    }
}

TEST(ShellLink, CreateTakesTerminatedAnsiArraysOnly) {
    Jvm vm;
    ComScope com(vm);
    auto create = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0);
    const std::wstring link = uniqueLink(L"ansi");
    const std::string target = "C:\\windows\\notepad.exe";
    struct Case {
        const char* what;
        std::vector<jbyte> target, directory;
        bool hasIcon;
        std::vector<jbyte> icon;
        bool hasArguments;
        std::vector<jbyte> arguments;
        bool hasDescription;
        std::vector<jbyte> description;
        bool saved;
    } cases[] = {
        {"all terminated", ansi(target), ansi("C:\\windows"), true, ansi("C:\\windows\\system32\\shell32.dll"), true,
         ansi("-x \"y z\""), true, ansi("Notes"), true},
        {"optional ones null", ansi(target), ansi("C:\\"), false, {}, false, {}, false, {}, true},
        {"target unterminated", ansi(target, false), ansi("C:\\"), false, {}, false, {}, false, {}, false},
        {"directory unterminated", ansi(target), ansi("C:\\", false), false, {}, false, {}, false, {}, false},
        {"icon unterminated", ansi(target), ansi("C:\\"), true, ansi("C:\\a.ico", false), false, {}, false, {}, false},
        {"arguments unterminated", ansi(target), ansi("C:\\"), false, {}, true, ansi("-x", false), false, {}, false},
        {"description unterminated", ansi(target), ansi("C:\\"), false, {}, false, {}, true, ansi("d", false), false},
        {"description empty array", ansi(target), ansi("C:\\"), false, {}, false, {}, true, {}, false},
    };
    for (const Case& c : cases) {
        DeleteFileW(link.c_str());
        auto array = [&](bool present, const std::vector<jbyte>& bytes) {
            if (!present) return jbyteArray(nullptr);
            jbyteArray a = vm.newArray(bytes);
            vm.expectReadOnly(a);
            return a;
        };
        EXPECT_EQ(vm.call(create, jclass(nullptr), vm.newString(link), array(true, c.target), array(true, c.directory),
                          array(c.hasIcon, c.icon), array(c.hasArguments, c.arguments), jboolean(false),
                          array(c.hasDescription, c.description)),
                  c.saved)
            << c.what;
        EXPECT_EQ(GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES, c.saved) << c.what;
        if (c.saved && c.hasArguments) {
            LinkContents saved = readLink(link);
            EXPECT_EQ(saved.path, L"C:\\windows\\notepad.exe");
            EXPECT_EQ(saved.directory, L"C:\\windows");
            EXPECT_EQ(saved.arguments, L"-x \"y z\"");
            EXPECT_EQ(saved.description, L"Notes");
            EXPECT_EQ(saved.icon, L"C:\\windows\\system32\\shell32.dll");
        }
    }
    // Required arrays missing.
    EXPECT_FALSE(vm.call(create, jclass(nullptr), vm.newString(link), jbyteArray(nullptr), vm.newArray(ansi("C:\\")),
                         jbyteArray(nullptr), jbyteArray(nullptr), jboolean(false), jbyteArray(nullptr)));
    EXPECT_FALSE(vm.call(create, jclass(nullptr), vm.newString(link), vm.newArray(ansi(target)), jbyteArray(nullptr),
                         jbyteArray(nullptr), jbyteArray(nullptr), jboolean(false), jbyteArray(nullptr)));
    EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The VM out of memory at the first, second, ... pin: no link is saved, and no
// further JNI call is made while the OutOfMemoryError is pending (the stand-in
// VM fails the test for any such call).
TEST(ShellLink, CreateStopsAtAFailedPin) {
    const std::wstring link = uniqueLink(L"pin");
    unsigned failed = 0;
    for (unsigned nth = 1;; ++nth) {
        Jvm vm;
        ComScope com(vm);
        DeleteFileW(link.c_str());
        vm.allowPendingExceptionOnReturn(true);
        vm.failNext("GetByteArrayElements", nth);
        jboolean saved =
            vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0), jclass(nullptr),
                    vm.newString(link), vm.newArray(ansi("C:\\windows\\notepad.exe")), vm.newArray(ansi("C:\\")),
                    vm.newArray(ansi("C:\\a.ico")), vm.newArray(ansi("-x")), jboolean(false), vm.newArray(ansi("d")));
        std::string pending = vm.takeException();
        if (vm.unusedFailures() > 0) break;
        ++failed;
        EXPECT_FALSE(saved) << "pin " << nth << " failed";
        EXPECT_EQ(pending, "java/lang/OutOfMemoryError") << "pin " << nth << " failed";
        EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES) << "pin " << nth << " failed";
    }
    EXPECT_EQ(failed, 5u);
    DeleteFileW(link.c_str());
}

// A UTF-16LE byte array, with or without its terminating NUL.
std::vector<jbyte> utf16(const std::wstring& text, bool terminated = true) {
    std::vector<jbyte> out;
    for (wchar_t c : text) {
        out.push_back(static_cast<jbyte>(c & 0xFF));
        out.push_back(static_cast<jbyte>(c >> 8));
    }
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
}

TEST(ShellLink, ChangeNotifyTakesTerminatedWidePathsOnly) {
    Jvm vm;
    auto notify = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_changeNotify0);
    const std::wstring folder = tempFolder();
    const std::wstring link = folder + L"x.lnk";
    std::vector<jbyte> oddLength = utf16(link);
    oddLength.pop_back();  // the terminator's second byte missing
    struct Case {
        const char* what;
        bool hasLink;
        std::vector<jbyte> link;
        bool hasFolder;
        std::vector<jbyte> folder;
        bool expected;
    } cases[] = {
        {"both terminated", true, utf16(link), true, utf16(folder), true},
        {"link unterminated", true, utf16(link, false), true, utf16(folder), false},
        {"folder unterminated", true, utf16(link), true, utf16(folder, false), false},
        {"odd length", true, oddLength, true, utf16(folder), false},
        {"link null", false, {}, true, utf16(folder), false},
        {"folder null", true, utf16(link), false, {}, false},
    };
    for (const Case& c : cases) {
        auto array = [&](bool present, const std::vector<jbyte>& bytes) {
            if (!present) return jbyteArray(nullptr);
            jbyteArray a = vm.newArray(bytes);
            vm.expectReadOnly(a);
            return a;
        };
        EXPECT_EQ(vm.call(notify, jclass(nullptr), array(c.hasLink, c.link), array(c.hasFolder, c.folder)),
                  jboolean(c.expected))
            << c.what;
    }
}

TEST(ShellLink, ChangeNotifyStopsAtAFailedPin) {
    const std::wstring folder = tempFolder();
    for (unsigned nth = 1; nth <= 2; ++nth) {
        Jvm vm;
        vm.allowPendingExceptionOnReturn(true);
        vm.failNext("GetByteArrayElements", nth);
        EXPECT_FALSE(vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_changeNotify0),
                             jclass(nullptr), vm.newArray(utf16(folder + L"x.lnk")), vm.newArray(utf16(folder))))
            << "pin " << nth << " failed";
        EXPECT_EQ(vm.takeException(), "java/lang/OutOfMemoryError") << "pin " << nth << " failed";
        EXPECT_EQ(vm.unusedFailures(), 0u);
    }
}

}  // namespace
