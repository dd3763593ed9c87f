// Input generation, guarded buffers and the figures line of the robustness
// runs (fuzz.h).
#include "fuzz.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qarfuzz {

namespace {

bool readNumber(const wchar_t* name, uint64_t& value) {
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(name, text, 64);
    if (n == 0 || n >= 64) return false;
    wchar_t* end = nullptr;
    unsigned long long parsed = wcstoull(text, &end, 0);
    if (end == text || *end != L'\0') return false;
    value = parsed;
    return true;
}

size_t pageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// What the crash handler reports; one campaign at a time per process.
struct CrashContext {
    const char* target = nullptr;
    const char* kind = nullptr;
    size_t input = 0;
    Bytes bytes;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;
};
CrashContext* g_crash = nullptr;

LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
    CrashContext* c = g_crash;
    if (!c) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    bool overread = r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2 &&
                    r->ExceptionInformation[0] == 0;
    char file[MAX_PATH] = "";
    char module[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (n > 0 && n < MAX_PATH - 64) {
        snprintf(file, sizeof file, "%s.crash-%llu.bin", module, static_cast<unsigned long long>(seed()));
        HANDLE h = CreateFileA(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(h, c->bytes.data(), static_cast<DWORD>(c->bytes.size()), &written, nullptr);
            CloseHandle(h);
        } else {
            file[0] = '\0';
        }
    }
    fprintf(stderr,
            "ROBUSTNESS %s %s CRASH %s (exception 0x%08lX at %p) at input %llu, seed %llu; input saved to %s\n",
            c->target, c->kind, overread ? "read fault" : "fault", static_cast<unsigned long>(r->ExceptionCode),
            r->ExceptionAddress, static_cast<unsigned long long>(c->input), static_cast<unsigned long long>(seed()),
            file[0] ? file : "(not saved)");
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 0xC0DE0F02);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

size_t inputCount(size_t ciDefault) {
    uint64_t value;
    return readNumber(L"QAR_FUZZ_INPUTS", value) && value > 0 ? static_cast<size_t>(value) : ciDefault;
}

size_t scaledCount(size_t ciDefault, size_t inputsPerUnit) {
    uint64_t value;
    if (!readNumber(L"QAR_FUZZ_INPUTS", value) || value == 0) return ciDefault;
    uint64_t units = value / (inputsPerUnit ? inputsPerUnit : 1);
    return units ? static_cast<size_t>(units) : 1;
}

uint64_t seed() {
    uint64_t value;
    return readNumber(L"QAR_FUZZ_SEED", value) ? value : 20261210;
}

uint64_t Rng::next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
}

uint32_t Rng::below(uint32_t bound) {
    return bound ? static_cast<uint32_t>((next() >> 32) % bound) : 0;
}

const std::vector<int64_t>& boundaryIntegers() {
    static const std::vector<int64_t> values = {
        0, 1, 2, 3, 4, 7, 8, 15, 16, 127, 128, 255, 256, 1023, 1024, 4095, 4096, 65535, 65536,
        0x7FFF, 0x8000, 0x7FFFFFFF, static_cast<int64_t>(0x80000000u), static_cast<int64_t>(0xFFFFFFFFu),
        -1, -2, -128, -65536, INT32_MIN, INT64_MAX, INT64_MIN};
    return values;
}

Generator::Generator(uint64_t seed, std::vector<Bytes> corpus, size_t maxSize)
    : rng_(seed), corpus_(std::move(corpus)), maxSize_(maxSize ? maxSize : 1) {}

Bytes Generator::next() {
    uint64_t n = produced_++;
    // Every corpus entry once as it stands, then mostly mutations.
    if (n < corpus_.size()) return corpus_[n];
    uint32_t pick = rng_.below(10);
    if (corpus_.empty() || pick == 0) {
        Bytes random(rng_.below(static_cast<uint32_t>(std::min<size_t>(maxSize_, 256)) + 1));
        for (auto& b : random) b = rng_.byte();
        return random;
    }
    Bytes input = corpus_[rng_.below(static_cast<uint32_t>(corpus_.size()))];
    uint32_t rounds = 1 + rng_.below(4);
    for (uint32_t i = 0; i < rounds; ++i) input = mutate(std::move(input));
    if (input.size() > maxSize_) input.resize(maxSize_);
    return input;
}

