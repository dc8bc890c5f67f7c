// The base fixture: starts the host platform before each test and, after it, fails the
// test on any verifier violation it did not take and on any pool block left behind.
#include "tests/support/platform_test.h"

#include "sim/ex/ex.h"

#include <chrono>
#include <thread>

namespace bench {

void PlatformTest::SetUp()
{
    sim::StartPlatform(options_);
}

void PlatformTest::TearDown()
{
    sim::StopPlatform();
    for (const auto &v : sim::verifier::Take()) {
        ADD_FAILURE() << "verifier: " << sim::verifier::RuleName(v.rule) << ": " << v.detail;
    }
    if (sim::ex::CheckNoLeaks("end of test") != 0) {
        for (const auto &v : sim::verifier::Take()) {
            ADD_FAILURE() << "verifier: " << sim::verifier::RuleName(v.rule) << ": " << v.detail;
        }
    }
    sim::ex::ResetPool();
}

std::vector<sim::verifier::Violation> PlatformTest::TakeViolations()
{
    return sim::verifier::Take();
}

void PlatformTest::ExpectViolation(sim::verifier::Rule rule)
{
    auto violations = sim::verifier::Take();
    ASSERT_FALSE(violations.empty()) << "expected " << sim::verifier::RuleName(rule) << ", none fired";
    for (const auto &v : violations) {
        EXPECT_EQ(v.rule, rule) << "expected " << sim::verifier::RuleName(rule) << ", got "
                                << sim::verifier::RuleName(v.rule) << ": " << v.detail;
    }
}

bool Eventually(const std::function<bool()> &done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace bench
