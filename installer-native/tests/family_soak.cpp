// Family soaks through the stand-in VM (family_soak.h).
#include "family_soak.h"

#include "soak.h"

#include <gtest/gtest.h>

namespace wbtest {

void soakFamily(qarjvm::Jvm& vm, const std::string& family, SoakSize size, const std::function<void(size_t)>& round) {
    qarfuzz::Campaign campaign("wbnative." + family, "soak");
    std::vector<qarfuzz::Gauge> gauges = qarfuzz::processGauges();
    for (qarfuzz::Gauge& g : gauges) {
        if (g.name == "handles") g.allowance = size.handleAllowance;
        if (g.name == "privateKiB") g.allowance = size.privateAllowance;
    }
    gauges.push_back({"locals", [&vm] { return static_cast<int64_t>(vm.liveLocalRefs()); }, 0});
    gauges.push_back({"globals", [&vm] { return static_cast<int64_t>(vm.liveGlobalRefs()); }, 0});
    gauges.push_back({"pins", [&vm] { return static_cast<int64_t>(vm.livePins()); }, 0});
    JNIEnv* env = vm.env();
    size_t rounds = qarfuzz::scaledCount(size.ciRounds, size.inputsPerRound);
    auto oneRound = [&](size_t i) {
        ASSERT_EQ(env->PushLocalFrame(16), 0);
        round(i);
        env->PopLocalFrame(nullptr);
        // The stand-in keeps its records until told otherwise.
        if (i % 16 == 15) vm.collectGarbage();
    };
    qarfuzz::SoakResult result =
        qarfuzz::soak(campaign, gauges, size.warmUp, rounds, oneRound, [&vm] { vm.collectGarbage(); });
    for (const std::string& leak : result.leaks) ADD_FAILURE() << "wbnative." << family << ": " << leak;
    campaign.report(result.detail);
}

}  // namespace wbtest