Bytes Generator::mutate(Bytes input) {
    auto at = [&](size_t extra) { return rng_.below(static_cast<uint32_t>(input.size() + extra)); };
    switch (rng_.below(8)) {
    case 0:  // flip a bit
        if (!input.empty()) input[at(0)] ^= static_cast<uint8_t>(1u << rng_.below(8));
        break;
    case 1:  // set a byte
        if (!input.empty()) {
            static const uint8_t special[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0x0A, 0x0D, 0x22, 0x5C};
            input[at(0)] = rng_.chance(2) ? special[rng_.below(sizeof special)] : rng_.byte();
        }
        break;
    case 2: {  // a boundary integer, 1, 2, 4 or 8 bytes little-endian
        if (input.empty()) break;
        const auto& values = boundaryIntegers();
        int64_t v = values[rng_.below(static_cast<uint32_t>(values.size()))];
        size_t width = size_t{1} << rng_.below(4);
        size_t pos = at(0);
        for (size_t i = 0; i < width && pos + i < input.size(); ++i)
            input[pos + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
        break;
    }
    case 3:  // truncate
        input.resize(at(0));
        break;
    case 4: {  // insert random bytes
        size_t pos = at(1);
        Bytes extra(1 + rng_.below(16));
        for (auto& b : extra) b = rng_.byte();
        input.insert(input.begin() + pos, extra.begin(), extra.end());
        break;
    }
    case 5:  // delete a run
        if (!input.empty()) {
            size_t pos = at(0);
            size_t len = 1 + rng_.below(static_cast<uint32_t>(std::min<size_t>(16, input.size() - pos)));
            input.erase(input.begin() + pos, input.begin() + pos + len);
        }
        break;
    case 6: {  // splice with another corpus entry
        if (corpus_.empty()) break;
        const Bytes& other = corpus_[rng_.below(static_cast<uint32_t>(corpus_.size()))];
        size_t keep = at(1);
        size_t from = other.empty() ? 0 : rng_.below(static_cast<uint32_t>(other.size()));
        input.resize(keep);
        input.insert(input.end(), other.begin() + from, other.end());
        break;
    }
    default: {  // duplicate a run
        if (input.empty()) break;
        size_t pos = at(0);
        size_t len = 1 + rng_.below(static_cast<uint32_t>(std::min<size_t>(32, input.size() - pos)));
        Bytes run(input.begin() + pos, input.begin() + pos + len);
        input.insert(input.begin() + pos, run.begin(), run.end());
        break;
    }
    }
    return input;
}

GuardedBytes::GuardedBytes(const void* data, size_t size) : size_(size) {
    size_t page = pageSize();
    size_t dataPages = (size + page - 1) / page;
    regionSize_ = (dataPages + 1) * page;
    region_ = VirtualAlloc(nullptr, regionSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!region_) {
        fprintf(stderr, "GuardedBytes: VirtualAlloc of %zu bytes failed (%lu)\n", regionSize_, GetLastError());
        abort();
    }
    uint8_t* guard = static_cast<uint8_t*>(region_) + dataPages * page;
    DWORD old;
    VirtualProtect(guard, page, PAGE_NOACCESS, &old);
    data_ = guard - size;
    if (size) memcpy(data_, data, size);
}

GuardedBytes::~GuardedBytes() {
    if (region_) VirtualFree(region_, 0, MEM_RELEASE);
}

void GuardedBytes::seal() {
    size_t page = pageSize();
    size_t dataPages = (size_ + page - 1) / page;
    DWORD old;
    if (dataPages) VirtualProtect(region_, dataPages * page, PAGE_READONLY, &old);
}

GuardedText::GuardedText(const std::wstring& text) : bytes_(text.data(), text.size() * sizeof(wchar_t)) {}

namespace {

bool underWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// This process's handles, one query per handle value (see fuzz.h).
DWORD countHandles() {
    DWORD count = 0;
    unsigned freeInARow = 0;
    for (uintptr_t value = 4; freeInARow < 512; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            freeInARow = 0;
        } else {
            ++freeInARow;
        }
    }
    return count;
}

// One entry of the GDI handle table, the same layout for both targets.
struct GdiEntry {
    uint64_t object;
    uint32_t owner;
    uint16_t unique;  // bit 7: stock object
    uint8_t type;     // 0: free
    uint8_t flags;
    uint64_t user;
};
constexpr size_t kGdiEntries = 0x10000;

// The PEB's GdiSharedHandleTable. A 32-bit process under Wine finds its 64-bit
// PEB through the 64-bit TEB, whose address Wine keeps in GdiBatchCount (as
// Wine's own gdi32 does).
// (GCC takes the segment-relative read of NtCurrentTeb for an access to a
// zero-length array.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
const uint8_t* currentTeb() { return reinterpret_cast<const uint8_t*>(NtCurrentTeb()); }
#pragma GCC diagnostic pop

const GdiEntry* gdiTable() {
    const uint8_t* teb = currentTeb();
#ifdef _WIN64
    const uint8_t* peb = *reinterpret_cast<const uint8_t* const*>(teb + 0x60);
    return *reinterpret_cast<const GdiEntry* const*>(peb + 0xF8);
#else
    uint32_t teb64 = *reinterpret_cast<const uint32_t*>(teb + 0xF70);
    if (teb64) {
        uint64_t peb64 = *reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(teb64) + 0x60);
        if (!peb64) return nullptr;
        return reinterpret_cast<const GdiEntry*>(
            static_cast<uintptr_t>(*reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(peb64) + 0xF8)));
    }
    const uint8_t* peb = *reinterpret_cast<const uint8_t* const*>(teb + 0x30);
    return *reinterpret_cast<const GdiEntry* const*>(peb + 0x94);
