// The common item dialog through VistaFileChooser's natives, driven by a
// helper thread: file names typed in, check boxes ticked, OK or Cancel.
#include "dialog_driver.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <shobjidl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using dialogtest::DialogDriver;
using qarjvm::Jvm;

// A Java string array; nullptr elements are null.
using Strings = std::optional<std::vector<const wchar_t*>>;

// What displayDialog0 is given; null strings and arrays by default.
struct Request {
    jlong owner = 0;
    const wchar_t* title = nullptr;
    const wchar_t* okLabel = nullptr;
    const wchar_t* folder = nullptr;
    const wchar_t* fileName = nullptr;
    jint setOptions = 0;
    jint clearOptions = 0;
    bool save = false;
    const wchar_t* defaultExtension = nullptr;
    Strings filterNames;
    Strings filterPatterns;
    jint filterIndex = -1;
    Strings checkLabels;
    std::optional<std::vector<jboolean>> checkStates;
};

// Control ids of Wine's item dialog.
constexpr int kFileNameEdit = 1152;   // edt1
constexpr int kFileTypeCombo = 1136;  // cmb1

class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        chooser_ = vm_.defineClass(std::string(wbtest::kWin32) + "VistaFileChooser").name();
        vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_initialize0),
                 vm_.findClass(chooser_));
        dir_ = qartest::makeTempDir(L"file-dialog");
    }
    void TearDown() override {
        if (!dir_.empty()) qartest::removeTree(dir_);
    }

    jstring str(const wchar_t* text) { return text ? vm_.newString(std::wstring(text)) : nullptr; }
    jobjectArray strings(const Strings& values) {
        if (!values) return nullptr;
        std::vector<jobject> elements;
        for (const wchar_t* v : *values) elements.push_back(str(v));
        return vm_.newObjectArray("java/lang/String", elements);
    }

    // Calls displayDialog0; the chosen paths, std::nullopt for a null result.
    std::optional<std::vector<std::wstring>> show(const Request& r) {
        states_ = r.checkStates ? vm_.newArray(*r.checkStates) : nullptr;
        jobjectArray result =
            vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_VistaFileChooser_displayDialog0),
                     vm_.findClass(chooser_), r.owner, str(r.title), str(r.okLabel), str(r.folder), str(r.fileName),
                     r.setOptions, r.clearOptions, static_cast<jboolean>(r.save), str(r.defaultExtension),
                     strings(r.filterNames), strings(r.filterPatterns), r.filterIndex, strings(r.checkLabels), states_);
        if (!result) return std::nullopt;
        std::vector<std::wstring> paths;
        for (jobject p : vm_.objectElements(result)) paths.push_back(p ? vm_.text(static_cast<jstring>(p)) : L"<null>");
        return paths;
    }
    std::vector<jboolean> states() { return vm_.elements<jboolean>(states_); }

    Jvm vm_;
    std::string chooser_;
    std::wstring dir_;
    jbooleanArray states_ = nullptr;
};

// What the helper saw of the dialog before closing it.
struct Seen {
    std::wstring title, okLabel, fileName;
    HWND owner = nullptr;
    bool optionsGroup = false;
    int typeCount = -1, typeSelected = -1;
    std::wstring typeText;
    std::vector<bool> boxes;  // the check boxes found by label, checked or not
    std::string controls;
};

// Looks at the dialog, ticks the boxes with the labels in `toggle`, types the
// file name (unless null) and presses `button`; afterwards answers a
// confirmation box with Yes and reports whether one came.
struct Driver {
    std::vector<std::wstring> boxLabels;
    std::vector<std::wstring> toggle;
    const wchar_t* typeName = nullptr;
    int button = IDOK;

    Seen seen;
    bool confirmed = false;

