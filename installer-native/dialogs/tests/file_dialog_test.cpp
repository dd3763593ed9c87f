// The common item dialog through VistaFileChooser's natives, driven by a
// helper thread: file names typed in, check boxes ticked, OK or Cancel.
#include "dialog_driver.h"
#include "target.h"
#include "wbnative_test.h"
#include "wine_process.h"

#include <shobjidl.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using dialogtest::DialogDriver;
using qarjvm::Jvm;

typedef void(JNICALL* InitializeFn)(JNIEnv*, jclass);
typedef jobjectArray(JNICALL* DisplayFn)(JNIEnv*, jclass, jlong, jstring, jstring, jstring, jstring, jint, jint,
                                         jboolean, jstring, jobjectArray, jobjectArray, jint, jobjectArray,
                                         jbooleanArray);

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
        QAR_SKIP_UNDER_EMULATION("no window can be created");
        chooser_ = vm_.defineClass(std::string(wbtest::kWin32) + "VistaFileChooser").name();
        vm_.call(wbtest::native<InitializeFn>("VistaFileChooser", "initialize0"), vm_.findClass(chooser_));
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
        jobjectArray result = vm_.call(
            wbtest::native<DisplayFn>("VistaFileChooser", "displayDialog0"), vm_.findClass(chooser_), r.owner,
            str(r.title), str(r.okLabel), str(r.folder), str(r.fileName), r.setOptions, r.clearOptions,
            static_cast<jboolean>(r.save), str(r.defaultExtension), strings(r.filterNames), strings(r.filterPatterns),
            r.filterIndex, strings(r.checkLabels), states_);
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

TEST_F(FileDialogTest, Probe) {
    Request r;
    r.folder = dir_.c_str();
    r.filterNames = Strings({L"Text files", L"All files"});
    r.filterPatterns = Strings({L"*.txt", L"*.*"});
    r.filterIndex = 1;
    r.checkLabels = Strings({L"First", L"Second"});
    r.checkStates = std::vector<jboolean>{1, 0};
    std::string seen;
    DialogDriver driver([&](HWND dialog) {
        Sleep(1000);
        seen = qartest::toUtf8(dialogtest::windowText(dialog)) + "\n" + dialogtest::describe(dialog);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(show(r), std::nullopt);
    std::printf("%s\n", seen.c_str());
}

}  // namespace
