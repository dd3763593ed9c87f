// Test-only: creates a pipe whose creating process is gone by the time a
// client connects.
//   qar_orphan_pipe <pipe> <parent pid> <sddl>
// Creates <pipe> (message mode, overlapped, one instance) with the security
// descriptor <sddl>, duplicates its server end into process <parent pid>,
// writes "<handle value in the parent> <own pid>" and ends. Exit code 0, or 2
// on bad arguments, 3 when a step fails.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[3], SDDL_REVISION_1, &descriptor, nullptr)) return 3;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 5000,
                                   &attributes);
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) return 3;
    HANDLE parent = OpenProcess(PROCESS_DUP_HANDLE, FALSE, wcstoul(argv[2], nullptr, 10));
    if (!parent) return 3;
    HANDLE inParent = nullptr;
    BOOL ok = DuplicateHandle(GetCurrentProcess(), pipe, parent, &inParent, 0, FALSE, DUPLICATE_SAME_ACCESS);
    CloseHandle(parent);
    CloseHandle(pipe);
    if (!ok) return 3;
    printf("%llu %lu\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(inParent)), GetCurrentProcessId());
    return 0;
}
