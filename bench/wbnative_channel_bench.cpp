// What wbnative's block channel and its handle listing cost, as ratios
// against baselines measured in the same run:
//   - round trips of 64 KiB and 1 MiB blocks through writeDataBlock0 and
//     readDataBlock0 (called through the stand-in for the Java VM) to an echo
//     peer process, against raw WriteFile/ReadFile loops of the same bytes
//     over the same pipe, with and without the per-block FlushFileBuffers
//     that the channel's protocol includes; "VM share" is the part of the
//     natives' time that the stand-in VM's array work alone takes;
//   - list0 against one raw read of the system handle table, at growing
//     sizes of that table (this process holding more and more handles).
// Usage: wbnative_channel_bench [runs [mib]]: medians of runs, each moving
// mib MiB each way per block size. Exits 1 if a transfer failed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "jvm.h"
#include "pipe_peer.h"
#include "wbnative_test.h"

namespace {

using bench::median;
using bench::now;
using bench::windowsPath;
using qartest::readAll;
using qartest::writeAll;

const char kBackend[] = "Win32CommunicationBackend";

typedef jlong(JNICALL* NameFn)(JNIEnv*, jclass, jstring);
typedef jboolean(JNICALL* HandleBoolFn)(JNIEnv*, jclass, jlong);
typedef void(JNICALL* HandleVoidFn)(JNIEnv*, jclass, jlong);
typedef jbyteArray(JNICALL* ReadFn)(JNIEnv*, jclass, jlong);
typedef jboolean(JNICALL* WriteFn)(JNIEnv*, jclass, jlong, jbyteArray);
typedef jobjectArray(JNICALL* ListFn)(JNIEnv*, jclass);
typedef LONG(NTAPI* QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);

// One raw round trip: length word and payload out, the echo back.
bool rawRoundTrip(HANDLE pipe, std::vector<char>& block, bool flush) {
    if (!writeAll(pipe, block.data(), static_cast<DWORD>(block.size()))) return false;
    if (flush && !FlushFileBuffers(pipe)) return false;
    return readAll(pipe, block.data(), static_cast<DWORD>(block.size()));
}

// The system handle table's entry count, and the time of one raw read of it.
ULONG handleTable(double* seconds) {
    auto query = reinterpret_cast<QuerySystemInformationFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(0x10000);
    double start = now();
    ULONG needed = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) == static_cast<LONG>(0xC0000004))
        buffer.resize(buffer.size() * 2);
    *seconds = now() - start;
    return *reinterpret_cast<ULONG*>(buffer.data());
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    int mib = argc > 2 ? std::atoi(argv[2]) : 32;
    if (runs < 1 || mib < 1) {
        fprintf(stderr, "usage: wbnative_channel_bench [runs [mib]]\n");
        return 2;
    }
    mib = std::min(mib, 256);
    qarjvm::Jvm vm;
    std::string cls = vm.defineClass(std::string(wbtest::kWin32) + kBackend).name();
    vm.defineClass(std::string(wbtest::kWin32) + "Win32Handle");
    auto listen = wbtest::native<NameFn>(kBackend, "createListener0");
    auto accept = wbtest::native<HandleBoolFn>(kBackend, "connectNamedPipe0");
    auto closeHandle = wbtest::native<HandleVoidFn>(kBackend, "closeHandle0");
    auto readBlock = wbtest::native<ReadFn>(kBackend, "readDataBlock0");
    auto writeBlock = wbtest::native<WriteFn>(kBackend, "writeDataBlock0");
    auto list = wbtest::native<ListFn>("Win32Handle", "list0");
    if (!listen || !accept || !readBlock || !writeBlock || !list) return 1;

    std::wstring pipe = L"\\\\.\\pipe\\wbnative-bench-" + std::to_wstring(GetCurrentProcessId());
    jlong server = vm.call(listen, vm.findClass(cls), vm.newString(pipe));
    std::wstring peerExe = windowsPath(WBNATIVE_CHANNEL_PEER_EXE);
    std::wstring line = L"\"" + peerExe + L"\" echo-client \"" + pipe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION peer{};
    if (server == -1 || !CreateProcessW(peerExe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &peer) ||
        !vm.call(accept, vm.findClass(cls), server)) {
        fprintf(stderr, "cannot set up the channel: %lu\n", GetLastError());
        return 1;
    }
    HANDLE raw = reinterpret_cast<HANDLE>(static_cast<intptr_t>(server));
    int failures = 0;

    printf("wbnative channel, round trips to an echo process, medians of %d runs of %d MiB each way\n", runs, mib);
    printf("  %-9s %14s %14s %14s %12s %12s %10s\n", "block", "natives MB/s", "raw+flush MB/s", "raw MB/s",
           "time/raw+fl", "time/raw", "VM share");
    for (size_t size : {size_t{64} << 10, size_t{1} << 20}) {
        size_t blocks = (static_cast<size_t>(mib) << 20) / size;
        std::vector<jbyte> payload(size);
        for (size_t i = 0; i < size; ++i) payload[i] = static_cast<jbyte>(i * 31);
        std::vector<char> rawBlock(4 + size);
        uint32_t length = static_cast<uint32_t>(size);
        memcpy(rawBlock.data(), &length, 4);
        std::vector<double> natives, flushed, plain, vmWork;
        for (int run = 0; run < runs + 1; ++run) {  // the first run warms up
            // What the stand-in VM alone costs per block: making the array
            // the caller sends, reading back the one it receives.
            double start = now();
            for (size_t b = 0; b < blocks; ++b) {
                jbyteArray out = vm.newArray(payload);
                if (vm.elements<jbyte>(out).size() != size) ++failures;
                vm.env()->DeleteLocalRef(out);
            }
            double v = now() - start;
            start = now();
            for (size_t b = 0; b < blocks; ++b) {
                jbyteArray out = vm.newArray(payload);
                bool ok = vm.call(writeBlock, vm.findClass(cls), server, out);
                jbyteArray back = ok ? vm.call(readBlock, vm.findClass(cls), server) : nullptr;
                vm.env()->DeleteLocalRef(out);
                if (!back) {
                    ++failures;
                    break;
                }
                vm.env()->DeleteLocalRef(back);
            }
            double n = now() - start;
            start = now();
            for (size_t b = 0; b < blocks; ++b)
                if (!rawRoundTrip(raw, rawBlock, true)) {
                    ++failures;
                    break;
                }
            double f = now() - start;
            start = now();
            for (size_t b = 0; b < blocks; ++b)
                if (!rawRoundTrip(raw, rawBlock, false)) {
                    ++failures;
                    break;
                }
            double p = now() - start;
            if (run == 0) continue;
            natives.push_back(n);
            vmWork.push_back(v);
            flushed.push_back(f);
            plain.push_back(p);
        }
        double bytes = static_cast<double>(blocks * size);
        double n = median(natives), f = median(flushed), p = median(plain), v = median(vmWork);
        printf("  %-9s %14.1f %14.1f %14.1f %12.2f %12.2f %10.2f\n", size == (64u << 10) ? "64 KiB" : "1 MiB",
               bytes / n / 1e6, bytes / f / 1e6, bytes / p / 1e6, n / f, n / p, v / n);
        if (failures) break;
    }
    vm.call(closeHandle, vm.findClass(cls), server);
    WaitForSingleObject(peer.hProcess, 10000);
    CloseHandle(peer.hThread);
    CloseHandle(peer.hProcess);

    // list0 as this process holds more handles: the table grows with them.
    printf("wbnative list0, medians of %d calls, against one raw read of the system handle table\n", runs);
    printf("  %-14s %14s %14s %12s %10s\n", "extra handles", "table entries", "list0 ms", "raw read ms", "ratio");
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<HANDLE> extra;
    for (int target : {0, 1000, 4000}) {
        while (static_cast<int>(extra.size()) < target)
            extra.push_back(CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        std::vector<double> calls, reads;
        ULONG entries = 0;
        for (int run = 0; run < runs + 1; ++run) {
            double start = now();
            jobjectArray result = vm.call(list, vm.findClass(std::string(wbtest::kWin32) + "Win32Handle"));
            double l = now() - start;
            if (!result) ++failures;
            else vm.env()->DeleteLocalRef(result);
            double r = 0;
            entries = handleTable(&r);
            if (run == 0) continue;
            calls.push_back(l);
            reads.push_back(r);
        }
        double l = median(calls), r = median(reads);
        printf("  %-14d %14lu %14.2f %12.2f %10.1f\n", target, entries, l * 1e3, r * 1e3, l / r);
    }
    for (HANDLE h : extra) CloseHandle(h);
    if (failures) printf("  %d transfers or calls failed\n", failures);
    return failures ? 1 : 0;
}
