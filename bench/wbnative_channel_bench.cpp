// What wbnative's block channel and its handle listing cost, as ratios
// against baselines measured in the same run:
//   - round trips of 64 KiB and 1 MiB blocks through writeDataBlock0 and
//     readDataBlock0 (called through the stand-in for the Java VM) to an echo
//     peer process, against raw WriteFile/ReadFile loops of the same bytes
//     over the same pipe, with the per-block FlushFileBuffers that the
//     channel's protocol includes. The natives' time includes the stand-in
//     VM's own work (making the array sent, the native calls, and the array
//     calls the natives make); that work is also timed alone, and the natives
//     are reported with and without it, since a real VM does it at its own
//     speed;
//   - list0 against one raw read of the system handle table, as this process
//     holds more and more non-file handles (events).
// Every ratio is the median of per-pair ratios: the measured code and its
// baseline alternate (round trip by round trip, call by call).
// Usage: wbnative_channel_bench [runs [mib]]: runs of mib MiB each way per
// block size. Exits 1 if a transfer failed.
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
typedef jlong(JNICALL* NoArgLongFn)(JNIEnv*, jclass);
typedef LONG(NTAPI* QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);

// One raw round trip: length word and payload out in one write, flushed as
// the channel does, the echo back.
bool rawRoundTrip(HANDLE pipe, std::vector<char>& block) {
    if (!writeAll(pipe, block.data(), static_cast<DWORD>(block.size()))) return false;
    if (!FlushFileBuffers(pipe)) return false;
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
    auto invalidHandle = wbtest::native<NoArgLongFn>(kBackend, "getInvalidHandle0");
    if (!listen || !accept || !readBlock || !writeBlock || !list || !invalidHandle) return 1;

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

    printf("wbnative channel, round trips to an echo process, medians of %d runs of %d MiB each way,\n  round trip by round trip\n", runs, mib);
    printf("  %-7s %13s %13s %13s %16s %16s %9s\n", "block", "natives MB/s", "w/o VM MB/s", "raw+fl MB/s",
           "natives/raw+fl", "w/o VM/raw+fl", "VM share");
    for (size_t size : {size_t{64} << 10, size_t{1} << 20}) {
        size_t blocks = (static_cast<size_t>(mib) << 20) / size;
        std::vector<jbyte> payload(size);
        for (size_t i = 0; i < size; ++i) payload[i] = static_cast<jbyte>(i * 31);
        std::vector<jbyte> scratch(size);
        std::vector<char> rawBlock(4 + size);
        uint32_t length = static_cast<uint32_t>(size);
        memcpy(rawBlock.data(), &length, 4);
        JNIEnv* env = vm.env();
        // One triple per block: the stand-in VM's own work for a round trip
        // (the array the caller sends, two native calls, the natives' array
        // calls: the payload copied out of one array, a new array filled with
        // the echo), a round trip through the natives, a raw round trip.
        // Triples alternate so that each ratio compares block with block under
        // the same load, and which round trip comes first alternates too: the
        // one that follows the other finds the echo process in another state.
        // The first run warms up.
        std::vector<double> natives, bare, raws, ratios, bareRatios, shares;
        for (size_t b = 0; b < blocks * static_cast<size_t>(runs + 1); ++b) {
            double start = now();
            for (int call = 0; call < 2; ++call) vm.call(invalidHandle, vm.findClass(cls));
            jbyteArray out = vm.newArray(payload);
            env->GetByteArrayRegion(out, 0, static_cast<jsize>(size), scratch.data());
            jbyteArray echo = env->NewByteArray(static_cast<jsize>(size));
            env->SetByteArrayRegion(echo, 0, static_cast<jsize>(size), scratch.data());
            env->DeleteLocalRef(echo);
            env->DeleteLocalRef(out);
            double v = now() - start;

            double n = 0, r = 0;
            auto throughNatives = [&] {
                double begin = now();
                jbyteArray sent = vm.newArray(payload);
                bool ok = vm.call(writeBlock, vm.findClass(cls), server, sent);
                jbyteArray back = ok ? vm.call(readBlock, vm.findClass(cls), server) : nullptr;
                n = now() - begin;
                env->DeleteLocalRef(sent);
                bool whole = back && env->GetArrayLength(back) == static_cast<jsize>(size);
                if (back) env->DeleteLocalRef(back);
                return whole;
            };
            auto rawly = [&] {
                double begin = now();
                bool ok = rawRoundTrip(raw, rawBlock);
                r = now() - begin;
                return ok;
            };
            if (b % 2 ? !(rawly() && throughNatives()) : !(throughNatives() && rawly())) {
                ++failures;
                break;
            }
            // The stand-in VM frees unreferenced arrays only when it collects;
            // without this the process grew by four arrays per triple (to
            // gigabytes), and each array came from fresh memory, which slowed
            // the VM's calls inside the natives more than its work timed alone.
            vm.collectGarbage();
            if (b < blocks) continue;
            natives.push_back(n);
            bare.push_back(n - v);
            raws.push_back(r);
            ratios.push_back(r / n);
            bareRatios.push_back(r / (n - v));
            shares.push_back(v / n);
        }
        if (natives.empty()) break;
        double bytes = static_cast<double>(size);
        printf("  %-7s %13.1f %13.1f %13.1f %16.2f %16.2f %9.2f\n", size == (64u << 10) ? "64 KiB" : "1 MiB",
               bytes / median(natives) / 1e6, bytes / median(bare) / 1e6, bytes / median(raws) / 1e6,
               median(ratios), median(bareRatios), median(shares));
        if (failures) break;
    }
    vm.call(closeHandle, vm.findClass(cls), server);
    WaitForSingleObject(peer.hProcess, 10000);
    CloseHandle(peer.hThread);
    CloseHandle(peer.hProcess);

    // list0 as this process holds more non-file handles: the table grows with
    // them, and list0 skips them after asking their type once.
    printf("wbnative list0, medians of %d calls, against one raw read of the system handle table\n", runs);
    printf("  %-14s %14s %14s %12s %10s\n", "extra events", "table entries", "list0 ms", "raw read ms", "ratio");
    std::vector<HANDLE> extra;
    for (int target : {0, 1000, 4000}) {
        while (static_cast<int>(extra.size()) < target) extra.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::vector<double> calls, reads, ratios;
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
            ratios.push_back(l / r);
        }
        printf("  %-14d %14lu %14.2f %12.2f %10.1f\n", target, entries, median(calls) * 1e3, median(reads) * 1e3,
               median(ratios));
    }
    for (HANDLE h : extra) CloseHandle(h);
    if (failures) printf("  %d transfers or calls failed\n", failures);
    return failures ? 1 : 0;
}
