// VistaTaskDialog: a task dialog with custom buttons, an optional
// verification check box and a system icon, run modally on the calling thread.
#include "wbnative.h"

#include <commctrl.h>

#include <cstdint>
#include <vector>

namespace {

// The layout comctl32 expects; a different size makes it refuse the dialog.
static_assert(sizeof(TASKDIALOGCONFIG) == (sizeof(void*) == 4 ? 96 : 160), "TASKDIALOGCONFIG layout");

typedef HRESULT(WINAPI* TaskDialogIndirectFn)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

TaskDialogIndirectFn pTaskDialogIndirect;

// Custom button i (0-based) has the id kFirstButtonId + i.
constexpr int kFirstButtonId = 101;
// The result when no custom button closed the dialog.
constexpr jint kNoCustomButton = 1000;
// Timer ticks that may bring the dialog to the front before it stops
// activating itself.
constexpr int kActivatingTicks = 5;

// What the timer callback keeps: the owner the dialog stays above.
struct OwnerTracking {
    HWND owner;
    int ticks;
};

// On every timer tick (about 200 ms) keeps the dialog just above its owner,
// activating it for the first ticks only.
HRESULT CALLBACK keepAboveOwner(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR data) {
    if (notification == TDN_TIMER) {
        auto* tracking = reinterpret_cast<OwnerTracking*>(data);
        UINT flags = SWP_NOSIZE | SWP_NOMOVE;
        if (tracking->ticks >= kActivatingTicks) flags |= SWP_NOACTIVATE;
        SetWindowPos(dialog, tracking->owner, 0, 0, 0, 0, flags);
        ++tracking->ticks;
    }
    return S_OK;
}

// TaskDialogIndirect from the comctl32 the process has loaded already (the
// library never loads it: the runtime's UI decides which version is in use).
// Kept once found; looked for again while it is missing.
TaskDialogIndirectFn taskDialogIndirect() {
    if (!pTaskDialogIndirect) {
        HMODULE comctl32 = GetModuleHandleW(L"Comctl32.dll");
        if (comctl32) pTaskDialogIndirect = procAddress<TaskDialogIndirectFn>(comctl32, "TaskDialogIndirect");
    }
    return pTaskDialogIndirect;
}

}  // namespace

// Nothing to prepare.
extern "C" void JNICALL Java_com_wizbuild_runtime_installer_platform_win32_VistaTaskDialog_init0(JNIEnv*, jclass) {}

// Shows the task dialog and returns the 1-based index of the custom button
// chosen, or 1000 when it closed otherwise (cancel, close box, failure);
// negated when the verification box ended checked. 0 when comctl32 has not
// been loaded or lacks task dialogs; nothing is shown then.
extern "C" jint JNICALL Java_com_wizbuild_runtime_installer_platform_win32_VistaTaskDialog_show0(
    JNIEnv* env, jclass, jlong ownerHandle, jstring title, jstring instruction, jstring content, jint extraFlags,
    jint icon, jint width, jstring verification, jobjectArray buttonLabels, jint defaultIndex) {
    TaskDialogIndirectFn show = taskDialogIndirect();
    if (!show) return 0;

    HWND owner = handleFromJava<HWND>(ownerHandle);
    // A text that could not be copied: a failure, nothing shown.
    const jint kFailed = 1000;
    std::unique_ptr<wchar_t[]> titleText, instructionText, contentText, verificationText;
    if (!jstringToWide(env, title, titleText) || !jstringToWide(env, instruction, instructionText) ||
        !jstringToWide(env, content, contentText) || !jstringToWide(env, verification, verificationText))
        return kFailed;

    jsize buttonCount = buttonLabels ? env->GetArrayLength(buttonLabels) : 0;
    std::vector<std::unique_ptr<wchar_t[]>> labels;
    std::vector<TASKDIALOG_BUTTON> buttons;
    for (jsize i = 0; i < buttonCount; ++i) {
        jstring label = static_cast<jstring>(env->GetObjectArrayElement(buttonLabels, i));
        std::unique_ptr<wchar_t[]> text;
        bool copied = jstringToWide(env, label, text);
        if (label) env->DeleteLocalRef(label);
        if (!copied) return kFailed;
        // A null label would be taken for a string resource id.
        if (!text) {
            text.reset(new wchar_t[1]);
            text[0] = L'\0';
        }
        buttons.push_back({kFirstButtonId + static_cast<int>(i), text.get()});
        labels.push_back(std::move(text));
    }

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = static_cast<DWORD>(extraFlags) | TDF_USE_HICON_MAIN | TDF_CALLBACK_TIMER;
    if (owner && !IsIconic(owner)) config.dwFlags |= TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = titleText.get();
    config.hMainIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(icon));
    config.pszMainInstruction = instructionText.get();
    config.pszContent = contentText.get();
    config.cButtons = static_cast<UINT>(buttons.size());
    config.pButtons = buttons.empty() ? nullptr : buttons.data();
    config.nDefaultButton = static_cast<int>(static_cast<unsigned>(defaultIndex) + kFirstButtonId);
    config.pszVerificationText = verificationText.get();
    config.cxWidth = static_cast<UINT>(width);
    OwnerTracking tracking{owner, 0};
    if (owner) {
        config.pfCallback = keepAboveOwner;
        config.lpCallbackData = reinterpret_cast<LONG_PTR>(&tracking);
    }

    int button = 0;
    BOOL verified = FALSE;
    show(&config, &button, nullptr, &verified);

    jint choice = button >= kFirstButtonId ? button - (kFirstButtonId - 1) : kNoCustomButton;
    return verified ? -choice : choice;
}
