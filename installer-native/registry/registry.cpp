// The natives of the installer runtime's Registry class: keys, values,
// enumeration, hive files. Every method opens its key itself and closes it
// before it returns; no handle outlives a call.
#include "wbnative.h"

#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// Values are read and written through one buffer of this many bytes.
constexpr DWORD kValueBufferBytes = 100000;
// Names of subkeys and values as enumeration reads them.
constexpr DWORD kEnumNameChars = 4096;
// Subkey names while a tree is deleted (a key name has at most 255).
constexpr DWORD kTreeNameChars = 1024;

enum class Open { read, readWrite, create };

HKEY registryRootKey(jint code) {
    switch (code) {
    case 1: return HKEY_CLASSES_ROOT;
    case 2: return HKEY_CURRENT_USER;
    case 3: return HKEY_LOCAL_MACHINE;
    case 4: return HKEY_USERS;
    case 5: return HKEY_CURRENT_CONFIG;
    default: return nullptr;
    }
}

// The key under root at subKey (null: the root itself), opened or created
// with the view flags ORed into the access; null when that fails.
HKEY openKey(HKEY root, const wchar_t* subKey, jint view, Open how) {
    HKEY key = nullptr;
    LONG result;
    if (how == Open::create) {
        result = RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS | static_cast<REGSAM>(view), nullptr, &key,
                                 nullptr);
    } else {
        REGSAM access = KEY_READ | static_cast<REGSAM>(view) | (how == Open::readWrite ? KEY_SET_VALUE : 0);
        result = RegOpenKeyExW(root, subKey, 0, access, &key);
    }
    return result == ERROR_SUCCESS ? key : nullptr;
}

// The key of the root code and path, as openKey; null also when the path
// could not be copied (an exception is then pending).
HKEY openRegistryKey(JNIEnv* env, jint rootCode, jint view, jstring path, Open how) {
    HKEY root = registryRootKey(rootCode);
    if (!root) return nullptr;
    std::unique_ptr<wchar_t[]> subKey;
    if (!jstringToWide(env, path, subKey)) return nullptr;
    return openKey(root, subKey.get(), view, how);
}

// Boxes through the static valueOf of java/lang/Integer or java/lang/Long.
jobject boxed(JNIEnv* env, const char* cls, const char* signature, jvalue value) {
    jclass boxClass = env->FindClass(cls);
    if (!boxClass) return nullptr;
    jmethodID valueOf = env->GetStaticMethodID(boxClass, "valueOf", signature);
    if (!valueOf) return nullptr;
    return env->CallStaticObjectMethodA(boxClass, valueOf, &value);
}

jobjectArray stringArray(JNIEnv* env, const std::vector<std::wstring>& items) {
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(items.size()), stringClass, nullptr);
    if (!array) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        jstring item = env->NewString(reinterpret_cast<const jchar*>(items[i].data()), static_cast<jsize>(items[i].size()));
        if (!item) return nullptr;
        env->SetObjectArrayElement(array, static_cast<jsize>(i), item);
        env->DeleteLocalRef(item);
    }
    return array;
}

// The Java object for a value read from the registry; null for other types.
jobject valueObject(JNIEnv* env, DWORD type, const BYTE* data, DWORD size) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        DWORD length = size / 2;
        if (length > 0 && text[length - 1] == L'\0') --length;  // one terminator, embedded NULs stay
        jstring string = env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(length));
        if (!string || type == REG_SZ) return string;
        jclass expand = env->FindClass("com/wizbuild/api/windows/WinRegistry$ExpandString");
        if (!expand) return nullptr;
        jmethodID init = env->GetMethodID(expand, "<init>", "(Ljava/lang/String;)V");
        if (!init) return nullptr;
        return env->NewObject(expand, init, string);
    }
    case REG_BINARY: {
        jbyteArray bytes = env->NewByteArray(static_cast<jsize>(size));
        if (bytes) env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(size), reinterpret_cast<const jbyte*>(data));
        return bytes;
    }
    case REG_DWORD: {
        if (size < sizeof(DWORD)) return nullptr;  // a short value holds no int
        jvalue v{};
        memcpy(&v.i, data, sizeof(DWORD));
        return boxed(env, "java/lang/Integer", "(I)Ljava/lang/Integer;", v);
    }
    case REG_QWORD: {
        if (size < sizeof(jlong)) return nullptr;
        jvalue v{};
        memcpy(&v.j, data, sizeof(jlong));
        return boxed(env, "java/lang/Long", "(J)Ljava/lang/Long;", v);
    }
    case REG_MULTI_SZ: {
        // Each string ends at its NUL or at the end of the data, never beyond.
        size_t units = size / 2;
        std::vector<std::wstring> items;
        for (size_t pos = 0; pos + 1 < units;) {
            size_t length = wcsnlen(text + pos, units - pos);
            items.emplace_back(text + pos, length);
            pos += length + 1;
        }
        return stringArray(env, items);
    }
    default:
        return nullptr;
    }
}

