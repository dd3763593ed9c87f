// VistaFileChooser: the common item dialog (open or save) with file-type
// filters and optional check boxes, run modally on the calling thread.
#include "wbnative.h"

#include <objbase.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

typedef HRESULT(WINAPI* SHCreateItemFromParsingNameFn)(PCWSTR, IBindCtx*, REFIID, void**);
typedef HRESULT(WINAPI* SHCreateShellItemArrayFromShellItemFn)(IShellItem*, REFIID, void**);

SHCreateItemFromParsingNameFn pSHCreateItemFromParsingName;
SHCreateShellItemArrayFromShellItemFn pSHCreateShellItemArrayFromShellItem;

// Control ids of the customisation: the group holding several check boxes,
// and check box i as i + 1.
constexpr DWORD kOptionsGroupId = 100000;

// A string from the shell's task allocator.
struct TaskMemoryTraits {
    using Value = wchar_t*;
    static wchar_t* empty() { return nullptr; }
    static bool valid(wchar_t* p) { return p != nullptr; }
    static void close(wchar_t* p) { CoTaskMemFree(p); }
};

// The check boxes' states in a Java boolean array, pinned and released with
// mode 0 so that what was written into them reaches the Java array.
class CheckStates {
public:
    CheckStates(JNIEnv* env, jbooleanArray array) : elements_(env, array, 0) {
        if (elements_.failed()) env->ExceptionClear();  // a VM out of memory: the boxes start unchecked
    }
    // Unchecked past the end of the array (or without one).
    bool get(jsize i) const { return i < elements_.length() && elements_.get()[i]; }
    // Nothing is written past the end of the array.
    void set(jsize i, bool value) {
        if (i < elements_.length()) elements_.get()[i] = value ? JNI_TRUE : JNI_FALSE;
    }

private:
    PinnedArray<jbooleanArray> elements_;
};

// Element i of a Java string array as UTF-16 in text; a null element gives
// an empty string, so that the dialog never gets a null label. False when the
// copy failed (as jstringToWide).
bool wideElement(JNIEnv* env, jobjectArray array, jsize i, std::unique_ptr<wchar_t[]>& text) {
    jstring element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
    bool copied = jstringToWide(env, element, text);
    if (element) env->DeleteLocalRef(element);
    if (!copied) return false;
    if (!text) {
        text.reset(new wchar_t[1]);
        text[0] = L'\0';
    }
    return true;
}

jsize lengthOf(JNIEnv* env, jobjectArray array) { return array ? env->GetArrayLength(array) : 0; }

// Binds the two shell32 functions once per process; false when either is missing.
bool loadShellItemFunctions() {
    if (pSHCreateItemFromParsingName && pSHCreateShellItemArrayFromShellItem) return true;
    HMODULE shell32 = loadSystemLibrary(L"shell32.dll");
    if (!shell32) return false;
    pSHCreateItemFromParsingName = procAddress<SHCreateItemFromParsingNameFn>(shell32, "SHCreateItemFromParsingName");
    pSHCreateShellItemArrayFromShellItem =
        procAddress<SHCreateShellItemArrayFromShellItemFn>(shell32, "SHCreateShellItemArrayFromShellItem");
    return pSHCreateItemFromParsingName && pSHCreateShellItemArrayFromShellItem;
}

// The file-system paths of the chosen items as a Java string array; an item
// without such a path leaves its element null. Null, with nothing pending,
// when the VM cannot make the strings.
jobjectArray pathsOf(JNIEnv* env, IShellItemArray* items) {
    DWORD count = 0;
    if (FAILED(items->GetCount(&count))) return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) {
        env->ExceptionClear();
        return nullptr;
    }
    jobjectArray paths = env->NewObjectArray(static_cast<jsize>(count), stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!paths) {
        env->ExceptionClear();
        return nullptr;
    }
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IShellItem> item;
        if (FAILED(items->GetItemAt(i, item.out()))) continue;
        Scoped<TaskMemoryTraits> path;
        if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, path.receive())) || !path || !path.get()[0]) continue;
        jstring element =
            env->NewString(reinterpret_cast<const jchar*>(path.get()), static_cast<jsize>(wcslen(path.get())));
        if (!element) {
            env->ExceptionClear();
            env->DeleteLocalRef(paths);
            return nullptr;
        }
        env->SetObjectArrayElement(paths, static_cast<jsize>(i), element);
        env->DeleteLocalRef(element);
    }
    return paths;
}

}  // namespace

// Enters a single-threaded apartment on the calling thread, where the dialog
// will run; an apartment already entered is fine.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_initialize0(
    JNIEnv*, jclass) {
    CoInitialize(nullptr);
}

