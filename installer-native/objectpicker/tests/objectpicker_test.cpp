// ObjectPicker.show0 against a test-only picker registered for
// CLSID_DsObjectPicker (fake_objsel.cpp), and once against Wine's own.
#include "child_run.h"
#include "com_server_override.h"
#include "fake_objsel.h"
#include "picker_support.h"
#include "wbnative_test.h"
#include "console_capture.h"
#include "target.h"
#include "wine_process.h"

#include <objbase.h>
#include <objsel.h>
#include <oleauto.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using wbtest::FakeRegistration;
using wbtest::Window;
using wbtest::fake;
using wbtest::sidBytes;

const std::string kPicker = std::string(wbtest::kWin32) + "ObjectPicker";
const std::string kResult = kPicker + "$Result";
const char kResultInit[] =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";

VARIANT byteArray(const std::vector<BYTE>& bytes) {
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    V_VT(&v) = VT_ARRAY | VT_UI1;
    V_ARRAY(&v) = array;
    return v;
}

struct Choice {
    const wchar_t* name;
    const wchar_t* adsPath;
    const wchar_t* cls;
    const wchar_t* upn;
    VARIANT sid;  // owned by the list
};

// A DS_SELECTION_LIST in a global block, as the picker's data object hands
// it out; the strings and variants it points to live as long as the list.
class SelectionList {
public:
    SelectionList(std::vector<Choice> choices, ULONG fetched = 1, ULONG claimedItems = ~0u)
        : choices_(std::move(choices)) {
        size_t size = offsetof(DS_SELECTION_LIST, aDsSelection) + choices_.size() * sizeof(DS_SELECTION) + 8;
        block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
        auto* list = static_cast<DS_SELECTION_LIST*>(GlobalLock(block));
        list->cItems = claimedItems != ~0u ? claimedItems : static_cast<ULONG>(choices_.size());
        list->cFetchedAttributes = fetched;
        for (size_t i = 0; i < choices_.size(); ++i) {
            DS_SELECTION& s = list->aDsSelection[i];
            s.pwzName = const_cast<PWSTR>(choices_[i].name);
            s.pwzADsPath = const_cast<PWSTR>(choices_[i].adsPath);
            s.pwzClass = const_cast<PWSTR>(choices_[i].cls);
            s.pwzUPN = const_cast<PWSTR>(choices_[i].upn);
            s.pvarFetchedAttributes = &choices_[i].sid;
        }
        GlobalUnlock(block);
    }
    ~SelectionList() {
        for (auto& c : choices_) VariantClear(&c.sid);
        GlobalFree(block);
    }
    // Points a selection's attributes elsewhere (null: none at all).
    void setAttributes(size_t index, VARIANT* attributes) {
        auto* list = static_cast<DS_SELECTION_LIST*>(GlobalLock(block));
        list->aDsSelection[index].pvarFetchedAttributes = attributes;
        GlobalUnlock(block);
    }
    HGLOBAL block;

private:
    std::vector<Choice> choices_;
};

VARIANT empty() {
    VARIANT v;
    VariantInit(&v);
    return v;
}

class ObjectPickerTest : public ::testing::Test {
protected:
    void SetUp() override {
        vm_.defineClass(kPicker);
        vm_.defineClass(kResult).constructor(kResultInit);
        FakePickerState& state = fake();
        state.invokeResult = S_FALSE;
        state.selections = nullptr;
        state.initializeCalls = state.invokeCalls = state.mediumReleases = 0;
        state.owner = nullptr;
    }

