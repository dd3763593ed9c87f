// Helpers for black-box tests: run a program the way its callers do and
// collect its exit code and output.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qartest {

struct ProcessResult {
    DWORD exitCode = 0;
    std::string out;  // standard output, bytes as written
    std::string err;  // standard error, bytes as written
};

// One environment change: a value to set, or std::nullopt to remove the name.
using EnvChange = std::pair<std::wstring, std::optional<std::wstring>>;

struct RunOptions {
    std::vector<EnvChange> env;
    std::wstring workingDir;     // empty: inherit
    DWORD timeoutMs = 60000;     // the process is killed after this
    std::wstring commandLine;    // replaces the quoted arguments when non-empty
};

// Quotes one argument by the rules CommandLineToArgvW and the C runtime undo.
std::wstring quoteArg(const std::wstring& arg);

// A path macro from the build (forward slashes) as a Windows path.
std::wstring winPath(const std::wstring& path);

// Runs exe with args (element 0 is added from exe) and waits for it.
ProcessResult runProgram(const std::wstring& exe, const std::vector<std::wstring>& args,
                         const RunOptions& options = {});

// Output with the CR of every CR LF removed.
std::string stripCr(const std::string& text);

// Splits text into lines (after stripCr), without the line ends.
std::vector<std::string> lines(const std::string& text);

// A log line's text after its "YYYY-MM-DDThh:mm:ss  " stamp (the update
// service's log and console lines), or std::nullopt when it has no stamp.
std::optional<std::string> unstamped(const std::string& line);
// The lines of text (as lines()), each without its stamp where it has one.
std::vector<std::string> unstampedLines(const std::string& text);

// A new, empty folder under the test binary folder; removed by removeTree.
std::wstring makeTempDir(const std::wstring& prefix);
void removeTree(const std::wstring& dir);

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

// Whole file contents, or std::nullopt when it cannot be read.
std::optional<std::string> readFile(const std::wstring& path);
bool writeFile(const std::wstring& path, const std::string& bytes);

// A program started in the background (a peer or a target of the code under
// test), ended with exit code 99 if it still runs when the test is over. A
// failed start fails the current test.
class BackgroundProgram {
public:
    BackgroundProgram(const std::wstring& exe, const std::vector<std::wstring>& args);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Whether it ended within ms.
    bool ended(DWORD ms = 0);
    // Its exit code (STILL_ACTIVE while it runs).
    DWORD exitCode();
    // Its exit code once it ends within ms, else STILL_ACTIVE.
    DWORD wait(DWORD ms = 60000);
    DWORD pid() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }

private:
    PROCESS_INFORMATION info_{};
};

}  // namespace qartest