#endif
}

DWORD countGdiObjects() {
    const GdiEntry* table = gdiTable();
    if (!table) return 0;
    DWORD count = 0;
    for (size_t i = 0; i < kGdiEntries; ++i)
        if (table[i].type && !(table[i].unique & 0x80)) ++count;
    return count;
}

BOOL CALLBACK countOwnWindow(HWND window, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId()) {
        ++*reinterpret_cast<DWORD*>(param);
        EnumChildWindows(window, countOwnWindow, param);
    }
    return TRUE;
}

DWORD countWindows() {
    DWORD count = 0;
    EnumWindows(countOwnWindow, reinterpret_cast<LPARAM>(&count));
    for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
         w = FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr))
        countOwnWindow(w, reinterpret_cast<LPARAM>(&count));
    return count;
}

}  // namespace

Resources Resources::now() {
    Resources r;
    bool wine = underWine();
    // USER and GDI first: the first window enumeration of a process opens
    // handles of its own (window station, desktop, settings keys).
    r.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    r.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (wine) {
        r.gdiObjects = countGdiObjects();
        r.userObjects = countWindows();
    }
    if (wine || !GetProcessHandleCount(GetCurrentProcess(), &r.handles) || r.handles == 0) r.handles = countHandles();
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters))
        r.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return r;
}

