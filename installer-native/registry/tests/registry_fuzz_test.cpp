// getValue0's conversion of raw value bytes into Java objects, fed seeded
// random and mutated values of every type: through the real native (the
// bytes written with RegSetValueExW under a test key of HKEY_CURRENT_USER)
// and, so that each input ends at a no-access page, through the conversion
// routine itself, compiled into this test. Every result is checked against
// the conversion rules:
//   REG_SZ, REG_EXPAND_SZ: size / 2 characters, one trailing NUL dropped
//     (embedded NULs stay); an expandable string wrapped in ExpandString;
//   REG_BINARY: the bytes;
//   REG_DWORD, REG_QWORD: the first 4 or 8 bytes, boxed; fewer: null;
//   REG_MULTI_SZ: the strings from the start while the position is before
//     the last character, each ending at its NUL or at the end of the data;
//   any other type, and a value of more than 100000 bytes: null.
#include "fuzz.h"
#include "wbnative_test.h"

// The conversion routine (valueObject) and its helpers, compiled here: the
// native reads every value into a buffer of its own, which never ends at a
// no-access page.
#include "../registry.cpp"

#include <string>
#include <vector>

namespace {

using qarjvm::Jvm;
using qarfuzz::Bytes;

const char kExpand[] = "com/wizbuild/api/windows/WinRegistry$ExpandString";
constexpr DWORD kBufferBytes = 100000;

std::u16string units(const Bytes& data, size_t from, size_t count) {
    std::u16string out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(static_cast<char16_t>(data[2 * (from + i)] | data[2 * (from + i) + 1] << 8));
    return out;
}

// What getValue0 must give for a value of this type and these bytes.
struct Expected {
    enum Kind { null, string, expand, bytes, integer, longInteger, strings } kind = null;
    std::u16string text;
    std::vector<std::u16string> texts;
    Bytes data;
    int64_t number = 0;
};

Expected expected(DWORD type, const Bytes& data) {
    Expected e;
    size_t count = data.size() / 2;
    auto unit = [&](size_t i) { return static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8); };
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (count > 0 && unit(count - 1) == 0) --count;
        e.kind = type == REG_SZ ? Expected::string : Expected::expand;
        e.text = units(data, 0, count);
        break;
    case REG_BINARY:
        e.kind = Expected::bytes;
        e.data = data;
        break;
    case REG_DWORD:
        if (data.size() >= 4) {
            e.kind = Expected::integer;
            e.number = static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        }
        break;
    case REG_QWORD:
        if (data.size() >= 8) {
            e.kind = Expected::longInteger;
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = v << 8 | data[static_cast<size_t>(i)];
            e.number = static_cast<int64_t>(v);
        }
        break;
    case REG_MULTI_SZ:
        e.kind = Expected::strings;
        for (size_t pos = 0; pos + 1 < count;) {
            size_t end = pos;
            while (end < count && unit(end) != 0) ++end;
            e.texts.push_back(units(data, pos, end - pos));
            pos = end + 1;
        }
        break;
    default:
        break;
    }
    return e;
}

std::u16string javaText(Jvm& vm, jobject string) {
    std::wstring w = vm.text(static_cast<jstring>(string));
    return std::u16string(w.begin(), w.end());
}

// Empty when the object is what the rules say, else what differs.
std::string mismatch(Jvm& vm, jobject got, const Expected& e) {
    if (e.kind == Expected::null) return got ? "an object (" + vm.className(got) + ") instead of null" : "";
    if (!got) return "null";
    switch (e.kind) {
    case Expected::string:
        if (vm.className(got) != "java/lang/String") return "class " + vm.className(got);
        return javaText(vm, got) == e.text ? "" : "other text";
    case Expected::expand: {
        if (vm.className(got) != kExpand) return "class " + vm.className(got);
        std::vector<jvalue> args = vm.constructorArgs(got);
        if (args.size() != 1 || !args[0].l) return "ExpandString without its text";
        return javaText(vm, args[0].l) == e.text ? "" : "other text";
    }
    case Expected::bytes: {
        if (vm.className(got) != "[B") return "class " + vm.className(got);
        std::vector<jbyte> b = vm.elements<jbyte>(static_cast<jarray>(got));
        return Bytes(b.begin(), b.end()) == e.data ? "" : "other bytes";
    }
    case Expected::integer:
        if (vm.className(got) != "java/lang/Integer") return "class " + vm.className(got);
        return vm.unboxInt(got) == static_cast<jint>(e.number) ? "" : "other int";
    case Expected::longInteger:
        if (vm.className(got) != "java/lang/Long") return "class " + vm.className(got);
        return vm.unboxLong(got) == e.number ? "" : "other long";
    case Expected::strings: {
        if (vm.className(got) != "[Ljava/lang/String;") return "class " + vm.className(got);
        std::vector<jobject> items = vm.objectElements(static_cast<jobjectArray>(got));
        if (items.size() != e.texts.size())
            return std::to_string(items.size()) + " strings, not " + std::to_string(e.texts.size());
        for (size_t i = 0; i < items.size(); ++i)
            if (!items[i] || javaText(vm, items[i]) != e.texts[i]) return "string " + std::to_string(i) + " differs";
        return "";
    }
    default:
        return "?";
    }
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < b.size() && i < 64; ++i) {
        out += digits[b[i] >> 4];
        out += digits[b[i] & 15];
    }
    return out + (b.size() > 64 ? "..." : "");
}

