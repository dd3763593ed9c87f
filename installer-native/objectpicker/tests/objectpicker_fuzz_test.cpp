// The object picker's answer read into Result objects, fed seeded random
// selection lists: the counts mutated (selections claimed, attributes
// fetched), the block cut short or grown, strings absent or present,
// attributes of other kinds, and mutated SID bytes. Every string, every
// variant and every SID's bytes end at a no-access page; the list block does
// too where it goes to the reading routine itself (compiled into this test),
// and lies in a global block where it goes through the real show0 and the
// test-only picker. Each answer is checked: a block shorter than the
// selections it claims gives null; otherwise one Result per claimed
// selection, its strings as given (null for none), its SID string that of
// ConvertSidToStringSidW for bytes that hold a whole valid SID, else null.
#include "fuzz.h"
#include "picker_support.h"
#include "wbnative_test.h"

// The reading routine (selectionResults) and its helpers, compiled here: a
// global memory block never ends at a no-access page.
#include "../object_picker.cpp"

#include <memory>
#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using qarfuzz::Bytes;
using qarfuzz::GuardedBytes;

const std::string kPicker = std::string(wbtest::kWin32) + "ObjectPicker";
const std::string kResult = kPicker + "$Result";
const char kResultInit[] =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";
const wchar_t kNull[] = L"<null>";

// The string form of SID bytes when they hold a whole valid SID.
std::wstring sidText(const Bytes& b) {
    if (b.size() < 8 || b[0] != 1 || b[1] > 15 || 8 + 4 * size_t{b[1]} > b.size()) return kNull;
    Bytes copy = b;
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(copy.data(), &text)) return kNull;
    std::wstring out = text;
    LocalFree(text);
    return out;
}

// A safe array over bytes this test owns (they end at a no-access page).
class BorrowedArray {
public:
    BorrowedArray(const uint8_t* data, ULONG count, LONG lower, USHORT dims, ULONG elementSize) {
        SafeArrayAllocDescriptor(dims, &array_);
        array_->cbElements = elementSize;
        array_->fFeatures = FADF_STATIC | FADF_FIXEDSIZE;
        for (USHORT d = 0; d < dims; ++d) {
            array_->rgsabound[d].cElements = d == 0 ? count / elementSize : 1;
            array_->rgsabound[d].lLbound = lower;
        }
        array_->pvData = const_cast<uint8_t*>(data);
    }
    ~BorrowedArray() {
        array_->pvData = nullptr;
        SafeArrayDestroyDescriptor(array_);
    }
    SAFEARRAY* get() const { return array_; }

private:
    SAFEARRAY* array_ = nullptr;
};

// One generated answer of the picker, with everything it points to.
struct Answer {
    Bytes block;                               // the DS_SELECTION_LIST
    std::vector<std::vector<std::wstring>> expected;  // per Result; empty with nullList
    bool nullList = false;
    std::vector<std::unique_ptr<qarfuzz::GuardedText>> texts;
    std::vector<std::unique_ptr<GuardedBytes>> bytes;
    std::vector<std::unique_ptr<BorrowedArray>> arrays;
};

