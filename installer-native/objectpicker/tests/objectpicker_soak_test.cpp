// Soaks: ObjectPicker.show0 round after round, against the test-only picker
// (choices read into Result objects, or cancelled) and against Wine's own;
// handles, GDI and USER objects, memory, the VM's references and the
// picker's COM objects stay flat.
#include "family_soak.h"
#include "picker_support.h"
#include "wbnative_test.h"

#include <objbase.h>
#include <objsel.h>
#include <oleauto.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kPicker = std::string(wbtest::kWin32) + "ObjectPicker";
const std::string kResult = kPicker + "$Result";
const char kResultInit[] =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";

// Every round enters and leaves COM on this thread (the native's own
// apartment) and makes a picker; no dialog is shown, so the family's usual
// size applies.
const wbtest::SoakSize kSize{200};

// A SID in a byte safe-array, as the picker fetches objectSID.
VARIANT sidVariant(const wchar_t* text) {
    std::vector<BYTE> bytes = wbtest::sidBytes(text);
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    V_VT(&v) = VT_ARRAY | VT_UI1;
    V_ARRAY(&v) = array;
    return v;
}

jobjectArray show(qarjvm::Jvm& vm, size_t i) {
    return vm.call(WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0),
                   vm.findClass(kPicker), jboolean(i % 2 == 0), jboolean(true), jboolean(i % 3 != 0),
                   jboolean(i % 5 == 0), jboolean(i % 7 == 0));
}

TEST(ObjectPickerSoak, FakePickerRoundAfterRoundStaysFlat) {
    wbtest::FakeRegistration registration;
    qarjvm::Jvm vm;
    vm.defineClass(kPicker);
    vm.defineClass(kResult).constructor(kResultInit);
    wbtest::Window owner(true);

    // Two choices, one with a SID, one without; the picker hands out the
    // same block each time (its storage medium's owner keeps it).
    VARIANT sids[2] = {sidVariant(L"S-1-5-32-544"), {}};
    VariantInit(&sids[1]);
    const size_t size = offsetof(DS_SELECTION_LIST, aDsSelection) + 2 * sizeof(DS_SELECTION);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    ASSERT_NE(block, nullptr);
    auto* list = static_cast<DS_SELECTION_LIST*>(GlobalLock(block));
    list->cItems = 2;
    list->cFetchedAttributes = 1;
    list->aDsSelection[0] = {const_cast<PWSTR>(L"Administrators"), const_cast<PWSTR>(L"WinNT://HOST/Administrators"),
                             const_cast<PWSTR>(L"group"), nullptr, &sids[0], 0};
    list->aDsSelection[1] = {const_cast<PWSTR>(L"alice"), nullptr, const_cast<PWSTR>(L"user"),
                             const_cast<PWSTR>(L"alice@example.org"), &sids[1], 0};
    GlobalUnlock(block);
    FakePickerState& state = wbtest::fake();
    state.selections = block;
    const LONG releasesBefore = state.mediumReleases;

    size_t chosen = 0;
    wbtest::soakFamily(vm, "objectpicker", kSize, [&](size_t i) {
        bool choose = i % 4 != 3;
        state.invokeResult = choose ? S_OK : S_FALSE;
        jobjectArray results = show(vm, i);
        if (!choose) {
            EXPECT_EQ(results, nullptr);
            return;
        }
        ++chosen;
        ASSERT_NE(results, nullptr);
        std::vector<jobject> items = vm.objectElements(results);
        ASSERT_EQ(items.size(), 2u);
        std::vector<jvalue> first = vm.constructorArgs(items[0]);
        ASSERT_EQ(first.size(), 5u);
        EXPECT_EQ(vm.text(static_cast<jstring>(first[4].l)), L"S-1-5-32-544");
        EXPECT_EQ(vm.constructorArgs(items[1])[4].l, nullptr);
        EXPECT_EQ(state.owner, owner.hwnd);
    });
    EXPECT_EQ(state.liveObjects, 0) << "every picker, data object and medium owner released";
    EXPECT_EQ(state.mediumReleases - releasesBefore, static_cast<LONG>(chosen));
    state.selections = nullptr;
    GlobalFree(block);
    VariantClear(&sids[0]);
}

// Wine's own picker cancels at once: COM entered and left, objsel loaded and
// its picker released, round after round.
TEST(ObjectPickerSoak, WinesPickerRoundAfterRoundStaysFlat) {
    qarjvm::Jvm vm;
    vm.defineClass(kPicker);
    vm.defineClass(kResult).constructor(kResultInit);
    wbtest::Window owner(true);
    wbtest::soakFamily(vm, "objectpicker.wine", kSize, [&](size_t i) { EXPECT_EQ(show(vm, i), nullptr); });
}

}  // namespace