    jobjectArray show(bool multi, bool groups, bool users, bool wellKnown, bool computerOnly) {
        return vm_.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0),
                        vm_.findClass(kPicker), static_cast<jboolean>(multi), static_cast<jboolean>(groups),
                        static_cast<jboolean>(users), static_cast<jboolean>(wellKnown),
                        static_cast<jboolean>(computerOnly));
    }

    // The picker's answer for a selection list: its Result objects' five
    // constructor arguments, "<null>" for a null one.
    std::vector<std::vector<std::wstring>> pick(SelectionList& list) {
        fake().invokeResult = S_OK;
        fake().selections = list.block;
        jobjectArray results = show(true, true, true, false, false);
        std::vector<std::vector<std::wstring>> out;
        if (!results) return out;
        EXPECT_EQ(vm_.className(results), "[L" + kResult + ";");
        for (jobject r : vm_.objectElements(results)) {
            std::vector<std::wstring> fields;
            if (r) {
                EXPECT_EQ(vm_.className(r), kResult);
                for (const jvalue& v : vm_.constructorArgs(r))
                    fields.push_back(v.l ? vm_.text(static_cast<jstring>(v.l)) : L"<null>");
            }
            out.push_back(fields);
        }
        return out;
    }

    // Every COM object released, the storage medium too, and the call's
    // apartment left: the thread can still enter a multithreaded one.
    void expectReleased(LONG mediumReleases) {
        EXPECT_EQ(fake().liveObjects, 0);
        EXPECT_EQ(fake().mediumReleases, mediumReleases);
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(hr, S_OK) << "CoInitialize left unbalanced";
        if (SUCCEEDED(hr)) CoUninitialize();
    }

    Jvm vm_;
    FakeRegistration registration_;
};

TEST_F(ObjectPickerTest, TheRegisteredFakeIsWhatCoCreateInstanceLoads) {
    CoInitialize(nullptr);
    IDsObjectPicker* picker = nullptr;
    LONG before = fake().created;
    ASSERT_EQ(CoCreateInstance(CLSID_DsObjectPicker, nullptr, CLSCTX_INPROC_SERVER, IID_IDsObjectPicker,
                               reinterpret_cast<void**>(&picker)),
              S_OK);
    EXPECT_EQ(fake().created, before + 1) << "Wine's own objsel answered";
    picker->Release();
    CoUninitialize();
}

TEST_F(ObjectPickerTest, ScopeAndFiltersFollowTheArguments) {
    Window owner(true);
    struct Case {
        bool multi, groups, users, wellKnown, computerOnly;
        ULONG options, scopeType, uplevel, downlevel;
    };
    const Case cases[] = {
        {false, true, true, false, true, 0, DSOP_SCOPE_TYPE_TARGET_COMPUTER, 0x3F6, 0x80000007},
        {true, true, true, true, false, DSOP_FLAG_MULTISELECT, 0x36F, 0x3FE, 0x80020007},
        {false, false, true, true, false, 0, 0x36F, 0xA, 0x800C4001},
        {true, true, false, false, false, DSOP_FLAG_MULTISELECT, 0x36F, 0x3F4, 0x80000006},
        {false, false, false, true, true, 0, DSOP_SCOPE_TYPE_TARGET_COMPUTER, 0x8, 0x800C4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "multi " << c.multi << " groups " << c.groups << " users " << c.users
                                        << " well-known " << c.wellKnown << " computer only " << c.computerOnly);
        FakePickerState& s = fake();
        s.initializeCalls = 0;
        s.uplevelMixed = s.uplevelNative = 0xdead;
        EXPECT_EQ(show(c.multi, c.groups, c.users, c.wellKnown, c.computerOnly), nullptr) << "cancelled";
        ASSERT_EQ(s.initializeCalls, 1);
        EXPECT_EQ(s.initSize, qartest::kI686 ? 28u : 48u);
        EXPECT_TRUE(s.targetComputerNull);
        EXPECT_EQ(s.scopeCount, 1u);
        EXPECT_EQ(s.options, c.options);
        EXPECT_EQ(s.attributeCount, 1u);
        EXPECT_STREQ(s.attribute, L"objectSID");
        EXPECT_EQ(s.scopeSize, qartest::kI686 ? 40u : 56u);
        EXPECT_EQ(s.scopeType, c.scopeType);
        EXPECT_EQ(s.scopeFlags, 0xC0u);
        EXPECT_EQ(s.uplevelBoth, c.uplevel);
        EXPECT_EQ(s.uplevelMixed, 0u);
        EXPECT_EQ(s.uplevelNative, 0u);
        EXPECT_EQ(s.downlevel, c.downlevel);
        expectReleased(0);
    }
}