std::vector<Bytes> sidCorpus() {
    std::vector<Bytes> c;
    for (const wchar_t* s : {L"S-1-5-32-544", L"S-1-5-21-1004336348-1177238915-682003330-1001", L"S-1-1-0", L"S-1-5-18",
                             L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14"}) {
        std::vector<BYTE> b = wbtest::sidBytes(s);
        c.emplace_back(b.begin(), b.end());
    }
    return c;
}

void makeAnswer(Answer& a, qarfuzz::Generator& sids) {
    qarfuzz::Rng& rng = sids.rng();
    const size_t head = offsetof(DS_SELECTION_LIST, aDsSelection);
    const uint32_t laidOut = rng.below(5);
    std::vector<DS_SELECTION> entries(laidOut);
    std::vector<std::vector<std::wstring>> fields(laidOut);
    ULONG fetched = rng.chance(4) ? (rng.chance(2) ? 0 : static_cast<ULONG>(rng.next())) : 1;
    for (uint32_t i = 0; i < laidOut; ++i) {
        DS_SELECTION& e = entries[i];
        e = DS_SELECTION{};
        PWSTR* slots[4] = {&e.pwzName, &e.pwzADsPath, &e.pwzClass, &e.pwzUPN};
        for (PWSTR* slot : slots) {
            if (rng.chance(4)) {
                fields[i].push_back(kNull);
                continue;
            }
            std::wstring text;
            for (uint32_t k = rng.below(12); k > 0; --k) text += static_cast<wchar_t>(0x20 + rng.below(0x3000));
            a.texts.push_back(std::make_unique<qarfuzz::GuardedText>(text + L'\0'));
            *slot = const_cast<PWSTR>(a.texts.back()->data());
            fields[i].push_back(text);
        }
        e.flScopeType = static_cast<ULONG>(rng.next());
        std::wstring sid = kNull;
        if (!rng.chance(6)) {
            VARIANT v;
            VariantInit(&v);
            uint32_t kind = rng.below(8);
            Bytes sidBytes = sids.next();
            a.bytes.push_back(std::make_unique<GuardedBytes>(sidBytes));
            const GuardedBytes& data = *a.bytes.back();
            if (kind < 6) {  // a byte array, as the picker gives it
                LONG lower = rng.chance(4) ? static_cast<LONG>(rng.below(5)) - 2 : 0;
                a.arrays.push_back(
                    std::make_unique<BorrowedArray>(data.data(), static_cast<ULONG>(data.size()), lower, 1, 1));
                V_VT(&v) = VT_ARRAY | VT_UI1;
                if (fetched > 0) sid = sidText(sidBytes);
            } else if (kind == 6) {  // an array of two dimensions, or of 4-byte elements
                bool twoDims = rng.chance(2);
                a.arrays.push_back(std::make_unique<BorrowedArray>(data.data(), static_cast<ULONG>(data.size()), 0,
                                                                   twoDims ? 2 : 1, twoDims ? 1 : 4));
                V_VT(&v) = VT_ARRAY | VT_UI1;
            } else {  // no array at all
                V_VT(&v) = rng.chance(2) ? VT_EMPTY : VT_I4;
            }
            if (V_VT(&v) == (VT_ARRAY | VT_UI1)) V_ARRAY(&v) = a.arrays.back()->get();
            a.bytes.push_back(std::make_unique<GuardedBytes>(&v, sizeof v));
            e.pvarFetchedAttributes = reinterpret_cast<VARIANT*>(const_cast<uint8_t*>(a.bytes.back()->data()));
        }
        fields[i].push_back(sid);
    }
    // The block: cut short (into the head too) or grown by less than one selection.
    size_t size = head + laidOut * sizeof(DS_SELECTION);
    if (rng.chance(4)) size -= rng.below(static_cast<uint32_t>(size) + 1);
    else if (rng.chance(4)) size += rng.below(sizeof(DS_SELECTION));
    ULONG claimed = laidOut;
    if (rng.chance(3)) {
        static const ULONG odd[] = {0, 1, 2, 5, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
        claimed = rng.chance(2) ? odd[rng.below(7)] : static_cast<ULONG>(laidOut + rng.below(3)) - 1;
    }
    Bytes block(head + laidOut * sizeof(DS_SELECTION) + sizeof(DS_SELECTION), 0);
    memcpy(block.data(), &claimed, 4);
    memcpy(block.data() + 4, &fetched, 4);
    if (laidOut) memcpy(block.data() + head, entries.data(), laidOut * sizeof(DS_SELECTION));
    block.resize(size);
    a.block = block;
    size_t capacity = size < head ? 0 : (size - head) / sizeof(DS_SELECTION);
    a.nullList = size < head || claimed > capacity;
    if (!a.nullList) a.expected.assign(fields.begin(), fields.begin() + claimed);
}

class PickerFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        vm_.defineClass(kPicker);
        vm_.defineClass(kResult).constructor(kResultInit);
    }
    // Empty when the answer is what the rules say, else what differs.
    std::string check(jobjectArray results, const Answer& a) {
        if (a.nullList) return results ? "a list claiming more than its block was read" : "";
        if (!results) return "null";
        std::vector<jobject> items = vm_.objectElements(results);
        if (items.size() != a.expected.size())
            return std::to_string(items.size()) + " results, not " + std::to_string(a.expected.size());
        for (size_t i = 0; i < items.size(); ++i) {
            if (!items[i]) return "result " + std::to_string(i) + " null";
            std::vector<std::wstring> got;
            for (const jvalue& v : vm_.constructorArgs(items[i]))
                got.push_back(v.l ? vm_.text(static_cast<jstring>(v.l)) : kNull);
            if (got != a.expected[i]) return "result " + std::to_string(i) + " differs";
        }
        return "";
    }
    Jvm vm_;
};

