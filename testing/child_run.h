// Running this test program again as a child, for a case that needs a process
// of its own: state a library binds once per process, settings Wine reads when
// a process starts. The child runs the cases a filter selects, knows its role
// from an environment variable, and reports through its exit code and output.
//
//   TEST(Suite, Case) {
//       if (qartest::childRole().empty()) {
//           EXPECT_TRUE(qartest::childPassed(qartest::runChild(L"fresh")));
//           return;
//       }
//       ...the case's body, in the new process...
//   }
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "wine_process.h"

namespace qartest {

// The role runChild gave this process; empty in a test program CTest started.
std::wstring childRole();

// Runs this test program with --gtest_filter=filter (disabled cases included,
// so a case meant only for children can be one) and role as its childRole(),
// options.env on top; an empty filter selects the case running now.
ProcessResult runChild(const std::wstring& role, const std::wstring& filter = L"", RunOptions options = {});

// Success when the child exited with 0 after running at least one case: a
// filter that selects nothing passes too, and must not pass silently.
testing::AssertionResult childPassed(const ProcessResult& run);

}  // namespace qartest