TEST_F(ObjectPickerTest, OwnerIsTheLastVisibleWindowOfTheProcess) {
    // The hidden one comes last in enumeration order (newer windows first).
    Window hidden(false);
    Window shown(true);
    EXPECT_EQ(show(false, true, true, false, false), nullptr);
    EXPECT_EQ(fake().invokeCalls, 1);
    EXPECT_EQ(fake().owner, shown.hwnd);
}

TEST_F(ObjectPickerTest, ChoicesBecomeResultsWithTheirSidStrings) {
    Window owner(true);
    SelectionList list({
        {L"alice", L"WinNT://WORKGROUP/HOST/alice", L"user", L"alice@example.org",
         byteArray(sidBytes(L"S-1-5-21-1004336348-1177238915-682003330-1001"))},
        {L"Administrators", L"WinNT://WORKGROUP/HOST/Administrators", L"group", nullptr,
         byteArray(sidBytes(L"S-1-5-32-544"))},
        {L"nosid", nullptr, L"user", nullptr, empty()},
    });
    auto results = pick(list);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], (std::vector<std::wstring>{L"alice", L"WinNT://WORKGROUP/HOST/alice", L"user",
                                                     L"alice@example.org",
                                                     L"S-1-5-21-1004336348-1177238915-682003330-1001"}));
    EXPECT_EQ(results[1], (std::vector<std::wstring>{L"Administrators", L"WinNT://WORKGROUP/HOST/Administrators",
                                                     L"group", L"<null>", L"S-1-5-32-544"}));
    EXPECT_EQ(results[2], (std::vector<std::wstring>{L"nosid", L"<null>", L"user", L"<null>", L"<null>"}));
    expectReleased(1);
}

TEST_F(ObjectPickerTest, AttributesThatHoldNoCompleteSidGiveANullSid) {
    Window owner(true);
    std::vector<BYTE> sid = sidBytes(L"S-1-5-21-1-2-3-1001");  // 5 sub-authorities, 28 bytes
    std::vector<BYTE> badRevision = sid;
    badRevision[0] = 2;
    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"S-1-5-32-544");
    VARIANT ints;
    V_VT(&ints) = VT_ARRAY | VT_I4;
    V_ARRAY(&ints) = SafeArrayCreateVector(VT_I4, 0, 8);
    SelectionList list({
        {L"text", nullptr, L"user", nullptr, text},
        {L"ints", nullptr, L"user", nullptr, ints},
        {L"short header", nullptr, L"user", nullptr, byteArray({1, 1, 0, 0})},
        // Announces 5 sub-authorities but holds 2 of them.
        {L"cut short", nullptr, L"user", nullptr, byteArray(std::vector<BYTE>(sid.begin(), sid.begin() + 16))},
        {L"revision 2", nullptr, L"user", nullptr, byteArray(badRevision)},
        {L"empty array", nullptr, L"user", nullptr, byteArray({})},
        {L"whole", nullptr, L"user", nullptr, byteArray(sid)},
    });
    auto results = pick(list);
    ASSERT_EQ(results.size(), 7u);
    for (size_t i = 0; i + 1 < results.size(); ++i) {
        ASSERT_EQ(results[i].size(), 5u);
        EXPECT_EQ(results[i][4], L"<null>") << results[i][0];
    }
    ASSERT_EQ(results[6].size(), 5u);
    EXPECT_EQ(results[6][4], L"S-1-5-21-1-2-3-1001");
    expectReleased(1);
}

TEST_F(ObjectPickerTest, NoFetchedAttributesMeansNoSid) {
    Window owner(true);
    {
        // The list says no attribute was fetched: the variant is not read.
        SelectionList list({{L"alice", nullptr, L"user", nullptr, byteArray(sidBytes(L"S-1-5-32-544"))}}, 0);
        auto results = pick(list);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0][4], L"<null>");
    }
    {
        SelectionList list({{L"bob", nullptr, L"user", nullptr, empty()}});
        list.setAttributes(0, nullptr);
        auto results = pick(list);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0][4], L"<null>");
    }
    expectReleased(2);
}

