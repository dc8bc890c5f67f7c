// The base fixture of every host test: a fresh host platform per test, and the checks
// that each test ends with no verifier violation it did not expect and no pool left
// behind.
#pragma once

#include "sim/platform.h"
#include "sim/verifier.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace bench {

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Takes the violations recorded so far, for a test that provokes them on purpose.
    std::vector<sim::verifier::Violation> TakeViolations();
    // Asserts that exactly the given rule fired (at least once, and nothing else).
    void ExpectViolation(sim::verifier::Rule rule);

    sim::PlatformOptions options_;
};

// Polls `done` for at most `ms` of real time, for what another thread or a peer brings
// about in the real-time tests (virtual-time tests wait with sim::ke instead).
bool Eventually(const std::function<bool()> &done, int ms = 5000);

}  // namespace bench
