// The base fixture of every host test: a fresh host platform per test, and the checks
// that each test ends with no verifier violation it did not expect and no pool left
// behind.
#pragma once

#include "sim/io/io.h"
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

// IOCTL_INTERNAL_USB_SUBMIT_URB carrying `urb`, as a function driver sends it down (to
// the device itself rather than the top of its stack when `toDeviceItself`).
sim::io::Request SubmitUrb(void *urb, bool toDeviceItself = false);
// Selects interface `number`, alternate `alternate` of `configuration` alone on the bus
// device `pdo`, as a function driver does; the pipe handles in endpoint order, none
// when the bus refuses.
std::vector<USBD_PIPE_HANDLE> SelectInterface(PDEVICE_OBJECT pdo, std::vector<uint8_t> configuration,
                                              UCHAR number, UCHAR alternate);

}  // namespace bench