    void operator()(HWND dialog) {
        HWND edit = GetDlgItem(dialog, kFileNameEdit);
        HWND types = GetDlgItem(dialog, kFileTypeCombo);
        seen.title = dialogtest::windowText(dialog);
        seen.okLabel = dialogtest::windowText(GetDlgItem(dialog, IDOK));
        seen.fileName = edit ? dialogtest::windowText(edit) : L"<no edit>";
        seen.owner = GetWindow(dialog, GW_OWNER);
        seen.optionsGroup = dialogtest::findControl(dialog, L"Static", L"Options:") != nullptr;
        if (types && IsWindowVisible(types)) {
            seen.typeCount = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0));
            seen.typeSelected = static_cast<int>(SendMessageW(types, CB_GETCURSEL, 0, 0));
            seen.typeText = dialogtest::windowText(types);
        }
        for (const std::wstring& label : boxLabels) {
            HWND box = dialogtest::findControl(dialog, L"Button", label);
            seen.boxes.push_back(box && SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED);
        }
        seen.controls = dialogtest::describe(dialog);
        for (const std::wstring& label : toggle) {
            HWND box = dialogtest::findControl(dialog, L"Button", label);
            if (box) SendMessageW(box, BM_CLICK, 0, 0);
        }
        if (typeName && edit) SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typeName));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
        // Either the dialog goes, or a confirmation box comes up above it.
        dialogtest::waitFor([&] {
            if (!IsWindow(dialog)) return true;
            HWND box = dialogtest::findDialog(dialog);
            if (box) {
                confirmed = true;
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
                return true;
            }
            return false;
        });
    }
};

// A top-level window of the test thread to own the dialog.
HWND makeOwner() {
    return CreateWindowExW(0, L"Static", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr,
                           nullptr, nullptr, nullptr);
}

TEST_F(FileDialogTest, SaveReturnsTheTypedPathUnderTitleAndOkLabelOfTheCaller) {
    HWND owner = makeOwner();
    ASSERT_NE(owner, nullptr);
    Request r;
    r.owner = static_cast<jlong>(reinterpret_cast<intptr_t>(owner));
    r.save = true;
    r.title = L"Save the report";
    r.okLabel = L"Store";
    r.folder = dir_.c_str();
    r.fileName = L"initial.txt";
    r.defaultExtension = L"log";
    Driver driver;
    driver.typeName = L"chosen";
    {
        DialogDriver run(std::ref(driver));
        EXPECT_EQ(show(r), std::vector<std::wstring>{dir_ + L"\\chosen.log"}) << "the default extension added";
    }
    EXPECT_EQ(driver.seen.title, L"Save the report");
    EXPECT_EQ(driver.seen.okLabel, L"Store");
    EXPECT_EQ(driver.seen.fileName, L"initial.txt");
    EXPECT_EQ(driver.seen.owner, owner);
    EXPECT_FALSE(driver.confirmed);
    DestroyWindow(owner);
}

TEST_F(FileDialogTest, NullStringsLeaveTheDefaultsAndCancelGivesNull) {
    Driver driver;
    driver.button = IDCANCEL;
    {
        DialogDriver run(std::ref(driver));
        EXPECT_EQ(show(Request{}), std::nullopt);
    }
    EXPECT_EQ(driver.seen.title, L"Open");
    EXPECT_EQ(driver.seen.okLabel, L"&Open");
    EXPECT_EQ(driver.seen.fileName, L"");
    EXPECT_EQ(driver.seen.owner, nullptr);
}