// The int or long of a boxed value through xxxValue; false when the object
// is not of that class or the method is missing.
template <typename T>
bool unboxed(JNIEnv* env, jobject value, const char* cls, const char* method, const char* signature, T& out) {
    jclass boxClass = env->FindClass(cls);
    if (!boxClass || !value || !env->IsInstanceOf(value, boxClass)) return false;
    jmethodID getter = env->GetMethodID(boxClass, method, signature);
    if (!getter) return false;
    if constexpr (sizeof(T) == sizeof(jlong))
        out = env->CallLongMethod(value, getter);
    else
        out = env->CallIntMethod(value, getter);
    return true;
}

bool isString(JNIEnv* env, jobject value) {
    jclass stringClass = env->FindClass("java/lang/String");
    return value && stringClass && env->IsInstanceOf(value, stringClass);
}

// Fills the buffer for setValue0's type code; false leaves nothing to write.
bool fillValue(JNIEnv* env, jobject value, jint typeCode, BYTE* buffer, DWORD capacity, DWORD& type, DWORD& size) {
    wchar_t* text = reinterpret_cast<wchar_t*>(buffer);
    const DWORD capacityChars = capacity / 2;
    switch (typeCode) {
    case 1:
    case 5: {
        if (!isString(env, value)) return false;
        jstring string = static_cast<jstring>(value);
        jsize length = env->GetStringLength(string);
        jsize taken = length < static_cast<jsize>(capacityChars - 1) ? length : static_cast<jsize>(capacityChars - 1);
        env->GetStringRegion(string, 0, taken, reinterpret_cast<jchar*>(text));
        text[taken] = L'\0';
        type = typeCode == 1 ? REG_SZ : REG_EXPAND_SZ;
        size = (static_cast<DWORD>(taken) + 1) * 2;
        return true;
    }
    case 2: {
        jint number = 0;
        if (!unboxed(env, value, "java/lang/Integer", "intValue", "()I", number)) return false;
        memcpy(buffer, &number, sizeof number);
        type = REG_DWORD;
        size = 4;
        return true;
    }
    case 6: {
        jlong number = 0;
        if (!unboxed(env, value, "java/lang/Long", "longValue", "()J", number)) return false;
        memcpy(buffer, &number, sizeof number);
        type = REG_QWORD;
        size = 8;
        return true;
    }
    case 3: {
        jclass arrayClass = env->FindClass("[Ljava/lang/String;");
        if (!value || !arrayClass || !env->IsInstanceOf(value, arrayClass)) return false;
        jobjectArray array = static_cast<jobjectArray>(value);
        jsize count = env->GetArrayLength(array);
        DWORD used = 0;
        for (jsize i = 0; i < count; ++i) {
            jstring item = static_cast<jstring>(env->GetObjectArrayElement(array, i));
            jsize length = item ? env->GetStringLength(item) : 0;
            // An empty element would end the list early; one too long would overrun.
            bool fits = length > 0 && used + static_cast<DWORD>(length) + 2 <= capacityChars;
            if (fits) {
                env->GetStringRegion(item, 0, length, reinterpret_cast<jchar*>(text + used));
                used += static_cast<DWORD>(length);
                text[used++] = L'\0';
            }
            if (item) env->DeleteLocalRef(item);
            if (!fits) return false;
        }
        text[used] = L'\0';
        type = REG_MULTI_SZ;
        size = (used + 1) * 2;
        return true;
    }
    case 4: {
        jclass arrayClass = env->FindClass("[B");
        if (!value || !arrayClass || !env->IsInstanceOf(value, arrayClass)) return false;
        jbyteArray bytes = static_cast<jbyteArray>(value);
        jsize length = env->GetArrayLength(bytes);
        DWORD n = static_cast<DWORD>(length) < capacity ? static_cast<DWORD>(length) : capacity;
        env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(n), reinterpret_cast<jbyte*>(buffer));
        type = REG_BINARY;
        size = n;
        return true;
    }
    default:
        return false;
    }
}