Bytes text(const std::u16string& s, size_t terminators) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.insert(out.end(), terminators * 2, 0);
    return out;
}

std::vector<Bytes> corpus() {
    return {
        {},
        text(u"abc", 0),
        text(u"abc", 1),
        text(u"abc", 2),
        text(u"a\0bc", 2),
        text(std::u16string(u"a\0bc\0\0", 6), 0),
        text(u"\u00e4\u20ac", 1),
        {0},
        {1, 2, 3},
        {0x78, 0x56, 0x34, 0x12},
        {1, 2, 3, 4, 5, 6, 7, 8},
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 9},
    };
}

// A registry type: mostly the ones with a conversion, some others.
DWORD pickType(qarfuzz::Rng& rng) {
    static const DWORD known[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};
    if (rng.chance(5)) return rng.chance(2) ? rng.below(13) : static_cast<DWORD>(rng.next());
    return known[rng.below(6)];
}

class RegistryValueFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        vm_.defineClass(kExpand).constructor("(Ljava/lang/String;)V");
        cls_ = vm_.defineClass(std::string(wbtest::kWin32) + "Registry").name();
    }
    Jvm vm_;
    std::string cls_;
};

TEST_F(RegistryValueFuzz, ConversionOfRawValueBytesAtANoAccessPage) {
    qarfuzz::Campaign campaign("wbnative.registryValue", "fuzz");
    qarfuzz::Generator inputs(qarfuzz::seed(), corpus(), 600);
    const size_t count = qarfuzz::inputCount(10000);
    for (size_t n = 0; n < count; ++n) {
        Bytes data = inputs.next();
        DWORD type = pickType(inputs.rng());
        campaign.begin(data.data(), data.size());
        qarfuzz::GuardedBytes guarded(data);
        guarded.seal();
        ASSERT_EQ(vm_.env()->PushLocalFrame(16), 0);
        jobject got = vm_.call(
            [](JNIEnv* env, DWORD t, const BYTE* bytes, DWORD size) { return valueObject(env, t, bytes, size); }, type,
            static_cast<const BYTE*>(guarded.data()), static_cast<DWORD>(guarded.size()));
        std::string wrong = mismatch(vm_, got, expected(type, data));
        vm_.env()->PopLocalFrame(nullptr);
        ASSERT_EQ(wrong, "") << "input " << n << " seed " << qarfuzz::seed() << ": type " << type << ", "
                             << data.size() << " bytes " << hex(data);
    }
    campaign.report();
}

TEST_F(RegistryValueFuzz, GetValueOfRawValuesWrittenByAnotherProgram) {
    qarfuzz::Campaign campaign("wbnative.getValue0", "fuzz");
    qarfuzz::Generator inputs(qarfuzz::seed() + 1, corpus(), 600);
    const std::wstring path = L"Software\\QAR wbnative tests\\registry fuzz " + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    auto getValue = WBNATIVE(Java_com_wizbuild_runtime_installer_platform_win32_Registry_getValue0);
    const size_t count = qarfuzz::inputCount(3000);
    size_t tooLarge = 0;
    for (size_t n = 0; n < count; ++n) {
        Bytes data = inputs.next();
        DWORD type = pickType(inputs.rng());
        // Now and then the buffer's limit: one that just fits, one byte more.
        if (inputs.rng().chance(100)) {
            data.resize(kBufferBytes + inputs.rng().below(2), 0x41);
            type = inputs.rng().chance(2) ? REG_BINARY : REG_SZ;
        }
        campaign.begin(data.data(), data.size());
        ASSERT_EQ(RegSetValueExW(key, L"v", 0, type, data.data(), static_cast<DWORD>(data.size())), 0);
        // What the registry holds is what any reader gets.
        Bytes stored(data.size() + 16);
        DWORD storedType = 0, storedSize = static_cast<DWORD>(stored.size());
        ASSERT_EQ(RegQueryValueExW(key, L"v", nullptr, &storedType, stored.data(), &storedSize), 0);
        stored.resize(storedSize);
        ASSERT_EQ(vm_.env()->PushLocalFrame(16), 0);
        jobject got = vm_.call(getValue, vm_.findClass(cls_), jint{2}, vm_.newString(path), vm_.newString(L"v"), jint{0});
        Expected e = storedSize > kBufferBytes ? Expected{} : expected(storedType, stored);
        tooLarge += storedSize > kBufferBytes;
        std::string wrong = mismatch(vm_, got, e);
        vm_.env()->PopLocalFrame(nullptr);
        ASSERT_EQ(wrong, "") << "input " << n << " seed " << qarfuzz::seed() << ": type " << storedType << ", "
                             << stored.size() << " bytes " << hex(stored);
    }
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    campaign.report("too-large=" + std::to_string(tooLarge));
}

}  // namespace
