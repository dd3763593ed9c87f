// Support for the robustness runs: fuzz targets, sweeps and soaks.
//
// A fuzz target is an ordinary GoogleTest case that loops over generated
// inputs. Its size is a number of inputs, never a clock:
//   - inputCount(ciDefault): QAR_FUZZ_INPUTS from the environment when set
//     (scripts/robustness.sh sets it for the full campaign), else ciDefault
//     (the short form that every test run includes);
//   - seed(): QAR_FUZZ_SEED when set, else one fixed seed, so a failure in CI
//     is reproduced by running the same program again.
// Each input is handed over in a GuardedBytes, whose last byte is followed by
// a no-access page: a parser that reads one byte too far faults at once.
// While a Campaign is alive, an access violation or any other crash prints the
// target, seed and input number (and writes the input to a file beside the
// program) before the process ends, so the crash can be replayed.
// At the end each run reports one line of figures (report()), which
// scripts/robustness.sh collects into its table:
//   ROBUSTNESS <target> <kind> inputs=<n> crashes=<n> overreads=<n> leaks=<n> [detail]
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qarfuzz {

using Bytes = std::vector<uint8_t>;

size_t inputCount(size_t ciDefault);
uint64_t seed();
// For runs where one unit is worth many inputs (a soak round calling a
// family's natives, a whole process run): ciDefault in the short form, and
// QAR_FUZZ_INPUTS / inputsPerUnit (at least 1) when it is set, so the full
// campaign's 100000 inputs give 10000 soak rounds (inputsPerUnit 10) or 1000
// process runs (100).
size_t scaledCount(size_t ciDefault, size_t inputsPerUnit);

// xorshift64*: small, fast and the same on both targets.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t next();
    uint32_t below(uint32_t bound);  // 0 when bound is 0
    bool chance(uint32_t oneIn) { return below(oneIn) == 0; }
    uint8_t byte() { return static_cast<uint8_t>(next()); }

private:
    uint64_t state_;
};

// Inputs: a mix of random bytes, mutations of the corpus entries (bit flips,
// byte changes, boundary integers written at random offsets, truncation,
// insertion, deletion, splices) and the corpus entries themselves.
class Generator {
public:
    Generator(uint64_t seed, std::vector<Bytes> corpus, size_t maxSize = 4096);
    Bytes next();
    Rng& rng() { return rng_; }

private:
    Bytes mutate(Bytes input);
    Rng rng_;
    std::vector<Bytes> corpus_;
    size_t maxSize_;
    uint64_t produced_ = 0;
};

// Some boundary values for lengths, offsets and counts.
const std::vector<int64_t>& boundaryIntegers();

