// Soak rounds and their before/after figures (soak.h).
#include "soak.h"

namespace qarfuzz {

std::vector<Gauge> processGauges() {
    return {
        {"handles", [] { return static_cast<int64_t>(Resources::now().handles); }, 0},
        {"gdi", [] { return static_cast<int64_t>(Resources::now().gdiObjects); }, 0},
        {"user", [] { return static_cast<int64_t>(Resources::now().userObjects); }, 0},
        {"privateKiB", [] { return static_cast<int64_t>(Resources::now().privateBytes); }, 256 * 1024, 1024},
    };
}

std::vector<Gauge> peerAndSystemGauges() {
    return {
        {"peerHandles", [] { return static_cast<int64_t>(Resources::now().handles); }, 0},
        {"systemHandles", [] { return static_cast<int64_t>(systemHandleCount()); }, 8},
    };
}

SoakResult soak(Campaign& campaign, const std::vector<Gauge>& gauges, size_t warmUp, size_t rounds,
                const std::function<void(size_t)>& round, const std::function<void()>& settle) {
    auto readAll = [&] {
        if (settle) settle();
        std::vector<int64_t> values;
        for (const Gauge& g : gauges) values.push_back(g.read());
        return values;
    };
    // The first reading may itself set things up (user32's first window
    // enumeration opens handles): read once before the warm-up ends.
    readAll();
    size_t i = 0;
    for (; i < warmUp; ++i) round(i);
    std::vector<int64_t> before = readAll();
    std::vector<int64_t> half;
    for (size_t n = 0; n < rounds; ++n, ++i) {
        if (n == rounds / 2) half = readAll();
        campaign.begin();
        round(i);
    }
    if (half.empty()) half = readAll();
    std::vector<int64_t> after = readAll();

    SoakResult result;
    size_t leaks = 0;
    for (size_t g = 0; g < gauges.size(); ++g) {
        const Gauge& gauge = gauges[g];
        int64_t s = gauge.scale ? gauge.scale : 1;
        if (!result.detail.empty()) result.detail += ' ';
        result.detail += gauge.name + ' ' + std::to_string(before[g] / s) + "->" + std::to_string(after[g] / s);
        int64_t growth = after[g] - before[g];
        if (growth > gauge.allowance) {
            ++leaks;
            result.leaks.push_back(gauge.name + " grew from " + std::to_string(before[g] / s) + " to " +
                                   std::to_string(half[g] / s) + " half-way and " + std::to_string(after[g] / s) +
                                   " after " + std::to_string(rounds) + " rounds (allowed: +" +
                                   std::to_string(gauge.allowance / s) + ")");
        }
    }
    campaign.addLeaks(leaks);
    return result;
}

}  // namespace qarfuzz
