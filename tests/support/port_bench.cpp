// The port bench: an OBEX phone on the simulated bus, the driver's device above it, and
// the port opened and closed by hand as the open and close paths do.
#include "tests/support/port_bench.h"

#include "pnp/pnp.h"
#include "serial/serial.h"
#include "sim/ke/ke.h"
#include "usb/usb.h"

#include <cstddef>

namespace bench {

using sim::usb::ObexPhone;

void PortTest::SetUp()
{
    DriverTest::SetUp();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);

    pnp_ = std::make_unique<sim::pnp::Manager>(driver_);
    node_ = pnp_->Plug(ObexPhone::Descriptors(speed_),
                       sim::usb::Device::InstanceIdFor(ObexPhone::kVendorId, ObexPhone::kProductId,
                                                       ObexPhone::kInterface));
    ASSERT_EQ(node_->AddDeviceStatus(), STATUS_SUCCESS);
    phone_ = node_->Usb();
    fdo_ = node_->Top();
    ext_ = Ext(fdo_);
    ASSERT_EQ(ext_->PnpState, (ULONG)Started);
    ASSERT_EQ(ext_->BulkInPipe, phone_->PipeFor(ObexPhone::kBulkIn));
    ASSERT_EQ(ext_->BulkOutPipe, phone_->PipeFor(ObexPhone::kBulkOut));
    phone_->SetManual(true);
    if (!openAtSetUp_) {
        closed_ = true;
        return;
    }

    // What the first open sets: the driver's own serial defaults, then the empty ring
    // the data path starts from (the pump is left to the test).
    {
        sim::ke::DriverCall call("first open");
        ExAcquireFastMutex(&ext_->OpenMutex);
        InitSerialState(ext_);
        ExReleaseFastMutex(&ext_->OpenMutex);
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    ext_->RxRing.Head = ext_->RxRing.Tail = ext_->RxRing.Count = 0;
    KeReleaseSpinLock(&ext_->DataLock, irql);
}

void PortTest::TearDown()
{
    if (ext_ != nullptr) {
        ClosePort();
        if (NT_SUCCESS(IoAcquireRemoveLock(&ext_->RemoveLock, fdo_))) {
            IoReleaseRemoveLock(&ext_->RemoveLock, fdo_);
            EXPECT_EQ(pnp_->RemoveDevice(*node_), STATUS_SUCCESS);
        } else {
            // The test began the removal by hand (it waited on the remove lock), so no
            // removal request can enter the driver any more: the bench does what the
            // handler would, and the request then ends at the bus's device alone.
            {
                sim::ke::DriverCall call("bench removal");
                RemovePortNames(ext_);
                ReleaseInterfaceInfo(ext_);
            }
            DeleteFdo(fdo_);
            EXPECT_EQ(pnp_->RemoveDevice(*node_), STATUS_SUCCESS);
        }
        ext_ = nullptr;
        fdo_ = nullptr;
    }
    phone_ = nullptr;
    node_.reset();
    pnp_.reset();
    DriverTest::TearDown();
}

void PortTest::AbortPipe(USBD_PIPE_HANDLE pipe)
{
    if (pipe == nullptr) {
        return;
    }
    struct _URB_PIPE_REQUEST urb = {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb.PipeHandle = pipe;
    sim::io::Call(fdo_, SubmitUrb(&urb));
}

void PortTest::StartPump()
{
    sim::ke::DriverCall call("StartBulkInRead");
    StartBulkInRead(ext_, ext_->BulkInPipe);
}

void PortTest::Receive(const std::vector<uint8_t> &data)
{
    sim::usb::Device::Result result;
    result.data = data;
    ASSERT_TRUE(phone_->CompleteNext(ObexPhone::kBulkIn, result)) << "no bulk-in transfer pending";
    // The pump re-issues its transfer from a worker thread.
    sim::ke::WaitIdle();
    phone_->WaitIdle();
}

void PortTest::FillRing(const std::vector<uint8_t> &data)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    size_t done = 0;
    while (done < data.size()) {
        ULONG n = RingAppend(&ext_->RxRing, data.data() + done, static_cast<ULONG>(data.size() - done));
        if (n == 0) {
            break;
        }
        done += n;
    }
    KeReleaseSpinLock(&ext_->DataLock, irql);
}

void PortTest::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    ext_->Timeouts.ReadIntervalTimeout = interval;
    ext_->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
    ext_->Timeouts.ReadTotalTimeoutConstant = constant;
    KeReleaseSpinLock(&ext_->DataLock, irql);
}

