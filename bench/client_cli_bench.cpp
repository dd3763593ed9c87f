// What one qar-client-cli run costs, as ratios against baselines measured in
// the same run:
//   - a whole run (process start to exit, legacy-status against a stand-in for
//     the QAR Client) against starting and ending a trivial program built as
//     the CLI is;
//   - the pipe transaction alone (callClient) against a raw CallNamedPipeW of
//     the same bytes to the same peer.
// Each ratio is the median of per-pair ratios, the two sides alternating.
// Usage: qar_client_cli_bench [runs [calls]] (pairs of each); prints medians
// and ratios, and exits 1 if a run or call did not succeed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "pipe_message.h"
#include "pipe_peer.h"
#include "pipe_transaction.h"

namespace {

using bench::median;
using bench::now;
using bench::windowsPath;

const char OK_REPLY[] = "\x04\x1A\x02ok";  // error_code 0, payload "ok"

/// Runs commandLine with standard handles on NUL and waits for it. Returns the
/// seconds from CreateProcessW to the end of the wait; exitCode receives the
/// process's exit code (or -1 when it did not start).
double timeProcess(const std::wstring& exe, const std::wstring& commandLine, HANDLE nul, DWORD* exitCode) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(0);
    double start = now();
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "cannot start %ls: %lu\n", exe.c_str(), GetLastError());
        *exitCode = static_cast<DWORD>(-1);
        return 0;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    double elapsed = now() - start;
    GetExitCodeProcess(pi.hProcess, exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return elapsed;
}

/// Blocks until the peer listens again: a caller that does not wait for a busy
/// pipe must not meet it between two clients. Not part of any measurement.
void waitForListener(const std::wstring& pipe) {
    WaitNamedPipeW(pipe.c_str(), NMPWAIT_WAIT_FOREVER);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    int calls = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (runs < 1 || calls < 1) {
        fprintf(stderr, "usage: qar_client_cli_bench [runs [calls]]\n");
        return 2;
    }

    std::wstring user = L"cli-bench-" + std::to_wstring(GetCurrentProcessId());
    std::wstring pipe = L"\\\\.\\pipe\\qar-client-cli_" + user;
    SetEnvironmentVariableW(L"USERNAME", user.c_str());  // inherited by the CLI runs too
    qartest::PipePeer peer(pipe, std::string(OK_REPLY, sizeof(OK_REPLY) - 1));
    if (!peer.ok()) {
        fprintf(stderr, "cannot create %ls: %lu\n", pipe.c_str(), peer.error());
        return 1;
    }
    int failures = 0;

    // Whole runs in pairs with the baseline, which is built as the CLI is
    // (static, stripped, same manifest and subsystem). Within a pair both see
    // the same machine; which runs first alternates from pair to pair, and
    // the ratio is the median of the pairs' ratios.
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    std::wstring cli = windowsPath(QAR_CLIENT_CLI_EXE);
    std::wstring trivial = windowsPath(QAR_BENCH_TRIVIAL_EXE);
    std::vector<double> cliRuns, trivialRuns, runRatios;
    const int warmUp = 2;
    for (int i = 0; i < warmUp + runs; ++i) {
        DWORD trivialExit = 0, cliExit = 0;
        double t = 0, c = 0;
        auto runTrivial = [&] { t = timeProcess(trivial, L"\"" + trivial + L"\"", nul, &trivialExit); };
        auto runCli = [&] {
            waitForListener(pipe);
            c = timeProcess(cli, L"\"" + cli + L"\" legacy-status", nul, &cliExit);
        };
        if (i % 2) {
            runCli();
            runTrivial();
        } else {
            runTrivial();
            runCli();
        }
        if (trivialExit != 0 || cliExit != 0) {
            fprintf(stderr, "run %d: trivial program exit %lu, CLI exit %lu\n", i, trivialExit, cliExit);
            ++failures;
        }
        if (i < warmUp) continue;
        trivialRuns.push_back(t);
        cliRuns.push_back(c);
        runRatios.push_back(c / t);
    }
    CloseHandle(nul);

    // The transaction alone, against the same bytes sent raw.
    messages::CLIRequest request;
    std::vector<uint8_t> bytes;
    encodePipeMessage(request, bytes);
    std::vector<uint8_t> reply(65536);
    std::vector<double> transactions, rawCalls, callRatios;
    for (int i = 0; i < warmUp + calls; ++i) {
        waitForListener(pipe);
        double start = now();
        bool ok = true;
        try {
            messages::CLIResponse response = callClient(request);
            ok = response.payload() == "ok";
        } catch (const std::exception& e) {
            fprintf(stderr, "call %d: %s\n", i, e.what());
            ok = false;
        }
        double transaction = now() - start;

        waitForListener(pipe);
        DWORD read = 0;
        start = now();
        BOOL rawOk = CallNamedPipeW(pipe.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()), reply.data(),
                                    static_cast<DWORD>(reply.size()), &read, NMPWAIT_NOWAIT);
        double raw = now() - start;
        if (!ok || !rawOk || read != sizeof(OK_REPLY) - 1) {
            fprintf(stderr, "call %d: transaction %s, raw call %s (%lu)\n", i, ok ? "ok" : "failed",
                    rawOk ? "ok" : "failed", rawOk ? 0ul : GetLastError());
            ++failures;
        }
        if (i < warmUp) continue;
        transactions.push_back(transaction);
        rawCalls.push_back(raw);
        callRatios.push_back(transaction / raw);
    }

    printf("qar-client-cli, medians of %d pairs of runs and %d pairs of calls\n", runs, calls);
    printf("  whole run, legacy-status against the test peer  %10.2f ms\n", median(cliRuns) * 1e3);
    printf("  trivial program, start to exit                  %10.2f ms\n", median(trivialRuns) * 1e3);
    printf("  ratio (median of the pairs' ratios)             %10.2f\n", median(runRatios));
    printf("  pipe transaction (callClient)                   %10.1f us\n", median(transactions) * 1e6);
    printf("  raw CallNamedPipeW, same bytes                  %10.1f us\n", median(rawCalls) * 1e6);
    printf("  ratio (median of the pairs' ratios)             %10.2f\n", median(callRatios));
    if (failures) printf("  %d runs or calls failed\n", failures);
    return failures ? 1 : 0;
}
