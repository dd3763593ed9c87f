// This process's open file handles, with their kernel names, read from the
// system handle table; closing one of them; resolving an object-manager
// symbolic link. The native API is looked up in ntdll at each call.
#include "wbnative.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

typedef LONG NTSTATUS_;

struct CountedString {
    USHORT length;  // bytes, no terminator
    USHORT maximumLength;
    wchar_t* buffer;
};

struct ObjectAttributes {
    ULONG length;
    HANDLE rootDirectory;
    CountedString* objectName;
    ULONG attributes;
    void* securityDescriptor;
    void* securityQualityOfService;
};

// One row of the table of SystemHandleInformation (class 16). Natural
// alignment gives the 16-byte row of 32-bit Windows and the 24-byte row of
// 64-bit Windows.
struct HandleEntry {
    ULONG ownerPid;
    UCHAR objectType;
    UCHAR flags;
    USHORT value;
    void* object;
    ULONG access;
};

struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kObjectNameInformation = 1;
constexpr ULONG kObjectTypeInformation = 2;
constexpr NTSTATUS_ kInfoLengthMismatch = static_cast<NTSTATUS_>(0xC0000004);
constexpr NTSTATUS_ kBufferTooSmall = static_cast<NTSTATUS_>(0xC0000023);

// Querying the name of a synchronous pipe opened for reading and writing can
// block for good; handles granted exactly this access are never named.
constexpr ULONG kUnqueriedAccess = 0x0012019F;

typedef NTSTATUS_(NTAPI* QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);
typedef NTSTATUS_(NTAPI* DuplicateObjectFn)(HANDLE, HANDLE, HANDLE, HANDLE*, ACCESS_MASK, ULONG, ULONG);
typedef NTSTATUS_(NTAPI* QueryObjectFn)(HANDLE, ULONG, void*, ULONG, ULONG*);
typedef NTSTATUS_(NTAPI* OpenSymbolicLinkFn)(HANDLE*, ACCESS_MASK, ObjectAttributes*);
typedef NTSTATUS_(NTAPI* QuerySymbolicLinkFn)(HANDLE, CountedString*, ULONG*);

template <typename F>
F ntdll(const char* name) {
    HMODULE module = GetModuleHandleA("ntdll.dll");
    return module ? procAddress<F>(module, name) : nullptr;
}

// A heap block from malloc, freed when it goes.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

Block allocate(size_t size) { return Block(static_cast<char*>(std::malloc(size))); }

std::string narrow(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

// The system handle table, in a buffer that starts at 64 KiB and doubles
// until it fits; null (after the message) when it cannot be read.
Block readHandleTable(QuerySystemInformationFn query, ULONG& size) {
    size = 0x10000;
    for (;;) {
        Block table = allocate(size);
        if (!table) return nullptr;
        ULONG needed = 0;
        NTSTATUS_ status = query(kSystemHandleInformation, table.get(), size, &needed);
        if (status == kInfoLengthMismatch && size <= 0x40000000) {
            size *= 2;
            continue;
        }
        if (status < 0) {
            std::printf("NtQuerySystemInformation failed!\n");
            return nullptr;
        }
        return table;
    }
}

// What the object type number of a handle table row stands for. The numbers
// are fixed for the whole boot, so one call asks the type of each number once,
// on the first row that has it, and skips the rows of other types without
// asking anything.
enum class Kind : unsigned char { unknown, file, other };

// 1 if the object is of the type named exactly "File", 0 if of another type,
// -1 if its type cannot be read.
int isFile(QueryObjectFn queryObject, HANDLE handle) {
    Block type = allocate(4096);
    if (!type || queryObject(handle, kObjectTypeInformation, type.get(), 4096, nullptr) < 0) return -1;
    const CountedString* typeName = reinterpret_cast<const CountedString*>(type.get());
    return typeName->length == 8 && typeName->buffer && wcsncmp(typeName->buffer, L"File", 4) == 0;
}

// The name of a file object, or empty when it has none or cannot be read.
std::wstring objectName(QueryObjectFn queryObject, HANDLE handle) {
    ULONG needed = 0;
    ULONG size = 4096;
    Block name = allocate(size);
    if (!name) return {};
    NTSTATUS_ status = queryObject(handle, kObjectNameInformation, name.get(), size, &needed);
    if (status < 0 && needed > sizeof(CountedString)) {
        size = needed;
        name = allocate(size);
        if (!name) return {};
        status = queryObject(handle, kObjectNameInformation, name.get(), size, nullptr);
    }
    if (status < 0) return {};
    const CountedString* objectName = reinterpret_cast<const CountedString*>(name.get());
    if (objectName->length == 0 || !objectName->buffer) return {};
    return std::wstring(objectName->buffer, objectName->length / 2);
}

// Whether the name of this file object may be asked. A synchronous pipe or
// device can hold the name query until its pending read ends, which may be
// never; the kind of file, answered from the device object, never waits.
// Pipes and character devices are never files the installer replaces.
bool mayAskName(HANDLE handle, ULONG access) {
    if (access == kUnqueriedAccess) return false;
    DWORD kind = GetFileType(handle);
    return kind != FILE_TYPE_PIPE && kind != FILE_TYPE_CHAR;
}

}  // namespace