typedef LONG(WINAPI* RegDeleteKeyExWFn)(HKEY, LPCWSTR, REGSAM, DWORD);

// Deletes the key and everything below it, the deepest keys first.
void deleteTree(HKEY parent, const wchar_t* path, REGSAM view) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(parent, path, 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return;
    {
        ScopedKey key(opened);
        // All names first: deleting while enumerating would shift the indexes.
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            wchar_t name[kTreeNameChars];
            DWORD length = kTreeNameChars;
            if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(name, length);
        }
        for (auto it = names.rbegin(); it != names.rend(); ++it) deleteTree(key.get(), it->c_str(), view);
    }
    static auto deleteKeyEx = procAddress<RegDeleteKeyExWFn>(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW");
    if (view != 0 && deleteKeyEx)
        deleteKeyEx(parent, path, view, 0);
    else
        RegDeleteKeyW(parent, path);
}

std::vector<std::wstring> enumerate(HKEY key, bool subKeys) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        std::unique_ptr<wchar_t[]> name(new wchar_t[kEnumNameChars]);
        DWORD length = kEnumNameChars;
        LONG result;
        if (subKeys) {
            std::unique_ptr<wchar_t[]> keyClass(new wchar_t[kEnumNameChars]);
            DWORD classLength = kEnumNameChars;
            FILETIME written;
            result = RegEnumKeyExW(key, index, name.get(), &length, nullptr, keyClass.get(), &classLength, &written);
        } else {
            result = RegEnumValueW(key, index, name.get(), &length, nullptr, nullptr, nullptr, nullptr);
        }
        // ERROR_NO_MORE_ITEMS ends it; so does any other error, or it would never end.
        if (result != ERROR_SUCCESS) break;
        names.emplace_back(name.get(), length);
    }
    return names;
}