size_t systemHandleCount() {
    typedef LONG(NTAPI * QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll ? reinterpret_cast<QuerySystemInformationFn>(
                             reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                       : nullptr;
    if (!query) return 0;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    // The table starts with its row count; grow the buffer until it fits.
    for (ULONG size = 1 << 16; size && size <= (1u << 28); size *= 2) {
        std::vector<uint8_t> buffer(size);
        ULONG needed = 0;
        LONG status = query(kSystemHandleInformation, buffer.data(), size, &needed);
        if (status == kInfoLengthMismatch) continue;
        if (status < 0) return 0;
        ULONG rows;
        memcpy(&rows, buffer.data(), sizeof rows);
        return rows;
    }
    return 0;
}

Campaign::Campaign(std::string target, std::string kind) : target_(std::move(target)), kind_(std::move(kind)) {
    auto* c = new CrashContext;
    c->target = target_.c_str();
    c->kind = kind_.c_str();
    c->previous = SetUnhandledExceptionFilter(onCrash);
    g_crash = c;
}

Campaign::~Campaign() {
    CrashContext* c = g_crash;
    g_crash = nullptr;
    if (c) {
        SetUnhandledExceptionFilter(c->previous);
        delete c;
    }
}

void Campaign::begin(const void* data, size_t size) {
    if (g_crash) {
        g_crash->input = inputs_;
        const uint8_t* p = static_cast<const uint8_t*>(data);
        g_crash->bytes.assign(p, p + (p ? size : 0));
    }
    ++inputs_;
}

void Campaign::report(const std::string& detail) {
    char line[512];
    snprintf(line, sizeof line, "ROBUSTNESS %s %s inputs=%zu crashes=0 overreads=0 leaks=%zu%s%s\n", target_.c_str(),
             kind_.c_str(), inputs_, leaks_, detail.empty() ? "" : " ", detail.c_str());
    fputs(line, stdout);
    fflush(stdout);
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"QAR_ROBUSTNESS_REPORT", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(h, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    CloseHandle(h);
}

}  // namespace qarfuzz

namespace qarfuzz {

ArgvGenerator::ArgvGenerator(uint64_t seed, std::vector<Argv> corpus, std::vector<std::wstring> vocabulary)
    : rng_(seed), corpus_(std::move(corpus)), vocabulary_(std::move(vocabulary)) {
    if (corpus_.empty()) corpus_.push_back({L"program.exe"});
}

std::wstring ArgvGenerator::element() {
    static const wchar_t* const odd[] = {
        L"", L" ", L"\"", L"\\", L"\\\\\"", L"a\\\"b", L"\"quoted arg\"", L"trailing\\", L"C:\\Program Files\\x.exe",
        L"Z\u00fcrich", L"\u20ac\u041a\u043b\u0438\u0435\u043d\u0442", L"\U0001F600", L"\xD800", L"\xDFFF\xD800",
        L"--", L"-", L"--unknown", L"--unknown=1", L"-x", L"/X", L"=", L"--login-id=", L"\t\n\r", L"%s%n%08x"};
    switch (rng_.below(5)) {
    case 0:
    case 1:
        if (!vocabulary_.empty()) return vocabulary_[rng_.below(static_cast<uint32_t>(vocabulary_.size()))];
        [[fallthrough]];
    case 2:
        return odd[rng_.below(static_cast<uint32_t>(sizeof odd / sizeof odd[0]))];
    case 3: {
        static const size_t sizes[] = {1023, 1024, 4096, 40000};
        wchar_t fill = rng_.chance(2) ? L'a' : static_cast<wchar_t>(0x20 + rng_.below(0xD000));
        return std::wstring(sizes[rng_.below(4)], fill);
    }
    default: {
        std::wstring text(rng_.below(12), L'\0');
        for (auto& c : text) c = static_cast<wchar_t>(rng_.chance(3) ? 1 + rng_.below(0xFFFF) : 0x20 + rng_.below(0x5F));
        return text;
    }
    }
}

ArgvGenerator::Argv ArgvGenerator::next() {
    uint64_t n = produced_++;
    if (n < corpus_.size()) return corpus_[n];
    Argv args = corpus_[rng_.below(static_cast<uint32_t>(corpus_.size()))];
    uint32_t rounds = 1 + rng_.below(4);
    for (uint32_t r = 0; r < rounds; ++r) {
        uint32_t count = static_cast<uint32_t>(args.size());
        uint32_t at = count > 1 ? 1 + rng_.below(count - 1) : 1;  // element 0 stays
        switch (rng_.below(6)) {
        case 0:  // drop
            if (count > 1) args.erase(args.begin() + at);
            break;
        case 1:  // duplicate
            if (count > 1) args.insert(args.begin() + at, args[at]);
            break;
        case 2:  // move
            if (count > 2) {
                uint32_t to = 1 + rng_.below(count - 1);
                std::swap(args[at], args[to]);
            }
            break;
        case 3:  // replace
            if (count > 1) {
                args[at] = element();
                break;
            }
            [[fallthrough]];
        case 4:  // insert
            args.insert(args.begin() + (count > 1 ? 1 + rng_.below(count) : 1), element());
            break;
        default: {  // change a few characters of one element
            if (count <= 1) break;
            std::wstring& text = args[at];
            uint32_t edits = 1 + rng_.below(3);
            for (uint32_t e = 0; e < edits; ++e) {
                wchar_t c = static_cast<wchar_t>(rng_.chance(2) ? 0x20 + rng_.below(0x5F) : 1 + rng_.below(0xFFFF));
                if (text.empty() || rng_.chance(3)) {
                    text.insert(text.begin() + rng_.below(static_cast<uint32_t>(text.size() + 1)), c);
                } else if (rng_.chance(2)) {
                    text[rng_.below(static_cast<uint32_t>(text.size()))] = c;
                } else {
                    text.erase(text.begin() + rng_.below(static_cast<uint32_t>(text.size())));
                }
            }
            break;
        }
        }
    }
    return args;
}

WideArgv::WideArgv(const std::vector<std::wstring>& args) {
    for (const auto& a : args) {
        elements_.push_back(std::make_unique<GuardedBytes>(a.c_str(), (a.size() + 1) * sizeof(wchar_t)));
        pointers_.push_back(reinterpret_cast<wchar_t*>(const_cast<uint8_t*>(elements_.back()->data())));
    }
    pointers_.push_back(nullptr);
}

NarrowArgv::NarrowArgv(const std::vector<std::wstring>& args, UINT codePage) {
    for (const auto& a : args) {
        std::string narrow;
        if (!a.empty()) {
            int n = WideCharToMultiByte(codePage, 0, a.data(), static_cast<int>(a.size()), nullptr, 0, nullptr,
                                        nullptr);
            narrow.resize(n > 0 ? n : 0);
            if (n > 0)
                WideCharToMultiByte(codePage, 0, a.data(), static_cast<int>(a.size()), narrow.data(), n, nullptr,
                                    nullptr);
        }
        args_.push_back(narrow);
    }
    for (const auto& a : args_) {
        elements_.push_back(std::make_unique<GuardedBytes>(a.c_str(), a.size() + 1));
        pointers_.push_back(reinterpret_cast<const char*>(elements_.back()->data()));
    }
    pointers_.push_back(nullptr);
}

std::string describeArgv(const std::vector<std::wstring>& args) {
    std::string out;
    for (const auto& a : args) {
        out += out.empty() ? "[" : " [";
        size_t shown = std::min<size_t>(a.size(), 40);
        for (size_t i = 0; i < shown; ++i) {
            wchar_t c = a[i];
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char esc[12];
                snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned>(c));
                out += esc;
            }
        }
        if (shown < a.size()) out += "...(" + std::to_string(a.size()) + " units)";
        out += "]";
    }
    return out;
}

}  // namespace qarfuzz