// {int[] handle values, String[] kernel names} of this process's named file
// handles, in table order; null when the table cannot be read. The rows are
// this process's own handles, asked as they are: a duplicate to ask instead
// would cost two more calls into the kernel per handle, and under Wine a
// third, for the new handle's file descriptor (together two thirds of a
// call's time).
extern "C" jobjectArray JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_list0(
    JNIEnv* env, jclass) {
    auto query = ntdll<QuerySystemInformationFn>("NtQuerySystemInformation");
    auto queryObject = ntdll<QueryObjectFn>("NtQueryObject");
    if (!query || !queryObject) return nullptr;

    std::vector<jint> values;
    std::vector<std::wstring> names;
    {
        ULONG size = 0;
        Block buffer = readHandleTable(query, size);
        if (!buffer) {
            std::fflush(stdout);
            return nullptr;
        }
        const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.get());
        // Never read a row beyond the buffer, whatever the count says.
        size_t fits = (size - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
        size_t count = table->count < fits ? table->count : fits;
        DWORD self = GetCurrentProcessId();
        Kind kinds[256] = {};
        for (size_t i = 0; i < count; ++i) {
            const HandleEntry& entry = table->entries[i];
            if (entry.ownerPid != self) continue;
            Kind& kind = kinds[entry.objectType];
            if (kind == Kind::other || (kind == Kind::file && entry.access == kUnqueriedAccess)) continue;
            HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entry.value));
            if (kind == Kind::unknown) {
                int file = isFile(queryObject, handle);
                if (file < 0) continue;  // asked again on the next row of this number
                kind = file ? Kind::file : Kind::other;
                if (kind == Kind::other) continue;
            }
            if (!mayAskName(handle, entry.access)) continue;
            std::wstring name = objectName(queryObject, handle);
            if (name.empty()) continue;
            values.push_back(static_cast<jint>(entry.value));
            names.push_back(std::move(name));
        }
    }
    std::fflush(stdout);

    jsize count = static_cast<jsize>(values.size());
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) return nullptr;
    jobjectArray strings = env->NewObjectArray(count, stringClass, nullptr);
    env->DeleteLocalRef(stringClass);
    if (!strings) return nullptr;
    for (jsize i = 0; i < count; ++i) {
        const std::wstring& name = names[static_cast<size_t>(i)];
        jstring text = env->NewString(reinterpret_cast<const jchar*>(name.data()), static_cast<jsize>(name.size()));
        if (!text) return nullptr;
        env->SetObjectArrayElement(strings, i, text);
        env->DeleteLocalRef(text);
    }
    jintArray handles = env->NewIntArray(count);
    if (!handles) return nullptr;
    if (count > 0) env->SetIntArrayRegion(handles, 0, count, values.data());

    jclass objectClass = env->FindClass("java/lang/Object");
    if (!objectClass) return nullptr;
    jobjectArray pair = env->NewObjectArray(2, objectClass, nullptr);
    env->DeleteLocalRef(objectClass);
    if (!pair) return nullptr;
    env->SetObjectArrayElement(pair, 0, handles);
    env->SetObjectArrayElement(pair, 1, strings);
    env->DeleteLocalRef(handles);
    env->DeleteLocalRef(strings);
    return pair;
}

// Closes a handle of this process; false when it is no open handle.
extern "C" jboolean JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_close0(
    JNIEnv*, jclass, jint handle) {
    auto duplicate = ntdll<DuplicateObjectFn>("NtDuplicateObject");
    if (!duplicate) return JNI_FALSE;
    HANDLE copy = nullptr;
    HANDLE source = handleFromJava(handle);
    if (duplicate(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, 0, DUPLICATE_CLOSE_SOURCE) < 0)
        return JNI_FALSE;
    if (copy) CloseHandle(copy);
    return JNI_TRUE;
}

// The target of an object-manager symbolic link (a drive letter's link gives
// the volume's device path); null after a message when it cannot be read.
extern "C" jstring JNICALL Java_com_wizbuild_runtime_installer_platform_win32_Win32Handle_getDeviceName0(
    JNIEnv* env, jclass, jstring linkName) {
    if (!linkName) return nullptr;
    auto open = ntdll<OpenSymbolicLinkFn>("NtOpenSymbolicLinkObject");
    auto query = ntdll<QuerySymbolicLinkFn>("NtQuerySymbolicLinkObject");
    if (!open || !query) {
        std::printf("did not find functions\n");
        std::fflush(stdout);
        return nullptr;
    }
    std::unique_ptr<wchar_t[]> name;
    if (!jstringToWide(env, linkName, name) || !name) return nullptr;
    size_t chars = wcslen(name.get());
    if (chars > 0x7FFF) chars = 0x7FFF;  // a counted string holds at most 65534 bytes
    CountedString counted{static_cast<USHORT>(chars * 2), static_cast<USHORT>(chars * 2), name.get()};
    ObjectAttributes attributes{sizeof(ObjectAttributes), nullptr, &counted, 0, nullptr, nullptr};

    HANDLE link = nullptr;
    NTSTATUS_ status = open(&link, GENERIC_READ, &attributes);
    if (status < 0) {
        std::printf("could not open link %s %p\n", narrow(name.get()).c_str(),
                    reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<ULONG>(status))));
        std::fflush(stdout);
        return nullptr;
    }
    ScopedHandle owned(link);

    CountedString target{0, 0, nullptr};
    ULONG length = 0;
    if (query(link, &target, &length) != kBufferTooSmall || length > 0xFFFC) {
        std::printf("could not query link length %s\n", narrow(name.get()).c_str());
        std::fflush(stdout);
        return nullptr;
    }
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[length / 2 + 1]);
    if (!text) return nullptr;
    target.buffer = text.get();
    target.length = 0;
    target.maximumLength = static_cast<USHORT>(length / 2 * 2 + 2);
    if (query(link, &target, &length) < 0) {
        std::printf("could not query link %s\n", narrow(name.get()).c_str());
        std::fflush(stdout);
        return nullptr;
    }
    return env->NewString(reinterpret_cast<const jchar*>(text.get()), target.length / 2);
}
