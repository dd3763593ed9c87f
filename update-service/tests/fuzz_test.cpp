// Fuzz targets of the update service's outside input: the marker file's first
// line (written by the installer's commit-installation, read by the clone) and
// the command line (from the client, the installer, the service manager). Each
// checks the parser's contract on every input (fuzz.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz.h"
#include "marker_contract.h"

using namespace qarfuzz;

namespace {

std::string hexHead(const Bytes& bytes) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < bytes.size() && i < 48; ++i) {
        snprintf(pair, sizeof pair, "%02X ", bytes[i]);
        out += pair;
    }
    return out + (bytes.size() > 48 ? "... (" + std::to_string(bytes.size()) + " bytes)" : "");
}

// Windows' own conversion, which the clone used before the rules were split
// from the file: the verdict of a line that starts with the mark.
MarkerRead windowsVerdict(const std::string& body, size_t units, std::wstring& path) {
    path.clear();
    if (body.empty()) return MarkerRead::Empty;
    if (body.size() > 3 * (units - 1)) return MarkerRead::TooLong;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, body.data(), static_cast<int>(body.size()), nullptr, 0);
    if (n <= 0) return MarkerRead::Empty;
    if (static_cast<size_t>(n) >= units) return MarkerRead::TooLong;
    path.resize(n);
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, body.data(), static_cast<int>(body.size()), path.data(), n);
    return MarkerRead::Found;
}

TEST(MarkerLineFuzz, KeepsTheLineRules) {
    Campaign campaign("qarupdateservice.marker-line", "fuzz");
    Generator inputs(seed(), markercontract::corpus(), 8192);
    const size_t count = inputCount(4000);
    static const size_t unitChoices[] = {1024, 1024, 1024, 1024, 1, 2, 16, 300};
    for (size_t i = 0; i < count; ++i) {
        Bytes input = inputs.next();
        size_t units = unitChoices[inputs.rng().below(8)];
        campaign.begin(input.data(), input.size());
        GuardedBytes bytes(input);
        bytes.seal();
        // The path buffer also ends at a no-access page: a write past it faults.
        std::vector<uint8_t> zeros(units * sizeof(char16_t));
        GuardedBytes pathBuffer(zeros);
        auto* path = reinterpret_cast<char16_t*>(const_cast<uint8_t*>(pathBuffer.data()));

        markercontract::Outcome outcome;
        std::string broken = markercontract::check(bytes.data(), bytes.size(), path, units, outcome);
        ASSERT_EQ(broken, "") << "input " << i << " units " << units << ": " << hexHead(input);

        size_t line = 0;
        while (line < input.size() && input[line] != '\r' && input[line] != '\n') ++line;
        if (line >= 3 && input[0] == 0xEF && input[1] == 0xBB && input[2] == 0xBF) {
            std::wstring expected;
            MarkerRead verdict = windowsVerdict(std::string(input.begin() + 3, input.begin() + line), units, expected);
            ASSERT_EQ(markercontract::name(outcome.result), std::string(markercontract::name(verdict)))
                << "input " << i << " units " << units << ": " << hexHead(input);
            ASSERT_TRUE(outcome.path == std::u16string(expected.begin(), expected.end()))
                << "input " << i << ": " << hexHead(input);
        }
    }
    campaign.report();
}

// --- the command line -------------------------------------------------------------

bool isHelp(const std::wstring& a) {
    return a == L"/?" || a == L"-h" || a == L"--help";
}
bool isVerbose(const std::wstring& a) {
    return a == L"/VERBOSE" || a == L"-v" || a == L"--verbose";
}
Command commandOf(const std::wstring& a) {
    if (a == L"install") return Install;
    if (a == L"delete") return Delete;
    if (a == L"be-process-runner") return ProcessRunner;
    if (a == L"commit-installation") return CommitInstallation;
    if (a == L"software-update") return SoftwareUpdate;
    return None;
}

// The rules as a whole rather than step by step: the usage text exactly when a
// help option is anywhere, two command words are given, or a
// commit-installation has no path after it that fits; otherwise the one
// command word's command (None without one), the verbose flag when a verbose
// option is anywhere, and the application path the element right after
// commit-installation.
TEST(CommandLineFuzz, IsARequestOrTheUsage) {
    Campaign campaign("qarupdateservice.command-line", "fuzz");
    const std::wstring program = L"C:\\Program Files\\QAR Client\\qarupdateservice.exe";
    ArgvGenerator inputs(seed(),
                         {{program},
                          {program, L"install"},
                          {program, L"delete"},
                          {program, L"-v", L"install"},
                          {program, L"software-update", L"C:\\Users\\me\\AppData\\Local\\Temp\\setup.exe"},
                          {program, L"software-update", L"C:\\setup.exe", L"/VERBOSE"},
                          {program, L"commit-installation", L"C:\\Program Files\\QAR Client\\QAR Client.exe"},
                          {program, L"commit-installation", L"C:\\app.exe", L"--verbose"},
                          {L"qus_clone.exe", L"be-process-runner"},
                          {program, L"/?"}},
                         {L"install", L"delete", L"be-process-runner", L"commit-installation", L"software-update",
                          L"/?", L"-h", L"--help", L"/VERBOSE", L"-v", L"--verbose", L"INSTALL", L"/verbose",
                          L"-help", L"install ", L"C:\\app.exe"});
    const size_t count = inputCount(4000);
    for (size_t i = 0; i < count; ++i) {
        ArgvGenerator::Argv args = inputs.next();
        campaign.begin();
        WideArgv argv(args);
        CommandLineRequest r = scanCommandLine(argv.argc(), argv.argv());

        bool help = false, verbose = false, badPath = false;
        int words = 0;
        Command only = None;
        size_t pathIndex = 0;
        for (size_t k = 0; k < args.size(); ++k) {
            help = help || isHelp(args[k]);
            verbose = verbose || isVerbose(args[k]);
            Command c = commandOf(args[k]);
            if (c == None) continue;
            ++words;
            only = c;
            if (c == CommitInstallation) {
                if (k + 1 >= args.size() || args[k + 1].size() >= APPLICATION_PATH_UNITS) badPath = true;
                pathIndex = k + 1;
            }
        }
        const std::string where = "input " + std::to_string(i) + ": " + describeArgv(args);
        if (help || words >= 2 || badPath) {
            ASSERT_EQ(r.command, ShowUsage) << where;
            continue;
        }
        ASSERT_EQ(r.command, only) << where;
        ASSERT_EQ(r.verbose, verbose) << where;
        if (only == CommitInstallation) {
            ASSERT_EQ(r.applicationPath, argv.argv()[pathIndex]) << where;
        } else {
            ASSERT_EQ(r.applicationPath, nullptr) << where;
        }
    }
    campaign.report();
}

}  // namespace