jobjectArray enumNames(JNIEnv* env, jint root, jstring path, jint view, bool subKeys) {
    std::vector<std::wstring> names;
    {
        ScopedKey key(openRegistryKey(env, root, view, path, Open::read));
        if (!key) return nullptr;
        names = enumerate(key.get(), subKeys);
    }
    return stringArray(env, names);
}

}  // namespace

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_keyExists0(
    JNIEnv* env, jclass, jint root, jstring path, jint view) {
    ScopedKey key(openRegistryKey(env, root, view, path, Open::read));
    return key ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_createKey0(
    JNIEnv* env, jclass, jint root, jstring path, jint view) {
    ScopedKey key(openRegistryKey(env, root, view, path, Open::create));
    return key ? JNI_TRUE : JNI_FALSE;
}

extern "C" jobject JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0(
    JNIEnv* env, jclass, jint root, jstring path, jstring name, jint view) {
    ScopedKey key(openRegistryKey(env, root, view, path, Open::read));
    if (!key) return nullptr;
    std::unique_ptr<wchar_t[]> valueName;
    if (!jstringToWide(env, name, valueName)) return nullptr;
    // On the heap: a Java thread's stack may be small.
    std::unique_ptr<BYTE[]> buffer(new BYTE[kValueBufferBytes]);
    DWORD type = 0, size = kValueBufferBytes;
    if (RegQueryValueExW(key.get(), valueName.get(), nullptr, &type, buffer.get(), &size) != ERROR_SUCCESS) return nullptr;
    return valueObject(env, type, buffer.get(), size);
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_setValue0(
    JNIEnv* env, jclass, jint root, jstring path, jstring name, jobject value, jint typeCode, jint view) {
    ScopedKey key(openRegistryKey(env, root, view, path, Open::create));
    if (!key) return JNI_FALSE;
    std::unique_ptr<wchar_t[]> valueName;
    if (!jstringToWide(env, name, valueName)) return JNI_FALSE;
    std::unique_ptr<BYTE[]> buffer(new BYTE[kValueBufferBytes]);
    DWORD type = 0, size = 0;
    if (!fillValue(env, value, typeCode, buffer.get(), kValueBufferBytes, type, size)) return JNI_FALSE;
    LONG result = RegSetValueExW(key.get(), valueName.get(), 0, type, buffer.get(), size);
    if (result != ERROR_SUCCESS) {
        printf("no success %d\n", static_cast<int>(result));
        fflush(stdout);
        return JNI_FALSE;
    }
    return JNI_TRUE;
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteValue0(
    JNIEnv* env, jclass, jint root, jstring path, jstring name, jint view) {
    ScopedKey key(openRegistryKey(env, root, view, path, Open::readWrite));
    if (!key) return;
    std::unique_ptr<wchar_t[]> valueName;
    if (!jstringToWide(env, name, valueName)) return;
    RegDeleteValueW(key.get(), valueName.get());
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_deleteKey0(
    JNIEnv* env, jclass, jint root, jstring path, jboolean onlyIfEmpty, jint view) {
    HKEY rootKey = registryRootKey(root);
    if (!rootKey) return;
    std::unique_ptr<wchar_t[]> keyPath;
    if (!jstringToWide(env, path, keyPath)) return;
    // No path names the root key itself: deleting its tree would empty a
    // whole hive. Leading backslashes would name the root too.
    const wchar_t* rest = keyPath.get();
    while (rest && *rest == L'\\') ++rest;
    if (!rest || !*rest) {
        printf("no key path: not deleting a root key\n");
        fflush(stdout);
        return;
    }
    if (onlyIfEmpty) {
        ScopedKey key(openKey(rootKey, keyPath.get(), view, Open::readWrite));
        if (key) {
            DWORD subKeys = 0, values = 0;
            if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                subKeys != 0 || values != 0)
                return;
        }
    }
    deleteTree(rootKey, keyPath.get(), static_cast<REGSAM>(view));
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_saveKey0(
    JNIEnv* env, jclass, jint root, jstring path, jstring file, jint view) {
    if (!setPrivilege(L"SeBackupPrivilege", true)) return JNI_FALSE;
    ScopedKey key(openRegistryKey(env, root, view, path, Open::readWrite));
    if (!key) return JNI_FALSE;
    std::unique_ptr<wchar_t[]> filePath;
    if (!jstringToWide(env, file, filePath)) return JNI_FALSE;
    return RegSaveKeyW(key.get(), filePath.get(), nullptr) == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_restoreKey0(
    JNIEnv* env, jclass, jint root, jstring path, jstring file, jint view) {
    if (!setPrivilege(L"SeBackupPrivilege", true) || !setPrivilege(L"SeRestorePrivilege", true)) return JNI_FALSE;
    ScopedKey key(openRegistryKey(env, root, view, path, Open::create));
    if (!key) return JNI_FALSE;
    std::unique_ptr<wchar_t[]> filePath;
    if (!jstringToWide(env, file, filePath)) return JNI_FALSE;
    return RegRestoreKeyW(key.get(), filePath.get(), 0) == ERROR_SUCCESS ? JNI_TRUE : JNI_FALSE;
}

extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumSubKeys0(
    JNIEnv* env, jclass, jint root, jstring path, jint view) {
    return enumNames(env, root, path, view, true);
}

extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_enumValues0(
    JNIEnv* env, jclass, jint root, jstring path, jint view) {
    return enumNames(env, root, path, view, false);
}

extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Registry_changeNotifyAssociations0(
    JNIEnv*, jclass) {
    shellChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}
