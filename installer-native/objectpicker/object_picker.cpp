// ObjectPicker: shows the directory-services object picker over the
// process's own window and returns the chosen users and groups, each with
// its SID in string form.
#include "wbnative.h"

#include <objbase.h>
#include <objsel.h>
#include <oleauto.h>
#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <cwchar>

// The layouts the picker reads; a wrong packing would show as a garbled scope.
static_assert(sizeof(DSOP_INIT_INFO) == (sizeof(void*) == 4 ? 28 : 48), "DSOP_INIT_INFO");
static_assert(sizeof(DSOP_SCOPE_INIT_INFO) == (sizeof(void*) == 4 ? 40 : 56), "DSOP_SCOPE_INIT_INFO");

namespace {

typedef BOOL(WINAPI* ConvertSidToStringSidFn)(PSID, LPWSTR*);

const char kResultClass[] = "com/wizbuild/runtime/installer/platform/win32/ObjectPicker$Result";

// All scopes a domain member can offer: target computer, uplevel and
// downlevel joined domain, enterprise domain, external uplevel and downlevel
// domains, user-entered uplevel and downlevel scopes.
const ULONG kAllScopes = 0x36F;

ConvertSidToStringSidFn gConvertSidToStringSid = nullptr;

// The console window, found once by its title; gConsoleProbed tells the
// probe ran (the window may be null).
bool gConsoleProbed = false;
HWND gConsoleWindow = nullptr;

// CoUninitialize for a successful CoInitialize.
struct ComApartment {
    bool entered = false;
    ~ComApartment() {
        if (entered) CoUninitialize();
    }
};

struct OwnerSearch {
    DWORD pid;
    HWND console;
    HWND found;
};

BOOL CALLBACK visitWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<OwnerSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && window != search->console && IsWindowVisible(window)) search->found = window;
    return TRUE;
}

// Finds the console window by giving the console a unique title for a
// moment; the saved title is put back. Without a console there is none.
HWND probeConsoleWindow() {
    const DWORD kTitleUnits = 8192;
    static wchar_t saved[kTitleUnits + 1];
    SetLastError(0);
    DWORD length = GetConsoleTitleW(saved, kTitleUnits);
    if (length == 0 && GetLastError() != 0) return nullptr;
    saved[length < kTitleUnits ? length : kTitleUnits] = L'\0';
    wchar_t probe[64];
    swprintf(probe, 64, L"%lu/%lu", static_cast<unsigned long>(GetTickCount()),
             static_cast<unsigned long>(GetCurrentProcessId()));
    if (!SetConsoleTitleW(probe)) return nullptr;
    Sleep(40);
    HWND window = FindWindowW(nullptr, probe);
    SetConsoleTitleW(saved);
    return window;
}

// The window the picker is owned by: the last visible top-level window of
// this process, else the console window; null when there is neither.
HWND findOwnerWindow() {
    if (!gConsoleProbed) {
        gConsoleWindow = probeConsoleWindow();
        gConsoleProbed = true;
    }
    OwnerSearch search{GetCurrentProcessId(), gConsoleWindow, nullptr};
    EnumWindows(visitWindow, reinterpret_cast<LPARAM>(&search));
    return search.found ? search.found : gConsoleWindow;
}

// A Java string of a picker string; null stays null.
jstring javaString(JNIEnv* env, const wchar_t* text) {
    if (!text) return nullptr;
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(wcslen(text)));
}

// The string form of a SID held in a byte safe-array, or null when the
// variant is no such array or its bytes are no complete, valid SID.
jstring sidString(JNIEnv* env, const VARIANT* value) {
    if (!value || V_VT(value) != (VT_ARRAY | VT_UI1) || !V_ARRAY(value)) return nullptr;
    SAFEARRAY* array = V_ARRAY(value);
    LONG lower = 0, upper = -1;
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1 ||
        FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower)
        return nullptr;
    size_t size = static_cast<size_t>(upper) - static_cast<size_t>(lower) + 1;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return nullptr;
    jstring result = nullptr;
    // The header (revision, count, authority) first, then the sub-authorities
    // it announces, before anything reads them.
    const size_t kHeader = 8;
    if (size >= kHeader) {
        size_t count = static_cast<const BYTE*>(data)[1];
        if (kHeader + 4 * count <= size && IsValidSid(data) && GetLengthSid(data) <= size) {
            ScopedLocal<wchar_t> text;
            if (gConvertSidToStringSid(data, text.receive())) result = javaString(env, text.get());
        }
    }
    SafeArrayUnaccessData(array);
    return result;
}

