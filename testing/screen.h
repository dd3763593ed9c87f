// The screen a window test reads back. The X server keeps no pixels beyond
// its screen: a window placed past the edge reads back all black. The suite's
// Xvfb screen is 1280x1024 (scripts/wine-prefix.sh); a test that needs more
// than the screen it finds skips itself saying what it needs.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace qartest {

// Empty when the primary screen holds area; else why not, for a skip message.
inline std::string offScreen(const RECT& area) {
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    if (area.left >= 0 && area.top >= 0 && area.right <= width && area.bottom <= height) return {};
    return "needs a screen of at least " + std::to_string(area.right) + "x" + std::to_string(area.bottom) +
           " (the suite's is 1280x1024); this one is " + std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace qartest

// Skips the current test unless the primary screen holds the RECT area.
#define QAR_SKIP_UNLESS_ON_SCREEN(area)                          \
    do {                                                         \
        const std::string qarWhyOff = qartest::offScreen(area);  \
        if (!qarWhyOff.empty()) GTEST_SKIP() << qarWhyOff;       \
    } while (0)