TEST_F(FileDialogTest, OptionBitsAreSetAndCleared) {
    // Saving over an existing file asks first by default (FOS_OVERWRITEPROMPT);
    // not once that bit is cleared.
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\exists.txt", "x"));
    for (jint clear : {jint{0}, static_cast<jint>(FOS_OVERWRITEPROMPT)}) {
        SCOPED_TRACE(clear);
        Request r;
        r.save = true;
        r.folder = dir_.c_str();
        r.clearOptions = clear;
        Driver driver;
        driver.typeName = L"exists.txt";
        {
            DialogDriver run(std::ref(driver));
            EXPECT_EQ(show(r), std::vector<std::wstring>{dir_ + L"\\exists.txt"});
        }
        EXPECT_EQ(driver.confirmed, clear == 0);
    }

    // Multiple selection, set by the caller: every chosen file comes back.
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\a.txt", "a"));
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\b.txt", "b"));
    Request r;
    r.folder = dir_.c_str();
    r.setOptions = FOS_ALLOWMULTISELECT;
    Driver driver;
    driver.typeName = L"\"a.txt\" \"b.txt\"";
    std::optional<std::vector<std::wstring>> paths;
    {
        DialogDriver run(std::ref(driver));
        paths = show(r);
    }
    ASSERT_TRUE(paths.has_value());
    std::sort(paths->begin(), paths->end());
    EXPECT_EQ(*paths, (std::vector<std::wstring>{dir_ + L"\\a.txt", dir_ + L"\\b.txt"}));
}

