// A test-only windowed program, the target of the natives that act on other
// processes through their top-level windows.
//   window_target <closes|ignores> <ready event> <window>...
//     Creates the windows, sets the named event, and runs until its windows
//     are gone (closes: WM_CLOSE destroys a window; ignores: WM_CLOSE does
//     nothing). A window is "<kind>:<title>" where kind is v (visible),
//     h (hidden) or o (visible, owned by the first window); the title may be empty.
//   window_target sleep
//     Runs, without a window, until it is ended.
//   window_target marker <file>
//     Writes the file, with the command line as its text, and exits.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

bool gIgnoreClose = false;
int gWindows = 0;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        if (!gIgnoreClose) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        if (--gWindows == 0) PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && !wcscmp(argv[1], L"marker")) {
        HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 3;
        const wchar_t* line = GetCommandLineW();
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(wcslen(line) * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
        return 0;
    }
    if (argc == 2 && !wcscmp(argv[1], L"sleep")) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc < 4) return 2;
    gIgnoreClose = !wcscmp(argv[1], L"ignores");

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"WbnativeTestTarget";
    if (!RegisterClassW(&windowClass)) return 3;

    HWND first = nullptr;
    for (int i = 3; i < argc; ++i) {
        std::wstring spec = argv[i];
        if (spec.size() < 2 || spec[1] != L':') return 2;
        wchar_t kind = spec[0];
        DWORD style = WS_OVERLAPPEDWINDOW | (kind == L'h' ? 0 : WS_VISIBLE);
        HWND owner = kind == L'o' ? first : nullptr;
        HWND window = CreateWindowExW(0, L"WbnativeTestTarget", spec.c_str() + 2, style, 10 * i, 10 * i, 200, 100, owner,
                                      nullptr, windowClass.hInstance, nullptr);
        if (!window) return 3;
        ++gWindows;
        if (!first) first = window;
    }
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (!ready || !SetEvent(ready)) return 3;
    CloseHandle(ready);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