// A copy of the input whose last byte is the last one before a no-access page
// (an empty input points at the no-access page itself).
class GuardedBytes {
public:
    GuardedBytes(const void* data, size_t size);
    explicit GuardedBytes(const Bytes& bytes) : GuardedBytes(bytes.data(), bytes.size()) {}
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // Makes the copy read-only (a parser must not write its input).
    void seal();

private:
    void* region_ = nullptr;
    size_t regionSize_ = 0;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The same for UTF-16 text: the last character ends at the no-access page,
// with no terminator (for parsers that take a length).
class GuardedText {
public:
    explicit GuardedText(const std::wstring& text);
    const wchar_t* data() const { return reinterpret_cast<const wchar_t*>(bytes_.data()); }
    size_t size() const { return bytes_.size() / sizeof(wchar_t); }

private:
    GuardedBytes bytes_;
};

// The process-wide resources a leak shows in. Wine 8.0 answers 0 to
// GetProcessHandleCount and GetGuiResources and reports no PrivateUsage, so
// under Wine (and wherever those give 0):
//   - handles: this process's open handles, counted by asking for each handle
//     value in turn (the server hands out the lowest free slot, so the table
//     is dense; the count ends after 512 free slots in a row). It equals this
//     process's rows of the system handle table, which is not read here:
//     Wine's server crashes when that table is read while another process
//     starts, and fuzz targets run in parallel with other tests;
//   - gdiObjects: the entries of this process's GDI handle table (the table
//     Wine's gdi32 itself reads through the PEB), stock objects left out;
//   - userObjects: this process's windows (top-level, child and
//     message-only); Wine offers no count of its other USER objects, but an
//     icon's bitmaps show among the GDI objects;
//   - privateBytes: PagefileUsage, which Windows documents as the same figure.
struct Resources {
    DWORD handles = 0;
    DWORD gdiObjects = 0;
    DWORD userObjects = 0;
    size_t privateBytes = 0;
    static Resources now();
};

// The number of handles every process holds (the system handle table's
// rows), or 0 when the table cannot be read. Under Wine a test that calls it
// must run alone (qar_add_wine_test SERIAL): see above.
size_t systemHandleCount();

// Scope of one fuzz target, sweep or soak: names it for the crash message and
// counts the inputs.
class Campaign {
public:
    Campaign(std::string target, std::string kind);
    ~Campaign();
    Campaign(const Campaign&) = delete;
    Campaign& operator=(const Campaign&) = delete;
    // Call before handing each input over; the bytes are what a crash saves.
    void begin(const void* data, size_t size);
    void begin() { begin(nullptr, 0); }
    size_t inputs() const { return inputs_; }
    // Leaks found by the target's own checks.
    void addLeaks(size_t count) { leaks_ += count; }
    // Prints the figures line (and appends it to QAR_ROBUSTNESS_REPORT when
    // set). detail: free text such as "handles 52->52".
    void report(const std::string& detail = {});

private:
    std::string target_;
    std::string kind_;
    size_t inputs_ = 0;
    size_t leaks_ = 0;
};

}  // namespace qarfuzz

namespace qarfuzz {

// Command lines for the programs' parsers: each input is a corpus command line
// (element 0, the program, kept) changed one to four times: an element
// dropped, duplicated, moved or replaced, or one inserted: a word of the
// vocabulary (the program's options and commands), an unknown option, an empty
// element, a huge one (1023, 1024, 4096 or 40000 units), non-ASCII text (a
// lone surrogate included), quotes and backslashes, or a byte-level mutation
// of an element's text. The corpus entries come first, unchanged.
class ArgvGenerator {
public:
    using Argv = std::vector<std::wstring>;
    ArgvGenerator(uint64_t seed, std::vector<Argv> corpus, std::vector<std::wstring> vocabulary);
    Argv next();
    Rng& rng() { return rng_; }

private:
    std::wstring element();
    Rng rng_;
    std::vector<Argv> corpus_;
    std::vector<std::wstring> vocabulary_;
    uint64_t produced_ = 0;
};

// The elements as a main-style vector (argc, argv, null after the last);
// each element's terminator is the last unit before a no-access page.
class WideArgv {
public:
    explicit WideArgv(const std::vector<std::wstring>& args);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    wchar_t** argv() { return pointers_.data(); }

private:
    std::vector<std::unique_ptr<GuardedBytes>> elements_;
    std::vector<wchar_t*> pointers_;
};

// The same as narrow text in code page (CP_ACP as the runtime gives main's argv,
// or CP_UTF8), unconvertible characters as the code page's default character.
class NarrowArgv {
public:
    NarrowArgv(const std::vector<std::wstring>& args, UINT codePage);
    int argc() const { return static_cast<int>(args_.size()); }
    const char* const* argv() const { return pointers_.data(); }
    const std::vector<std::string>& args() const { return args_; }

private:
    std::vector<std::string> args_;
    std::vector<std::unique_ptr<GuardedBytes>> elements_;
    std::vector<const char*> pointers_;
};

// One line naming the elements, for failure messages (long ones shortened).
std::string describeArgv(const std::vector<std::wstring>& args);

}  // namespace qarfuzz
