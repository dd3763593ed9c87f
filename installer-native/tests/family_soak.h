// Soaks of wbnative's families: one family's main natives called round after
// round through the stand-in VM in one process, with the process's handles,
// GDI and USER objects and private bytes, and the VM's live local and global
// references and pins, read after a warm-up and at the end; all must stay
// flat. The short form runs in every test run; QAR_FUZZ_INPUTS (the full
// campaign of scripts/robustness.sh) scales it: 100000 inputs give 10000
// rounds.
#pragma once

#include "jvm.h"

#include <cstddef>
#include <functional>
#include <string>

namespace wbtest {

struct SoakSize {
    size_t ciRounds;              // the short form
    size_t inputsPerRound = 10;   // full size: QAR_FUZZ_INPUTS / inputsPerRound rounds
    size_t warmUp = 64;           // rounds before the first reading
    // Growth still flat, where the test's own surroundings move (a server
    // thread of a connection still closing, a heap growing in 1 MiB steps).
    int64_t handleAllowance = 0;
    int64_t privateAllowance = 256 * 1024;
};

// Runs round(i) (a few native calls through vm.call) in a local frame of its
// own, after a warm-up, fails the test for every gauge that grew and prints
// the figures line "ROBUSTNESS wbnative.<family> soak ...".
void soakFamily(qarjvm::Jvm& vm, const std::string& family, SoakSize size, const std::function<void(size_t)>& round);

}  // namespace wbtest
