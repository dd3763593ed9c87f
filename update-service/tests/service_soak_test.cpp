// Soak: whole runs of qarupdateservice installing and deleting its service
// under Wine's service control manager, in turn; the system's handles do not
// grow (nor this process's, which only waits for the runs).
#include <gtest/gtest.h>

#include "exit_codes.h"
#include "service_registration.h"
#include "soak.h"
#include "wine_process.h"

namespace {

using namespace qartest;

TEST(ServiceSoak, InstallAndDeleteRunAfterRunStaysFlat) {
    auto run = [](const wchar_t* command) { return runProgram(QARUPDATESERVICE_EXE, {command}); };
    qarfuzz::Campaign campaign("qarupdateservice", "soak");
    size_t runs = qarfuzz::scaledCount(30, 100);
    qarfuzz::SoakResult result = qarfuzz::soak(campaign, qarfuzz::peerAndSystemGauges(), 4, runs, [&](size_t i) {
        if (i % 2 == 0) {
            ProcessResult r = run(L"install");
            EXPECT_EQ(r.exitCode, exitCodeOf(InstallResult::Installed)) << r.out;
        } else {
            ProcessResult r = run(L"delete");
            EXPECT_EQ(r.exitCode, exitCodeOf(DeleteResult::Deleted)) << r.out;
        }
    });
    EXPECT_EQ(run(L"delete").exitCode, exitCodeOf(DeleteResult::Deleted));
    for (const std::string& leak : result.leaks) ADD_FAILURE() << "qarupdateservice: " << leak;
    campaign.report(result.detail);
}

}  // namespace
