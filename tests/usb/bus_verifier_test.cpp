// The bus's verifier rules, each with a faulty sequence that must fire it: the memory of
// a pending transfer released or reused (UrbBufferFreedInFlight), and a URB whose
// Hdr.Length is not the one its function requires (UrbLengthMismatch).
#include "tests/usb/bus_test.h"

#include "sim/io/io.h"

namespace bustest {
namespace {

using sim::verifier::Rule;

class BusVerifier : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        SelectObex(&in_, &out_);
    }

    // A pending read whose URB and buffer are pool blocks.
    struct PoolRead {
        PURB urb;
        void *buffer;
        std::shared_ptr<sim::io::Operation> op;
    };
    PoolRead StartPoolRead()
    {
        PoolRead read;
        read.urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(URB)));
        read.buffer = ExAllocatePool(NonPagedPool, 64);
        memset(read.urb, 0, sizeof(URB));
        UsbBuildInterruptOrBulkTransferRequest(read.urb, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                               in_, read.buffer, nullptr, 64,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        read.op = Submit(read.urb);
        phone_->WaitIdle();
        EXPECT_FALSE(read.op->Done());
        return read;
    }

    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

// The URB freed, or the buffer (the bus then copies nothing into it), fires while the
// transfer is pending; either freed after completion is fine. The IRP still ends.
TEST_F(BusVerifier, FreeingThePendingTransfersUrbOrBufferFiresAndAfterCompletionIsFine)
{
    for (int what = 0; what < 3; what++) {
        SCOPED_TRACE(what == 0 ? "urb" : what == 1 ? "buffer" : "after completion");
        PoolRead read = StartPoolRead();
        if (what < 2) {
            ExFreePool(what == 0 ? static_cast<void *>(read.urb) : read.buffer);
            ExpectViolation(Rule::UrbBufferFreedInFlight);
        }
        if (what == 0) {
            EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, in_), STATUS_SUCCESS);
            EXPECT_EQ(read.op->Wait().Status, STATUS_CANCELLED);
        } else {
            phone_->Send(kIn, Bytes(10));
            EXPECT_EQ(read.op->Wait().Status, STATUS_SUCCESS);
            EXPECT_EQ(read.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
            ExFreePool(read.urb);
        }
        if (what != 1) {
            ExFreePool(read.buffer);
        }
        EXPECT_TRUE(TakeViolations().empty());
    }
}

NTSTATUS NTAPI NoEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}

TEST_F(BusVerifier, DeletingTheDeviceObjectThatHoldsThePendingUrbFires)
{
    // A driver that keeps its URB and buffer in its device extension, as the port
    // driver does, and deletes the device with the transfer still pending.
    struct Extension {
        URB urb;
        uint8_t buffer[64];
    };
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::io::LoadDriver(NoEntry, u"usbholder", &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    auto *extension = static_cast<Extension *>(device->DeviceExtension);
    memset(extension, 0, sizeof(*extension));
    UsbBuildInterruptOrBulkTransferRequest(&extension->urb, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           in_, extension->buffer, nullptr, 64,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    auto op = Submit(&extension->urb);
    phone_->WaitIdle();
    IoDeleteDevice(device);
    ExpectViolation(Rule::UrbBufferFreedInFlight);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, in_), STATUS_SUCCESS);
    EXPECT_EQ(op->Wait().Status, STATUS_CANCELLED);
    sim::io::UnloadDriver(driver);
}

TEST_F(BusVerifier, ReusingAPendingTransfersUrbFiresAndIsRefused)
{
    phone_->SetManual(true);
    auto first = Read(in_, 64);
    // The same URB again, with a new IRP, while the first is pending.
    auto again = Submit(&first->urb);
    EXPECT_EQ(again->Wait().Status, STATUS_INVALID_PARAMETER);
    ExpectViolation(Rule::UrbBufferFreedInFlight);
    // A new URB over the same IN buffer is reuse too.
    URB second{};
    UsbBuildInterruptOrBulkTransferRequest(&second, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in_,
                                           first->buffer.data() + 8, nullptr, 16,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(Call(&second), STATUS_INVALID_PARAMETER);
    ExpectViolation(Rule::UrbBufferFreedInFlight);
    EXPECT_EQ(phone_->PendingCount(kIn), 1u);
    Device::Result result;
    result.data = {42};
    ASSERT_TRUE(phone_->CompleteNext(kIn, result));
    EXPECT_EQ(first->op->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(first->Data(), std::vector<uint8_t>({42}));
}

TEST_F(BusVerifier, AHeaderLengthThatIsNotTheFunctionsFires)
{
    // A bulk URB shorter than the record is refused.
    auto bulk = std::make_unique<Bulk>();
    bulk->buffer.resize(8);
    UsbBuildInterruptOrBulkTransferRequest(&bulk->urb, 120, out_, bulk->buffer.data(), nullptr, 8,
                                           USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(Call(&bulk->urb), STATUS_INVALID_PARAMETER);
    ExpectViolation(Rule::UrbLengthMismatch);

    // The size of the whole URB union instead of the pipe request's 40 bytes.
    URB urb{};
    urb.UrbHeader.Length = sizeof(URB);
    urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = in_;
    EXPECT_EQ(Call(&urb), STATUS_SUCCESS);
    ExpectViolation(Rule::UrbLengthMismatch);

    uint8_t buffer[18];
    memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, 128, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, nullptr);
    EXPECT_EQ(Call(&urb), STATUS_INVALID_PARAMETER);
    ExpectViolation(Rule::UrbLengthMismatch);

    // A select request sized for one pipe fewer than interface 7 has.
    auto select = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    select->Urb()->UrbHeader.Length -= sizeof(USBD_PIPE_INFORMATION);
    Call(select->Urb());
    ExpectViolation(Rule::UrbLengthMismatch);

    // Sized right, nothing fires.
    auto right = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    EXPECT_EQ(Call(right->Urb()), STATUS_SUCCESS);
    EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace
}  // namespace bustest
