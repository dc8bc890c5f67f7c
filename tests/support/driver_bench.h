// The driver bench: a host platform with the driver loaded and bus devices to put it
// on, so that each test shows only what it is about.
#pragma once

#include "core/core.h"
#include "sim/bus/pdo.h"
#include "tests/support/platform_test.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>


namespace bench {

// Loads the driver under test (DriverEntry at PASSIVE_LEVEL): the host build in a
// suite's own executable, the shipped Windows image in its image-run twin
// (tests/support/under_test/; docs/developing.md says which tests run on which).
NTSTATUS LoadDriverUnderTest(const std::u16string &service, PDRIVER_OBJECT *driver);
// True in the image-run executables.
bool ImageUnderTest();

// Converts a counted or NUL-terminated 16-bit string for assertions and messages.
std::string Narrow(const UNICODE_STRING &s);
std::string Narrow(const char16_t *s);

class DriverTest : public PlatformTest {
protected:
    void TearDown() override;

    // Loads the driver (DriverEntry at PASSIVE_LEVEL); the bench unloads it at the end.
    NTSTATUS LoadDriver();
    void UnloadDriver();

    // A bus physical device object for the driver to attach to, and its bus model.
    PDEVICE_OBJECT NewPdo();
    sim::bus::Pdo &Bus(PDEVICE_OBJECT pdo);
    // Calls the driver's AddDevice as the Plug and Play manager does (from any thread).
    // On success *fdo is the new functional device object (the top of the PDO's stack).
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT *fdo = nullptr);
    // Undoes AddDevice as the removal path does once every request is gone: releases
    // the names and the interface link, detaches and deletes the device.
    void DeleteFdo(PDEVICE_OBJECT fdo);

    static PDEVICE_EXTENSION Ext(PDEVICE_OBJECT fdo)
    {
        return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    }

    // Sends a request of the given major (and minor) function to the top of fdo's
    // stack as the I/O manager would, waits for it, and returns its final status.
    NTSTATUS Send(PDEVICE_OBJECT fdo, UCHAR major, UCHAR minor = 0);

    PDRIVER_OBJECT driver_ = nullptr;

private:
    std::mutex lock_;
    std::vector<std::unique_ptr<sim::bus::Pdo>> pdos_;
    std::vector<PDEVICE_OBJECT> fdos_;
};

// The driver loaded and one device added on one bus PDO.
class DeviceTest : public DriverTest {
protected:
    void SetUp() override;

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_EXTENSION ext_ = nullptr;
};

}  // namespace bench
