// Soaks: the file dialog and the task dialog shown and closed by a helper
// thread round after round, with every path a caller takes (save and open
// chosen or cancelled, check boxes written back, custom buttons, the
// verification box, an owner the task dialog keeps above); handles, GDI and
// USER objects, memory and the VM's references and pins stay flat. Needs an
// X display.
#include "dialog_driver.h"
#include "family_soak.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using dialogtest::DialogDriver;

const std::string kChooser = std::string(wbtest::kWin32) + "VistaFileChooser";
const std::string kTaskDialog = std::string(wbtest::kWin32) + "VistaTaskDialog";

// Control id of the file name box of Wine's item dialog (edt1).
constexpr int kFileNameEdit = 1152;

// Each round shows one modal dialog, and Wine takes about two seconds to
// close one under the tests' X server (measured): a hundred times the cost of
// another family's round. So the full campaign's 100000 inputs give 100
// rounds (1000 inputs a round), about four minutes a dialog, and the short
// form 3 rounds. The warm-up goes through every kind of round with and
// without an owner once (6 rounds: the shell's folder and file icons and
// comctl32's classes are loaded for good the first time they are needed).
const wbtest::SoakSize kDialogSize{3, 1000, 6};

jlong javaHandle(HWND window) { return static_cast<jlong>(reinterpret_cast<intptr_t>(window)); }

// Wine's user32 keeps every cache DC it has handed out (a DC, its region
// and bitmap), bound to the window it last served, and makes a new one
// rather than take another window's until it has 64: a dialog's new windows
// add DCs at rounds that vary from run to run, for as long as a run lasts
// in the short form. Taking 64 at once before the soak fills the cache, so
// that the GDI count shows what the natives keep.
void fillDcCache(HWND window) {
    std::vector<HDC> dcs;
    for (int i = 0; i < 64; ++i) {
        if (HDC dc = GetDCEx(window, nullptr, DCX_CACHE)) dcs.push_back(dc);
    }
    for (HDC dc : dcs) ReleaseDC(window, dc);
}

// Presses a button of the file dialog and waits until the dialog is gone.
void press(HWND dialog, int button) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    dialogtest::waitFor([&] { return !IsWindow(dialog); });
}

TEST(DialogsSoak, FileChooserRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    vm.defineClass(kChooser);
    auto display = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_displayDialog0);
    vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_initialize0),
            vm.findClass(kChooser));
    const std::wstring dir = qartest::makeTempDir(L"dialogs-soak");
    ASSERT_TRUE(qartest::writeFile(dir + L"\\in.txt", "x"));
    HWND owner = CreateWindowExW(0, L"Static", L"wbnative dialogs soak", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300,
                                 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr) << GetLastError();
    fillDcCache(owner);

    wbtest::soakFamily(vm, "dialogs.filechooser", kDialogSize, [&](size_t i) {
        // Save under a typed name (the default extension added), open an
        // existing file, or cancel. Never saved over a file that exists: the
        // confirmation box Wine shows then takes cached DCs of user32 for
        // good (a DC, its region and bitmap at a time, in steps up to a
        // bound: +33 GDI objects over the first 21 rounds, none in the 80
        // after), which no warm-up of the short form reaches.
        enum { kSave, kOpen, kCancel } kind = i % 3 == 0 ? kSave : i % 3 == 1 ? kOpen : kCancel;
        const std::wstring typed = kind == kSave ? L"chosen" : L"in.txt";
        const std::wstring chosenPath = dir + (kind == kSave ? L"\\chosen.txt" : L"\\in.txt");
        jbooleanArray states = vm.newArray(std::vector<jboolean>{JNI_TRUE, JNI_FALSE});
        jobjectArray result;
        {
            DialogDriver run([&](HWND dialog) {
                if (HWND box = dialogtest::findControl(dialog, L"Button", L"Second")) SendMessageW(box, BM_CLICK, 0, 0);
                if (HWND edit = GetDlgItem(dialog, kFileNameEdit))
                    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
                press(dialog, kind == kCancel ? IDCANCEL : IDOK);
            });
            result = vm.call(
                display, vm.findClass(kChooser), javaHandle(i % 2 ? owner : nullptr), vm.newString(L"Soak"),
                vm.newString(L"Choose"), vm.newString(dir), nullptr, jint(0), jint(0), jboolean(kind == kSave),
                vm.newString(L"txt"),
                vm.newObjectArray("java/lang/String", {vm.newString(L"Text"), vm.newString(L"All")}),
                vm.newObjectArray("java/lang/String", {vm.newString(L"*.txt"), vm.newString(L"*.*")}), jint(0),
                vm.newObjectArray("java/lang/String", {vm.newString(L"First"), vm.newString(L"Second")}), states);
            EXPECT_TRUE(run.sawDialog());
        }
        if (kind == kCancel) {
            EXPECT_EQ(result, nullptr);
            EXPECT_EQ(vm.elements<jboolean>(states), (std::vector<jboolean>{JNI_TRUE, JNI_FALSE}));
        } else {
            ASSERT_NE(result, nullptr);
            std::vector<jobject> paths = vm.objectElements(result);
            ASSERT_EQ(paths.size(), 1u);
            EXPECT_EQ(vm.text(static_cast<jstring>(paths[0])), chosenPath);
            EXPECT_EQ(vm.elements<jboolean>(states), (std::vector<jboolean>{JNI_TRUE, JNI_TRUE}));
        }
    });
    DestroyWindow(owner);
    qartest::removeTree(dir);
}