// The Result objects of a selection list; null when Java lacks the class.
jobjectArray makeResults(JNIEnv* env, const DS_SELECTION_LIST* list) {
    jclass cls = env->FindClass(kResultClass);
    if (!cls) {
        env->ExceptionClear();
        return nullptr;
    }
    jmethodID init = env->GetMethodID(
        cls, "<init>", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V");
    if (!init) {
        env->ExceptionClear();
        env->DeleteLocalRef(cls);
        return nullptr;
    }
    jobjectArray results = env->NewObjectArray(static_cast<jsize>(list->cItems), cls, nullptr);
    if (!results) env->ExceptionClear();
    for (ULONG i = 0; results && i < list->cItems; ++i) {
        const DS_SELECTION& item = list->aDsSelection[i];
        const VARIANT* sid = list->cFetchedAttributes > 0 ? item.pvarFetchedAttributes : nullptr;
        // Each string only while no exception is pending (a VM out of memory).
        const wchar_t* texts[4] = {item.pwzName, item.pwzADsPath, item.pwzClass, item.pwzUPN};
        jstring strings[5] = {};
        for (int k = 0; k < 4 && !env->ExceptionCheck(); ++k) strings[k] = javaString(env, texts[k]);
        if (!env->ExceptionCheck()) strings[4] = sidString(env, sid);
        if (!env->ExceptionCheck()) {
            jobject result = env->NewObject(cls, init, strings[0], strings[1], strings[2], strings[3], strings[4]);
            if (result) {
                env->SetObjectArrayElement(results, static_cast<jsize>(i), result);
                env->DeleteLocalRef(result);
            }
        }
        for (jstring s : strings)
            if (s) env->DeleteLocalRef(s);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            env->DeleteLocalRef(results);
            results = nullptr;
        }
    }
    env->DeleteLocalRef(cls);
    return results;
}

// The Result objects of a selection list block of size bytes; null when the
// block is shorter than the selections it claims (a list that claims more is
// not read) or when Java lacks the class.
jobjectArray selectionResults(JNIEnv* env, const void* block, SIZE_T size) {
    const auto* list = static_cast<const DS_SELECTION_LIST*>(block);
    const size_t head = offsetof(DS_SELECTION_LIST, aDsSelection);
    if (size < head || list->cItems > (size - head) / sizeof(DS_SELECTION)) return nullptr;
    return makeResults(env, list);
}

// Reads the selection out of the picker's data object.
jobjectArray readSelection(JNIEnv* env, IDataObject* data) {
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"CFSTR_DSOP_DS_SELECTION_LIST")), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (data->GetData(&format, &medium) != S_OK) return nullptr;
    jobjectArray results = nullptr;
    if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal) {
        SIZE_T size = GlobalSize(medium.hGlobal);
        const void* list = GlobalLock(medium.hGlobal);
        if (list) {
            results = selectionResults(env, list, size);
            GlobalUnlock(medium.hGlobal);
        }
    }
    ReleaseStgMedium(&medium);
    return results;
}

jobjectArray showPicker(JNIEnv* env, HWND owner, bool multiselect, bool groups, bool users, bool wellKnown,
                        bool computerOnly) {
    ComPtr<IDsObjectPicker> picker;
    if (FAILED(CoCreateInstance(CLSID_DsObjectPicker, nullptr, CLSCTX_INPROC_SERVER, IID_IDsObjectPicker, picker.outVoid())))
        return nullptr;

    DSOP_SCOPE_INIT_INFO scope{};
    scope.cbSize = sizeof scope;
    scope.flType = computerOnly ? DSOP_SCOPE_TYPE_TARGET_COMPUTER : kAllScopes;
    scope.flScope = DSOP_SCOPE_FLAG_DEFAULT_FILTER_USERS | DSOP_SCOPE_FLAG_DEFAULT_FILTER_GROUPS;
    ULONG uplevel = 0, downlevel = 0;
    if (groups) {
        uplevel |= 0x3F4;
        downlevel |= 0x80000006;
    }
    if (users) {
        uplevel |= DSOP_FILTER_USERS;
        downlevel |= DSOP_DOWNLEVEL_FILTER_USERS;
    }
    if (wellKnown) {
        uplevel |= DSOP_FILTER_WELL_KNOWN_PRINCIPALS;
        downlevel |= groups ? DSOP_DOWNLEVEL_FILTER_ALL_WELLKNOWN_SIDS : 0x800C4000;
    }
    scope.FilterFlags.Uplevel.flBothModes = uplevel;
    scope.FilterFlags.flDownlevel = downlevel;

    PCWSTR attributes[] = {L"objectSID"};
    DSOP_INIT_INFO init{};
    init.cbSize = sizeof init;
    init.pwzTargetComputer = nullptr;
    init.cDsScopeInfos = 1;
    init.aDsScopeInfos = &scope;
    init.flOptions = multiselect ? DSOP_FLAG_MULTISELECT : 0;
    init.cAttributesToFetch = 1;
    init.apwzAttributeNames = attributes;
    if (FAILED(picker->Initialize(&init))) return nullptr;

    ComPtr<IDataObject> data;
    if (picker->InvokeDialog(owner, data.out()) != S_OK || !data.p) return nullptr;
    return readSelection(env, data.p);
}

}  // namespace

extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0(
    JNIEnv* env, jclass, jboolean multiselect, jboolean groups, jboolean users, jboolean wellKnown,
    jboolean computerOnly) {
    if (!gConvertSidToStringSid) {
        HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
        if (advapi) gConvertSidToStringSid = procAddress<ConvertSidToStringSidFn>(advapi, "ConvertSidToStringSidW");
        if (!gConvertSidToStringSid) return nullptr;
    }
    HWND owner = findOwnerWindow();
    if (!owner) {
        fputs("could not find window\n", stdout);
        fflush(stdout);
        return nullptr;
    }
    jobjectArray results = nullptr;
    {
        ComApartment apartment;
        if (FAILED(CoInitialize(nullptr))) return nullptr;
        apartment.entered = true;
        results = showPicker(env, owner, multiselect, groups, users, wellKnown, computerOnly);
    }
    fflush(stdout);
    return results;
}