TEST_F(PickerFuzz, SelectionListAtANoAccessPage) {
    gConvertSidToStringSid = ConvertSidToStringSidW;
    qarfuzz::Campaign campaign("wbnative.pickerSelection", "fuzz");
    qarfuzz::Generator sids(qarfuzz::seed(), sidCorpus(), 96);
    const size_t count = qarfuzz::inputCount(3000);
    size_t lists = 0;
    for (size_t n = 0; n < count; ++n) {
        Answer a;
        makeAnswer(a, sids);
        campaign.begin(a.block.data(), a.block.size());
        GuardedBytes block(a.block);
        block.seal();
        ASSERT_EQ(vm_.env()->PushLocalFrame(16), 0);
        jobjectArray results = vm_.call(
            [](JNIEnv* env, const uint8_t* data, size_t size) { return selectionResults(env, data, size); },
            block.data(), block.size());
        std::string wrong = check(results, a);
        lists += results != nullptr;
        vm_.env()->PopLocalFrame(nullptr);
        ASSERT_EQ(wrong, "") << "input " << n << " seed " << qarfuzz::seed() << ", block of " << a.block.size();
    }
    campaign.report("lists=" + std::to_string(lists));
}

TEST_F(PickerFuzz, SidBytesThroughShow) {
    wbtest::FakeRegistration registration;
    wbtest::Window owner(true);
    auto show = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_ObjectPicker_show0);
    qarfuzz::Campaign campaign("wbnative.ObjectPicker.show0", "fuzz");
    qarfuzz::Generator sids(qarfuzz::seed() + 1, sidCorpus(), 96);
    const size_t count = qarfuzz::inputCount(500);
    LONG releases = wbtest::fake().mediumReleases;
    for (size_t n = 0; n < count; ++n) {
        Answer a;
        makeAnswer(a, sids);
        campaign.begin(a.block.data(), a.block.size());
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, a.block.size());
        ASSERT_NE(block, nullptr);
        if (!a.block.empty()) {
            memcpy(GlobalLock(block), a.block.data(), a.block.size());
            GlobalUnlock(block);
        }
        wbtest::fake().invokeResult = S_OK;
        wbtest::fake().selections = block;
        ASSERT_EQ(vm_.env()->PushLocalFrame(16), 0);
        jobjectArray results = vm_.call(show, vm_.findClass(kPicker), jboolean{1}, jboolean{1}, jboolean{1},
                                        jboolean{0}, jboolean{0});
        std::string wrong = GlobalSize(block) == a.block.size() ? check(results, a) : "the block's size changed";
        vm_.env()->PopLocalFrame(nullptr);
        GlobalFree(block);
        ASSERT_EQ(wrong, "") << "input " << n << " seed " << qarfuzz::seed() << ", block of " << a.block.size();
        ASSERT_EQ(wbtest::fake().mediumReleases, ++releases) << "input " << n;
    }
    wbtest::fake().selections = nullptr;
    EXPECT_EQ(wbtest::fake().liveObjects, 0);
    campaign.report();
}

}  // namespace
