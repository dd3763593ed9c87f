#include "command_line.h"

#include <cwchar>

#include "console.h"

namespace {

// Writes arg as one quoted argument, in the form CommandLineToArgvW and the C
// runtime read back as exactly arg: a quote is escaped, and the backslashes
// before a quote or before the closing quote are doubled. Other backslashes
// stay as they are, so an argument without quotes and trailing backslashes is
// only put between quotes. Returns the number of units the quoted form takes;
// out (null to only count) must have room for that many.
size_t quoteArgument(const wchar_t* arg, wchar_t* out) {
    size_t units = 0;
    auto put = [&](wchar_t c, size_t times) {
        if (out) {
            for (size_t i = 0; i < times; ++i) out[units + i] = c;
        }
        units += times;
    };
    put(L'"', 1);
    size_t backslashes = 0;
    for (const wchar_t* c = arg; *c; ++c) {
        if (*c == L'\\') {
            ++backslashes;
            continue;
        }
        if (*c == L'"') backslashes = backslashes * 2 + 1;
        put(L'\\', backslashes);
        backslashes = 0;
        put(*c, 1);
    }
    put(L'\\', backslashes * 2);
    put(L'"', 1);
    return units;
}

}  // namespace

bool hasHelpOption(int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (arg == nullptr) continue;
        if (wcscmp(arg, L"/?") == 0 || wcscmp(arg, L"-h") == 0 || wcscmp(arg, L"--help") == 0) return true;
    }
    return false;
}

bool wantsUsage(int argc, wchar_t** argv, const wchar_t** parameter) {
    *parameter = nullptr;
    if (hasHelpOption(argc, argv) || argc < 1 || argc > 2) return true;
    if (argc == 2) *parameter = argv[1];
    return false;
}

void printUsage() {
    printOut(L"%ls", L"\nUsage:\n");
    printOut(L"%ls", L" launcher [options] [parameter]\n");
    printOut(L"%ls", L"\nSupported options:\n");
    printOut(L"%ls", L" /? -h --help           Display this message.\n");
    printOut(L"%ls", L"\n[parameter]            Optional parameter to forward to the QAR client.\n");
}

size_t clientCommandLine(const wchar_t* fileName, const wchar_t* parameter, wchar_t* out) {
    size_t units = quoteArgument(fileName, out);
    if (parameter) {
        if (out) out[units] = L' ';
        ++units;
        units += quoteArgument(parameter, out ? out + units : nullptr);
    }
    if (out) out[units] = L'\0';
    return units + 1;
}