// Shows the open or save dialog and returns the chosen paths, or null when
// it was cancelled or could not be shown. Null strings leave the dialog's
// defaults. Filters are the (name, pattern) pairs both arrays hold; check box
// i (id i + 1) starts from states[i] (unchecked when the array is shorter or
// null), and its final state is written back only when the user chose OK.
extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_displayDialog0(
    JNIEnv* env, jclass, jlong owner, jstring title, jstring okLabel, jstring folder, jstring fileName, jint setOptions,
    jint clearOptions, jboolean save, jstring defaultExtension, jobjectArray filterNames, jobjectArray filterPatterns,
    jint filterIndex, jobjectArray checkLabels, jbooleanArray checkStates) {
    // All converted before the dialog exists, so that they outlive it.
    std::unique_ptr<wchar_t[]> titleText, okText, folderText, fileNameText, extensionText;
    if (!jstringToWide(env, title, titleText) || !jstringToWide(env, okLabel, okText) ||
        !jstringToWide(env, folder, folderText) || !jstringToWide(env, fileName, fileNameText) ||
        !jstringToWide(env, defaultExtension, extensionText))
        return nullptr;
    // Only pairs that both arrays hold: the arrays may differ in length.
    jsize filterCount = filterNames && filterPatterns
                            ? std::min(env->GetArrayLength(filterNames), env->GetArrayLength(filterPatterns))
                            : 0;
    std::vector<std::unique_ptr<wchar_t[]>> filterTexts(2 * static_cast<size_t>(filterCount));
    std::vector<COMDLG_FILTERSPEC> filters;
    for (jsize i = 0; i < filterCount; ++i) {
        if (!wideElement(env, filterNames, i, filterTexts[2 * i]) ||
            !wideElement(env, filterPatterns, i, filterTexts[2 * i + 1]))
            return nullptr;
        filters.push_back({filterTexts[2 * i].get(), filterTexts[2 * i + 1].get()});
    }
    jsize checkCount = lengthOf(env, checkLabels);
    std::vector<std::unique_ptr<wchar_t[]>> labels(static_cast<size_t>(checkCount));
    for (jsize i = 0; i < checkCount; ++i)
        if (!wideElement(env, checkLabels, i, labels[i])) return nullptr;
    CheckStates states(env, checkStates);

    if (!loadShellItemFunctions()) return nullptr;

    ComPtr<IFileDialog> dialog;
    ComPtr<IFileOpenDialog> openDialog;
    if (save) {
        if (FAILED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                    IID_IFileDialog, dialog.outVoid())))
            return nullptr;
    } else {
        if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                    IID_IFileOpenDialog, openDialog.outVoid())))
            return nullptr;
        dialog.p = openDialog.p;
        dialog.p->AddRef();
    }

    FILEOPENDIALOGOPTIONS options = 0;
    if (SUCCEEDED(dialog->GetOptions(&options)))
        dialog->SetOptions((options | static_cast<DWORD>(setOptions)) & ~static_cast<DWORD>(clearOptions));

    if (filterCount > 0) {
        dialog->SetFileTypes(static_cast<UINT>(filterCount), filters.data());
        if (filterIndex >= 0) dialog->SetFileTypeIndex(static_cast<UINT>(filterIndex) + 1);
    }

    ComPtr<IFileDialogCustomize> customize;
    if (checkCount > 0 && SUCCEEDED(dialog->QueryInterface(IID_IFileDialogCustomize, customize.outVoid()))) {
        bool grouped = checkCount > 1;
        if (grouped) customize->StartVisualGroup(kOptionsGroupId, L"Options:");
        for (jsize i = 0; i < checkCount; ++i)
            customize->AddCheckButton(static_cast<DWORD>(i) + 1, labels[i].get(), states.get(i) ? TRUE : FALSE);
        if (grouped) customize->EndVisualGroup();
    }

    if (extensionText) dialog->SetDefaultExtension(extensionText.get());
    if (titleText) dialog->SetTitle(titleText.get());
    if (okText) dialog->SetOkButtonLabel(okText.get());
    dialog->ClearClientData();
    if (folderText) {
        ComPtr<IShellItem> folderItem;
        if (SUCCEEDED(pSHCreateItemFromParsingName(folderText.get(), nullptr, IID_IShellItem, folderItem.outVoid())))
            dialog->SetFolder(folderItem.p);
    }
    if (fileNameText) dialog->SetFileName(fileNameText.get());

    if (FAILED(dialog->Show(handleFromJava<HWND>(owner)))) return nullptr;

    if (customize.p) {
        for (jsize i = 0; i < checkCount; ++i) {
            BOOL checked = FALSE;
            if (SUCCEEDED(customize->GetCheckButtonState(static_cast<DWORD>(i) + 1, &checked)))
                states.set(i, checked != FALSE);
        }
    }
    ComPtr<IShellItemArray> chosen;
    if (save) {
        ComPtr<IShellItem> item;
        if (SUCCEEDED(dialog->GetResult(item.out())))
            pSHCreateShellItemArrayFromShellItem(item.p, IID_IShellItemArray, chosen.outVoid());
    } else {
        openDialog->GetResults(chosen.out());
    }
    if (!chosen.p) return nullptr;
    return pathsOf(env, chosen.p);
}