TEST_F(FileDialogTest, FiltersArePairsBothArraysHoldWithAOneBasedTypeIndex) {
    struct Case {
        const char* what;
        Strings names, patterns;
        jint index;
        int count, selected;  // of the file type box; -1: no box shown
        const wchar_t* text;
    };
    const Case cases[] = {
        {"index 1 is the second filter", Strings({L"Text files", L"All files"}), Strings({L"*.txt", L"*.*"}), 1, 2, 1,
         L"All files"},
        {"a negative index leaves the first", Strings({L"Text files", L"All files"}), Strings({L"*.txt", L"*.*"}), -1,
         2, 0, L"Text files"},
        {"more names than patterns", Strings({L"Logs", L"Extra", L"More"}), Strings({L"*.log"}), 0, 1, 0, L"Logs"},
        {"more patterns than names", Strings({L"Logs"}), Strings({L"*.log", L"*.txt", L"*.*"}), 0, 1, 0, L"Logs"},
        {"null patterns", Strings({L"Logs", L"Extra"}), std::nullopt, 0, -1, -1, L""},
        {"a null name", Strings({nullptr, L"All files"}), Strings({L"*.log", nullptr}), 1, 2, 1, L"All files"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request r;
        r.folder = dir_.c_str();
        r.filterNames = c.names;
        r.filterPatterns = c.patterns;
        r.filterIndex = c.index;
        Driver driver;
        driver.button = IDCANCEL;
        {
            DialogDriver run(std::ref(driver));
            EXPECT_EQ(show(r), std::nullopt);
        }
        EXPECT_EQ(driver.seen.typeCount, c.count) << driver.seen.controls;
        EXPECT_EQ(driver.seen.typeSelected, c.selected);
        if (c.count > 0) {
            EXPECT_EQ(driver.seen.typeText, c.text);
        }
    }
}

TEST_F(FileDialogTest, OneCheckBoxWithoutGroupKeepsItsStateOnCancel) {
    Request r;
    r.folder = dir_.c_str();
    r.checkLabels = Strings({L"Overwrite"});
    r.checkStates = std::vector<jboolean>{JNI_TRUE};
    Driver driver;
    driver.boxLabels = {L"Overwrite"};
    driver.toggle = {L"Overwrite"};
    driver.button = IDCANCEL;
    {
        DialogDriver run(std::ref(driver));
        EXPECT_EQ(show(r), std::nullopt);
    }
    EXPECT_EQ(driver.seen.boxes, std::vector<bool>{true}) << driver.seen.controls;
    EXPECT_FALSE(driver.seen.optionsGroup) << driver.seen.controls;
    EXPECT_EQ(states(), std::vector<jboolean>{JNI_TRUE}) << "untouched although the box was unticked";
}

TEST_F(FileDialogTest, SeveralCheckBoxesInTheOptionsGroupWriteTheirStatesBackOnOk) {
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\in.txt", "x"));
    Request r;
    r.folder = dir_.c_str();
    r.checkLabels = Strings({L"First", L"Second", L"Third"});
    r.checkStates = std::vector<jboolean>{JNI_TRUE, JNI_FALSE, JNI_TRUE};
    Driver driver;
    driver.boxLabels = {L"First", L"Second", L"Third"};
    driver.toggle = {L"First", L"Second"};
    driver.typeName = L"in.txt";
    {
        DialogDriver run(std::ref(driver));
        EXPECT_EQ(show(r), std::vector<std::wstring>{dir_ + L"\\in.txt"});
    }
    EXPECT_EQ(driver.seen.boxes, (std::vector<bool>{true, false, true})) << driver.seen.controls;
    EXPECT_TRUE(driver.seen.optionsGroup) << driver.seen.controls;
    EXPECT_EQ(states(), (std::vector<jboolean>{JNI_FALSE, JNI_TRUE, JNI_TRUE}));
}

TEST_F(FileDialogTest, StatesMissingForSomeBoxesAreUncheckedAndNeverWrittenPastTheArray) {
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\in.txt", "x"));
    struct Case {
        const char* what;
        Strings labels;
        std::optional<std::vector<jboolean>> states;
        std::vector<bool> initial;
        std::vector<jboolean> final;
    };
    const Case cases[] = {
        {"a shorter state array", Strings({L"First", L"Second", L"Third"}), std::vector<jboolean>{JNI_TRUE},
         {true, false, false}, {JNI_FALSE}},
        {"no state array", Strings({L"First", L"Second"}), std::nullopt, {false, false}, {}},
        {"a null label", Strings({nullptr, L"Second"}), std::vector<jboolean>{JNI_FALSE, JNI_FALSE}, {false, false},
         {JNI_TRUE, JNI_TRUE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request r;
        r.folder = dir_.c_str();
        r.checkLabels = c.labels;
        r.checkStates = c.states;
        Driver driver;
        for (const wchar_t* label : *c.labels) driver.boxLabels.push_back(label ? label : L"");
        driver.toggle = driver.boxLabels;
        driver.typeName = L"in.txt";
        {
            DialogDriver run(std::ref(driver));
            EXPECT_EQ(show(r), std::vector<std::wstring>{dir_ + L"\\in.txt"});
        }
        EXPECT_EQ(driver.seen.boxes, c.initial) << driver.seen.controls;
        if (c.states) {
            EXPECT_EQ(states(), c.final);
        }
    }
}

// A VM out of memory never leaves an exception pending behind the natives
// (the stand-in fails the call if one is): the boxes then start unchecked
// and nothing is written back, or the result is null.
TEST_F(FileDialogTest, AVmOutOfMemoryGivesUncheckedBoxesOrNullWithNothingPending) {
    ASSERT_TRUE(qartest::writeFile(dir_ + L"\\in.txt", "x"));
    struct Case {
        const char* failing;
        bool result;
        bool boxChecked;
    };
    const Case cases[] = {{"GetBooleanArrayElements", true, false}, {"NewObjectArray", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        Request r;
        r.folder = dir_.c_str();
        r.checkLabels = Strings({L"Only"});
        r.checkStates = std::vector<jboolean>{JNI_TRUE};
        Driver driver;
        driver.boxLabels = {L"Only"};
        driver.typeName = L"in.txt";
        vm_.failNext(c.failing);
        {
            DialogDriver run(std::ref(driver));
            if (c.result) {
                EXPECT_EQ(show(r), std::vector<std::wstring>{dir_ + L"\\in.txt"});
            } else {
                EXPECT_EQ(show(r), std::nullopt);
            }
        }
        EXPECT_EQ(driver.seen.boxes, std::vector<bool>{c.boxChecked}) << driver.seen.controls;
        EXPECT_EQ(states(), std::vector<jboolean>{JNI_TRUE});
    }
}

}  // namespace
