#include "command_line.h"

#include <cwchar>

#include "console.h"

bool hasHelpOption(int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (arg == nullptr) continue;
        if (wcscmp(arg, L"/?") == 0 || wcscmp(arg, L"-h") == 0 || wcscmp(arg, L"--help") == 0) return true;
    }
    return false;
}

void printUsage() {
    printOut(L"%ls", L"\nUsage:\n");
    printOut(L"%ls", L" launcher [options] [parameter]\n");
    printOut(L"%ls", L"\nSupported options:\n");
    printOut(L"%ls", L" /? -h --help           Display this message.\n");
    printOut(L"%ls", L"\n[parameter]            Optional parameter to forward to the QAR client.\n");
}
