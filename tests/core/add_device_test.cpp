// Device creation: numbering, the device object's properties, the name buffer, the
// registered interface, and the unwind of every failure.
#include "tests/support/driver_bench.h"

#include "sim/ex/ex.h"
#include "sim/io/interfaces.h"
#include "sim/lowres.h"
#include "sim/ob/ob.h"

#include <algorithm>
#include <set>
#include <string>
#include <thread>

namespace {

using bench::DriverTest;
using bench::Narrow;

class AddDeviceTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    }

    std::string NameOf(PDEVICE_OBJECT fdo) { return Narrow(Ext(fdo)->DeviceName); }

    bool NameExists(const std::string &name)
    {
        auto names = sim::ob::DeviceNames();
        return std::any_of(names.begin(), names.end(),
                           [&](const std::u16string &n) { return Narrow(n.c_str()) == name; });
    }
};

// The name buffer holds exactly the name and a zero character after it.
TEST_F(AddDeviceTest, DevicesAreNumberedFromOneWithoutLeadingZerosAndNeverReusedEvenAfterAFailure)
{
    PDEVICE_OBJECT fdo;
    std::vector<PDEVICE_OBJECT> first;
    for (int i = 1; i <= 10; i++) {
        ASSERT_EQ(AddDevice(NewPdo(), &fdo), STATUS_SUCCESS);
        const std::string expected = "\\Device\\VARNOOBEX" + std::to_string(i);
        const UNICODE_STRING &name = Ext(fdo)->DeviceName;
        EXPECT_EQ(NameOf(fdo), expected);
        EXPECT_EQ(name.MaximumLength, expected.size() * sizeof(WCHAR));
        EXPECT_EQ(name.Buffer[name.Length / 2], u'\0');
        EXPECT_TRUE(NameExists(expected));
        first.push_back(fdo);
    }
    for (PDEVICE_OBJECT d : first) {
        DeleteFdo(d);
    }
    // A failed create consumes its number too.
    PDEVICE_OBJECT pdo = NewPdo();
    sim::lowres::FailNth("IoCreateDevice", 1);
    EXPECT_EQ(AddDevice(pdo), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(AddDevice(NewPdo(), &fdo), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(fdo), "\\Device\\VARNOOBEX12");
    EXPECT_FALSE(NameExists("\\Device\\VARNOOBEX11"));
}

TEST_F(AddDeviceTest, TheNewDeviceIsAnExclusiveBufferedSerialPortReadyForPlugAndPlay)
{
    PDEVICE_OBJECT pdo = NewPdo();
    PDEVICE_OBJECT fdo;
    ASSERT_EQ(AddDevice(pdo, &fdo), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = Ext(fdo);

    EXPECT_EQ(fdo->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(fdo->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);

    EXPECT_EQ(ext->LowerDevice, pdo);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);

    // The COM-port interface is registered on the PDO but stays disabled until the
    // port names exist.
    ASSERT_NE(ext->InterfaceName.Buffer, nullptr);
    EXPECT_GT(ext->InterfaceName.Length, 0);
    EXPECT_TRUE(sim::io::EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).empty());
}

// Every fallible platform call AddDevice makes is failed once, in turn: each failure
// must be reported and leave no device, no name, no interface link and no pool block.
TEST_F(AddDeviceTest, EveryFailurePointUnwindsCompletely)
{
    int failedRuns = 0;
    for (int n = 1; n < 50; n++) {
        const size_t blocksBefore = sim::ex::OutstandingCount();
        const size_t namesBefore = sim::ob::DeviceNames().size();
        PDEVICE_OBJECT pdo = NewPdo();
        sim::lowres::Reset();
        sim::lowres::FailNthOfAny(n);
        PDEVICE_OBJECT fdo = nullptr;
        NTSTATUS status = AddDevice(pdo, &fdo);
        const bool injected = sim::lowres::Injected() > 0;
        sim::lowres::Reset();
        if (!injected) {
            ASSERT_EQ(status, STATUS_SUCCESS);
            DeleteFdo(fdo);
            break;
        }
        failedRuns++;
        EXPECT_FALSE(NT_SUCCESS(status)) << "failure point " << n << " reported success";
        EXPECT_EQ(pdo->AttachedDevice, nullptr) << "failure point " << n;
        EXPECT_EQ(sim::ob::DeviceNames().size(), namesBefore) << "failure point " << n;
        EXPECT_EQ(sim::ex::OutstandingCount(), blocksBefore) << "failure point " << n;
    }
    // The name buffer, IoCreateDevice, the DeviceName buffer and the interface at least.
    EXPECT_GE(failedRuns, 4);
}

TEST_F(AddDeviceTest, ConcurrentAddDevicesNeverShareANumber)
{
    constexpr int kThreads = 4, kEach = 8;
    std::vector<PDEVICE_OBJECT> pdos;
    for (int i = 0; i < kThreads * kEach; i++) {
        pdos.push_back(NewPdo());
    }
    std::vector<std::thread> threads;
    std::vector<NTSTATUS> results(pdos.size(), STATUS_UNSUCCESSFUL);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                results[t * kEach + i] = AddDevice(pdos[t * kEach + i]);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    std::set<std::string> names;
    for (size_t i = 0; i < pdos.size(); i++) {
        ASSERT_EQ(results[i], STATUS_SUCCESS);
        names.insert(NameOf(pdos[i]->AttachedDevice));
    }
    EXPECT_EQ(names.size(), pdos.size());
    EXPECT_TRUE(names.count("\\Device\\VARNOOBEX32"));
}

}  // namespace