TEST(DialogsSoak, TaskDialogRoundAfterRoundStaysFlat) {
    // The runtime's UI has comctl32 loaded; so has this program.
    InitCommonControls();
    qarjvm::Jvm vm;
    vm.defineClass(kTaskDialog);
    auto show = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaTaskDialog_show0);
    vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaTaskDialog_init0),
            vm.findClass(kTaskDialog));
    HWND owner = CreateWindowExW(0, L"Static", L"wbnative dialogs soak", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300,
                                 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr) << GetLastError();
    fillDcCache(owner);
    const wchar_t* labels[] = {L"Install", L"Skip", L"Later"};

    wbtest::soakFamily(vm, "dialogs.taskdialog", kDialogSize, [&](size_t i) {
        // A custom button, or no custom buttons and the dialog's own OK; the
        // verification box ticked or not; with or without an owner (and so
        // the native's timer callback).
        int chosen = static_cast<int>(i % 4);  // 3: the dialog's own OK
        bool tick = i % 3 == 0;
        jint result;
        {
            DialogDriver run([&](HWND dialog) {
                if (tick) SendMessageW(dialog, TDM_CLICK_VERIFICATION, TRUE, FALSE);
                HWND button = dialogtest::findControl(dialog, L"Button", chosen < 3 ? labels[chosen] : L"OK");
                EXPECT_NE(button, nullptr) << dialogtest::describe(dialog);
                // Clicked, never ended with EndDialog from this thread: that
                // races with the dialog's own loop and at times leaves it open.
                if (button) SendMessageW(button, BM_CLICK, 0, 0);
            });
            result = vm.call(
                show, vm.findClass(kTaskDialog), javaHandle(i % 2 ? owner : nullptr), vm.newString(L"Soak"),
                vm.newString(L"Instruction"), vm.newString(L"Content"), jint(0), jint(32516), jint(0),
                vm.newString(L"Do not ask again"),
                chosen < 3 ? vm.newObjectArray("java/lang/String", {vm.newString(labels[0]), vm.newString(labels[1]),
                                                                    vm.newString(labels[2])})
                           : nullptr,
                jint(1));
            EXPECT_TRUE(run.sawDialog());
        }
        jint expected = chosen < 3 ? chosen + 1 : 1000;
        EXPECT_EQ(result, tick ? -expected : expected);
    });
    DestroyWindow(owner);
}

}  // namespace