TEST_F(ObjectPickerTest, ListClaimingMoreChoicesThanItsBlockHoldsIsNotRead) {
    Window owner(true);
    SelectionList list({{L"alice", nullptr, L"user", nullptr, empty()}}, 1, 100000);
    fake().invokeResult = S_OK;
    fake().selections = list.block;
    EXPECT_EQ(show(false, true, true, false, false), nullptr);
    expectReleased(1);
}

TEST_F(ObjectPickerTest, AVmOutOfMemoryGivesNullWithNothingPending) {
    Window owner(true);
    SelectionList list({{L"alice", nullptr, L"user", nullptr, byteArray(sidBytes(L"S-1-5-32-544"))}});
    for (const char* jni : {"NewObjectArray", "NewString"}) {
        SCOPED_TRACE(jni);
        vm_.failNext(jni);
        EXPECT_TRUE(pick(list).empty());
    }
    expectReleased(2);
}

TEST_F(ObjectPickerTest, CancelGivesNull) {
    Window owner(true);
    fake().invokeResult = S_FALSE;
    EXPECT_EQ(show(true, true, true, true, false), nullptr);
    EXPECT_EQ(fake().invokeCalls, 1);
    expectReleased(0);
}

TEST(ObjectPickerBareTest, WithoutTheResultClassTheAnswerIsNull) {
    Jvm vm;
    vm.defineClass(kPicker);
    FakeRegistration registration;
    Window owner(true);
    SelectionList list({{L"alice", nullptr, L"user", nullptr, empty()}});
    fake().invokeResult = S_OK;
    fake().selections = list.block;
    fake().mediumReleases = 0;
    jobjectArray results =
        vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0), vm.findClass(kPicker),
                static_cast<jboolean>(false), static_cast<jboolean>(true), static_cast<jboolean>(true),
                static_cast<jboolean>(false), static_cast<jboolean>(false));
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(fake().liveObjects, 0);
    EXPECT_EQ(fake().mediumReleases, 1);
}

TEST_F(ObjectPickerTest, WithoutAnyWindowItSaysSo) {
    // Under CTest the process has no console, so no console window either.
    qartest::ConsoleCapture capture;
    EXPECT_EQ(show(false, true, true, false, false), nullptr);
    EXPECT_EQ(qartest::stripCr(capture.out()), "could not find window\n");
    EXPECT_EQ(fake().invokeCalls, 0);
}

// The console window is looked for once per process, at the first show: run
// in the whole program, an earlier case would have looked already, without a
// console. So this case runs in a new copy of the test program.
TEST_F(ObjectPickerTest, WithoutAWindowOfItsOwnTheConsoleWindowOwnsThePicker) {
    if (qartest::childRole().empty()) {
        EXPECT_TRUE(qartest::childPassed(qartest::runChild(L"console")));
        return;
    }
    // A console of its own, which Wine shows in a window.
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    HWND console = GetConsoleWindow();
    ASSERT_NE(console, nullptr);
    ASSERT_TRUE(SetConsoleTitleW(L"wbnative picker test"));
    EXPECT_EQ(show(false, true, true, false, false), nullptr);
    EXPECT_EQ(fake().invokeCalls, 1);
    EXPECT_EQ(fake().owner, console) << "found by its title";
    wchar_t title[256] = {};
    GetConsoleTitleW(title, 256);
    EXPECT_STREQ(title, L"wbnative picker test") << "the title is put back";
    FreeConsole();
}

// Wine's own picker, without the fake: it cancels at once.
TEST(WineObjectPickerTest, CancelsAtOnceGivingNull) {
    Jvm vm;
    vm.defineClass(kPicker);
    vm.defineClass(kResult).constructor(kResultInit);
    Window owner(true);
    jobjectArray results =
        vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0), vm.findClass(kPicker),
                static_cast<jboolean>(true), static_cast<jboolean>(true), static_cast<jboolean>(true),
                static_cast<jboolean>(true), static_cast<jboolean>(false));
    EXPECT_EQ(results, nullptr);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(hr, S_OK);
    if (SUCCEEDED(hr)) CoUninitialize();
}

}  // namespace