PortTest::ReadOp PortTest::StartRead(ULONG length)
{
    ReadOp read;
    read.buffer = std::make_shared<std::vector<uint8_t>>(length, 0xEE);
    sim::io::Request request;
    request.major = IRP_MJ_READ;
    request.output = read.buffer->data();
    request.outputLength = length;
    // The callback holds the buffer until the I/O manager has copied into it.
    auto keep = read.buffer;
    read.op = sim::io::Send(fdo_, request, [keep](const IO_STATUS_BLOCK &) {});
    return read;
}

std::shared_ptr<sim::io::Operation> PortTest::StartWrite(const std::vector<uint8_t> &data)
{
    auto bytes = std::make_shared<std::vector<uint8_t>>(data);
    sim::io::Request request;
    request.major = IRP_MJ_WRITE;
    request.input = bytes->data();
    request.inputLength = static_cast<ULONG>(bytes->size());
    return sim::io::Send(fdo_, request, [bytes](const IO_STATUS_BLOCK &) {});
}

size_t PortTest::QueueLength(PLIST_ENTRY head)
{
    size_t n = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
        n++;
    }
    KeReleaseSpinLock(&ext_->DataLock, irql);
    return n;
}

void PortTest::CancelQueue(PLIST_ENTRY head)
{
    for (;;) {
        sim::ke::DriverCall call("queue flush");
        KIRQL cancelIrql;
        PIRP irp = nullptr;
        PDRIVER_CANCEL routine = nullptr;

        IoAcquireCancelSpinLock(&cancelIrql);
        KeAcquireSpinLockAtDpcLevel(&ext_->DataLock);
        while (!IsListEmpty(head)) {
            PIRP first = CONTAINING_RECORD(head->Flink, IRP, Tail.Overlay.ListEntry);
            routine = IoSetCancelRoutine(first, nullptr);
            if (routine != nullptr) {
                irp = first;
                break;
            }
            // Its canceller owns it and unlinks it once it gets DataLock.
            RemoveEntryList(&first->Tail.Overlay.ListEntry);
            InitializeListHead(&first->Tail.Overlay.ListEntry);
        }
        KeReleaseSpinLockFromDpcLevel(&ext_->DataLock);
        if (irp == nullptr) {
            IoReleaseCancelSpinLock(cancelIrql);
            return;
        }
        irp->Cancel = TRUE;
        irp->CancelIrql = cancelIrql;
        routine(fdo_, irp);  // releases the cancel spin lock
    }
}

void PortTest::ClosePort()
{
    if (closed_) {
        return;
    }
    closed_ = true;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext_->DataLock);
    ext_->IsOpen = FALSE;
    KeReleaseSpinLock(&ext_->DataLock, irql);
    KeCancelTimer(&ext_->ReadTimer);
    CancelQueue(&ext_->ReadQueue);
    CancelQueue(&ext_->WriteQueue);
    CancelQueue(&ext_->WaitQueue);
    AbortPipe(ext_->BulkInPipe);
    AbortPipe(ext_->BulkOutPipe);
    phone_->WaitIdle();
    // The drain: the open bias goes, and the last unit of work in flight wakes us. A
    // count taken and never given back would hold the close for ever, so the event is
    // polled for a bounded stretch of real time and the test fails after it.
    if (InterlockedDecrement(&ext_->OutstandingIo) != 0) {
        LARGE_INTEGER now = {};
        if (!Eventually([&] {
                return KeWaitForSingleObject(&ext_->IoIdleEvent, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
            }, kDrainMs)) {
            ADD_FAILURE() << "the close's drain did not end within " << kDrainMs / 1000
                          << " s of real time: OutstandingIo is still " << ext_->OutstandingIo
                          << " (a unit of work that took a count and never released it)";
        }
    }
    sim::ke::WaitIdle();
    KeCancelTimer(&ext_->ReadTimer);
}

}  // namespace bench
