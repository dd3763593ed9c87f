// ShellLink: creates .lnk files through the shell's link object, optionally
// marked to run as administrator, and tells the shell about them.
#include "wbnative.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

namespace {

// A Java byte array holding a NUL-terminated string, read in place and
// released with JNI_ABORT. ok() is false for a null array or one without a
// terminator, which is never read past its end, and for any array once the VM
// has an exception pending (an earlier pin failed): no JNI call is made then.
class ByteString {
public:
    ByteString(JNIEnv* env, jbyteArray array) : bytes_(env, array), null_(!array) {
        ok_ = bytes_.length() > 0 && memchr(bytes_.get(), 0, static_cast<size_t>(bytes_.length()));
    }
    bool ok() const { return ok_; }
    bool isNull() const { return null_; }
    const char* text() const { return reinterpret_cast<const char*>(bytes_.get()); }

private:
    PinnedArray<jbyteArray> bytes_;
    bool null_;
    bool ok_ = false;
};

// A Java byte array holding a NUL-terminated UTF-16LE string, copied out
// (the elements need not be aligned for wide characters). Empty when the
// array is null or has no terminator, or when an exception is pending.
std::vector<wchar_t> wideFromBytes(JNIEnv* env, jbyteArray array) {
    std::vector<wchar_t> out;
    PinnedArray<jbyteArray> pinned(env, array);
    const jbyte* bytes = pinned.get();
    if (!bytes) return out;
    for (jsize i = 0; i + 1 < pinned.length(); i += 2) {
        wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        out.push_back(c);
        if (c == L'\0') break;
    }
    if (out.empty() || out.back() != L'\0') out.clear();
    return out;
}

// Sets SLDF_RUNAS_USER on the link; asked for only when the caller wants it.
HRESULT requestRunAs(IUnknown* link) {
    ComPtr<IShellLinkDataList> dataList;
    HRESULT hr = link->QueryInterface(IID_IShellLinkDataList, dataList.outVoid());
    if (FAILED(hr)) return hr;
    DWORD flags = 0;
    hr = dataList->GetFlags(&flags);
    if (FAILED(hr)) return hr;
    return dataList->SetFlags(flags | SLDF_RUNAS_USER);
}

// The run-as flag and the save, common to both variants.
bool finishLink(IUnknown* link, const wchar_t* path, bool runAs) {
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.outVoid()))) return false;
    HRESULT hr = S_OK;
    if (runAs) hr = requestRunAs(link);
    if (SUCCEEDED(hr)) hr = path ? file->Save(path, TRUE) : E_INVALIDARG;
    return SUCCEEDED(hr);
}

}  // namespace

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_createWide0(
    JNIEnv* env, jclass, jstring linkPath, jstring target, jstring directory, jstring icon, jstring arguments,
    jboolean runAs, jstring description, jint showCommand) {
    std::unique_ptr<wchar_t[]> path, targetText, directoryText, iconText, argumentsText, descriptionText;
    if (!jstringToWide(env, linkPath, path) || !jstringToWide(env, target, targetText) ||
        !jstringToWide(env, directory, directoryText) || !jstringToWide(env, icon, iconText) ||
        !jstringToWide(env, arguments, argumentsText) || !jstringToWide(env, description, descriptionText))
        return JNI_FALSE;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.outVoid())))
        return JNI_FALSE;
    // The setters' results are not checked: the save tells.
    link->SetPath(targetText.get());
    link->SetWorkingDirectory(directoryText.get());
    if (iconText) link->SetIconLocation(iconText.get(), 0);
    if (argumentsText) link->SetArguments(argumentsText.get());
    if (descriptionText) link->SetDescription(descriptionText.get());
    link->SetShowCmd(showCommand);
    return finishLink(link.p, path.get(), runAs != JNI_FALSE) ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_create0(
    JNIEnv* env, jclass, jstring linkPath, jbyteArray target, jbyteArray directory, jbyteArray icon,
    jbyteArray arguments, jboolean runAs, jbyteArray description) {
    // Every array is checked before the link is made: target and directory
    // are required, the others optional, each a NUL-terminated ANSI string.
    ByteString targetText(env, target), directoryText(env, directory), iconText(env, icon),
        argumentsText(env, arguments), descriptionText(env, description);
    if (!targetText.ok() || !directoryText.ok()) return JNI_FALSE;
    for (const ByteString* optional : {&iconText, &argumentsText, &descriptionText})
        if (!optional->isNull() && !optional->ok()) return JNI_FALSE;
    std::unique_ptr<wchar_t[]> path;
    if (!jstringToWide(env, linkPath, path)) return JNI_FALSE;

    ComPtr<IShellLinkA> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.outVoid())))
        return JNI_FALSE;
    link->SetPath(targetText.text());
    link->SetWorkingDirectory(directoryText.text());
    if (!iconText.isNull()) link->SetIconLocation(iconText.text(), 0);
    if (!argumentsText.isNull()) link->SetArguments(argumentsText.text());
    if (!descriptionText.isNull()) link->SetDescription(descriptionText.text());
    return finishLink(link.p, path.get(), runAs != JNI_FALSE) ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_changeNotify0(
    JNIEnv* env, jclass, jbyteArray linkPath, jbyteArray folderPath) {
    std::vector<wchar_t> link = wideFromBytes(env, linkPath);
    std::vector<wchar_t> folder = wideFromBytes(env, folderPath);
    if (link.empty() || folder.empty()) return JNI_FALSE;
    shellChangeNotify(SHCNE_CREATE, SHCNF_PATHW, link.data(), nullptr);
    // SHCNF_FLUSH: returns once the shell has handled it.
    shellChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW | SHCNF_FLUSH, folder.data(), nullptr);
    return JNI_TRUE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_initialize0(JNIEnv*, jclass) {
    CoInitialize(nullptr);
    return JNI_TRUE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_ShellLink_uninitialize(JNIEnv*, jclass) {
    CoUninitialize();
    return JNI_TRUE;
}
