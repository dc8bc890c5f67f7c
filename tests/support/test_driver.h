// A driver of the test's own, for the platform's contract tests and for the tests of
// what sits above or beside a driver (the Win32 layer, the PnP manager): its devices
// hand every request to a handler the test gives, stacked over PDOs of the minimal bus
// when asked, and its AddDevice is the test's too; completion routines written as
// lambdas; relative due times on the virtual clock; waiting until threads are blocked
// in the kernel.
#pragma once

#include "sim/bus/pdo.h"
#include "sim/io/io.h"
#include "sim/ke/ke.h"
#include "tests/support/platform_test.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

constexpr int64_t kMs = 10000;  // 100-ns units per millisecond

// A relative due time or timeout, as the kernel takes it (negative).
inline LARGE_INTEGER Relative(int64_t hundredNs)
{
    LARGE_INTEGER due;
    due.QuadPart = -hundredNs;
    return due;
}

// Returns once `n` threads are blocked in a kernel wait, so that the test moves the
// clock or signals only after they have computed their deadlines.
inline void UntilBlocked(size_t n)
{
    while (sim::ke::BlockedWaiters() < n) {
        std::this_thread::yield();
    }
}

inline std::u16string Text(const UNICODE_STRING &s) { return std::u16string(s.Buffer, s.Length / 2); }

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Completion = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// The extension of a test device.
struct TestExtension {
    Handler *handler;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
    UNICODE_STRING link;  // an interface name the test keeps with its device
};

inline NTSTATUS NTAPI RunCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return (*static_cast<Completion *>(context))(device, irp);
}

// Sets `routine` on the next stack location; it must outlive the request.
inline void SetCompletion(PIRP irp, Completion *routine, bool onSuccess = true, bool onError = true,
                          bool onCancel = true)
{
    IoSetCompletionRoutine(irp, RunCompletion, routine, onSuccess, onError, onCancel);
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Public, so that the rows of a table test can use it from their lambdas.
class IoTest : public PlatformTest {
public:
    using PlatformTest::ExpectViolation;
    using PlatformTest::TakeViolations;

    void SetUp() override
    {
        PlatformTest::SetUp();
        current_ = this;
        ASSERT_EQ(sim::io::LoadDriver(Entry, u"iotest", &driver_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        while (!devices_.empty()) {
            DeleteDevice(devices_.back());
        }
        if (driver_ != nullptr) {
            sim::io::UnloadDriver(driver_);
        }
        pdos_.clear();
        PlatformTest::TearDown();
        current_ = nullptr;
    }

    sim::bus::Pdo &NewPdo()
    {
        pdos_.push_back(std::make_unique<sim::bus::Pdo>());
        return *pdos_.back();
    }

    // A device of the test driver giving every request to `handler`, attached above
    // `below` when given, with `flags` added and DO_DEVICE_INITIALIZING cleared.
    PDEVICE_OBJECT AddDevice(Handler handler, PDEVICE_OBJECT below = nullptr, ULONG flags = 0,
                             PCWSTR name = nullptr, BOOLEAN exclusive = FALSE)
    {
        UNICODE_STRING text{};
        if (name != nullptr) {
            RtlInitUnicodeString(&text, name);
        }
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, sizeof(TestExtension), name ? &text : nullptr,
                                         FILE_DEVICE_UNKNOWN, 0, exclusive, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            return nullptr;
        }
        TestExtension *ext = Ext(device);
        {
            std::lock_guard<std::mutex> guard(lock_);
            handlers_.push_back(std::make_unique<Handler>(std::move(handler)));
            ext->handler = handlers_.back().get();
        }
        if (below != nullptr) {
            ext->lower = IoAttachDeviceToDeviceStack(device, below);
            EXPECT_NE(ext->lower, nullptr);
        }
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        std::lock_guard<std::mutex> guard(lock_);
        devices_.push_back(device);
        return device;
    }

    // Detaches (when attached) and deletes a device made by AddDevice (from any thread
    // the test hands it to in turn).
    void DeleteDevice(PDEVICE_OBJECT device)
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            std::erase(devices_, device);
        }
        if (Ext(device)->lower != nullptr) {
            IoDetachDevice(Ext(device)->lower);
        }
        IoDeleteDevice(device);
    }

    static TestExtension *Ext(PDEVICE_OBJECT device)
    {
        return static_cast<TestExtension *>(device->DeviceExtension);
    }

    // Handlers used by many tests.
    static NTSTATUS SkipDown(PDEVICE_OBJECT device, PIRP irp)
    {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(Ext(device)->lower, irp);
    }
    static NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); }

    static sim::io::Request Major(UCHAR major, UCHAR minor = 0)
    {
        sim::io::Request request;
        request.major = major;
        request.minor = minor;
        return request;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    // The driver's AddDevice, as the PnP manager calls it (none unless set).
    std::function<NTSTATUS(PDEVICE_OBJECT pdo)> addDevice_;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) { return (*Ext(device)->handler)(device, irp); }
    static NTSTATUS NTAPI AddDeviceRoutine(PDRIVER_OBJECT, PDEVICE_OBJECT pdo)
    {
        return current_->addDevice_ ? current_->addDevice_(pdo) : STATUS_NOT_SUPPORTED;
    }
    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) {
            dispatch = Dispatch;
        }
        driver->DriverExtension->AddDevice = AddDeviceRoutine;
        return STATUS_SUCCESS;
    }

    static inline IoTest *current_ = nullptr;
    std::mutex lock_;
    std::deque<std::unique_ptr<Handler>> handlers_;
    std::vector<std::unique_ptr<sim::bus::Pdo>> pdos_;
};

}  // namespace bench
