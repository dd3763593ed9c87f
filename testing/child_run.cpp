#include "child_run.h"

namespace qartest {

namespace {

const wchar_t kRoleVariable[] = L"QAR_TEST_CHILD_ROLE";

}  // namespace

std::wstring childRole() {
    wchar_t value[256] = L"";
    DWORD length = GetEnvironmentVariableW(kRoleVariable, value, 256);
    return length > 0 && length < 256 ? value : L"";
}

ProcessResult runChild(const std::wstring& role, const std::wstring& filter, RunOptions options) {
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        ProcessResult failed;
        failed.exitCode = 0xFFFFFFF1;
        failed.err = "test harness: GetModuleFileNameW failed with " + std::to_string(GetLastError());
        return failed;
    }
    std::wstring cases = filter;
    if (cases.empty()) {
        const testing::TestInfo* current = testing::UnitTest::GetInstance()->current_test_info();
        if (current) cases = fromUtf8(std::string(current->test_suite_name()) + "." + current->name());
    }
    options.env.push_back({kRoleVariable, role});
    return runProgram(self, {L"--gtest_filter=" + cases, L"--gtest_also_run_disabled_tests"}, options);
}

testing::AssertionResult childPassed(const ProcessResult& run) {
    std::string out = stripCr(run.out);
    bool ranSome = out.find("[  PASSED  ] ") != std::string::npos && out.find("[  PASSED  ] 0 tests") == std::string::npos;
    if (run.exitCode == 0 && ranSome) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the child " << (run.exitCode == 0 ? "ran no case" : "failed") << " (exit code "
                                       << run.exitCode << "); its output:\n"
                                       << out << stripCr(run.err);
}

}  // namespace qartest
