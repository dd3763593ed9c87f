// Fuzz target of the launcher's command line: the help and argument rules,
// and the command line the client is started with, which must hand the
// parameter over as exactly one argument whatever it holds (fuzz.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz.h"

using namespace qarfuzz;

namespace {

const wchar_t CLIENT_FILE_NAME[] = L"QAR Client.exe";

// Builds the client's command line for parameter into a buffer of exactly the
// size asked for, ending at a no-access page, and reads it back the way the
// started program does. Returns what was broken, or an empty text.
std::string checkClientCommandLine(const std::wstring* parameter) {
    const wchar_t* p = parameter ? parameter->c_str() : nullptr;
    size_t units = clientCommandLine(CLIENT_FILE_NAME, p, nullptr);
    std::vector<uint8_t> zeros(units * sizeof(wchar_t));
    GuardedBytes buffer(zeros);
    auto* line = reinterpret_cast<wchar_t*>(const_cast<uint8_t*>(buffer.data()));
    if (clientCommandLine(CLIENT_FILE_NAME, p, line) != units) return "counted and written sizes differ";
    if (wcslen(line) != units - 1) return "the command line is not terminated where counted";

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line, &argc);
    if (!argv) return "CommandLineToArgvW failed";
    std::vector<std::wstring> back(argv, argv + argc);
    LocalFree(argv);
    std::vector<std::wstring> expected{CLIENT_FILE_NAME};
    if (parameter) expected.push_back(*parameter);
    if (back != expected) return "read back as " + describeArgv(back);
    return {};
}

bool isHelp(const std::wstring& a) {
    return a == L"/?" || a == L"-h" || a == L"--help";
}

// The usage text exactly when a help option is anywhere (the program name
// included) or there is not exactly zero or one argument; otherwise the one
// argument is the parameter, and it reaches the client unchanged.
TEST(CommandLineFuzz, IsAParameterOrTheUsage) {
    Campaign campaign("launcher.command-line", "fuzz");
    const std::wstring program = L"C:\\Program Files\\QAR Client\\launcher.exe";
    ArgvGenerator inputs(seed(),
                         {{program},
                          {program, L"qar://open?id=42"},
                          {program, L"C:\\Users\\me\\Documents\\report 2026.pdf"},
                          {program, L"say \"hi\" \\\\server\\share\\"},
                          {program, L""},
                          {program, L"--help"},
                          {program, L"x", L"-h"},
                          {program, L"a", L"b"}},
                         {L"/?", L"-h", L"--help", L"-H", L"/help", L"--Help", L"qar://x", L"\\\"", L"\\\\\\"});
    const size_t count = inputCount(3000);
    for (size_t i = 0; i < count; ++i) {
        ArgvGenerator::Argv args = inputs.next();
        campaign.begin();
        const std::string where = "input " + std::to_string(i) + ": " + describeArgv(args);
        WideArgv argv(args);
        const wchar_t* parameter = reinterpret_cast<const wchar_t*>(1);
        bool usage = wantsUsage(argv.argc(), argv.argv(), &parameter);
        bool help = false;
        for (const auto& a : args) help = help || isHelp(a);
        ASSERT_EQ(usage, help || args.size() < 1 || args.size() > 2) << where;
        if (usage || args.size() == 1) {
            ASSERT_EQ(parameter, nullptr) << where;
        } else {
            ASSERT_EQ(parameter, argv.argv()[1]) << where;
        }
        if (!usage) {
            std::wstring given = parameter ? parameter : L"";
            ASSERT_EQ(checkClientCommandLine(parameter ? &given : nullptr), "") << where;
        }
        // Every element as a parameter: quotes, backslashes, spaces, empty.
        for (size_t k = 1; k < args.size(); ++k) ASSERT_EQ(checkClientCommandLine(&args[k]), "") << where;
    }
    campaign.report();
}

}  // namespace
