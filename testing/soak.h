// Soaks: the same work repeated many times in one process, with the
// resources a leak shows in read after a warm-up and at the end. A soak is
// flat when no gauge grew by more than its allowance, a small constant that
// does not depend on the number of rounds: a leak of one handle, reference or
// a few bytes per round grows with the rounds and so stands out at full size.
#pragma once

#include "fuzz.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qarfuzz {

struct Gauge {
    std::string name;
    std::function<int64_t()> read;
    int64_t allowance;  // growth still counted as flat
    int64_t scale = 1;  // shown divided by this ("private" in KiB)
};

// This process's handles, GDI and USER objects (allowance 0) and private bytes
// (allowance 256 KiB: the heap commits whole pages and grows its own
// bookkeeping in steps), as Resources::now() reads them.
std::vector<Gauge> processGauges();

// For soaks of whole program runs against a peer in this process: the peer's
// (this process's) handles, allowance 0, and every process's handles
// (systemHandleCount(), so the test must run SERIAL under Wine), allowance 8
// for the services Wine starts or ends on its own.
std::vector<Gauge> peerAndSystemGauges();

struct SoakResult {
    std::string detail;               // "handles 52->52 gdi 13->13 ..." for Campaign::report
    std::vector<std::string> leaks;   // one line per gauge that grew too much
};

// Runs round(i) for `warmUp` rounds, reads the gauges, runs `rounds` rounds
// (each one Campaign::begin), reading half-way and at the end. settle() runs
// before each reading (for example to let a VM stand-in reclaim its records).
// The campaign's leak count gets one per gauge that grew beyond its
// allowance; the caller asserts on leaks and reports.
SoakResult soak(Campaign& campaign, const std::vector<Gauge>& gauges, size_t warmUp, size_t rounds,
                const std::function<void(size_t)>& round, const std::function<void()>& settle = {});

}  // namespace qarfuzz
