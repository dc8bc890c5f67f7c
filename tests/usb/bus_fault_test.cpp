// Faults the bus injects: statuses for the next transfers or until cleared, short
// transfers, a stall that lasts until the pipe is reset, and the phone being unplugged.
#include "tests/usb/bus_test.h"

namespace bustest {
namespace {

using BusFault = ScriptedBusTest;

using Fault = Device::Fault;

TEST_F(BusFault, TheNextTransfersFailThenTheyWorkAgain)
{
    phone_->FailNext(kOut, 2, Fault::Error(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC));
    for (int i = 0; i < 2; i++) {
        auto write = Write(out_, Bytes(5));
        EXPECT_TRUE(Failed(write, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC));
        EXPECT_EQ(write->Moved(), 0u);
    }
    EXPECT_EQ(WriteNow(out_, Bytes(5)), STATUS_SUCCESS);
    EXPECT_EQ(scripted_->Transfers().size(), 1u);

    // An error strikes a read at once, without waiting for data.
    phone_->FailAlways(kIn, Fault::Error(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(Failed(Read(in_, 64), STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    }
    phone_->ClearFaults(kIn);
    auto read = Read(in_, 64);
    phone_->WaitIdle();
    EXPECT_FALSE(read->op->Done());
    scripted_->Push(std::string("ok"));
    EXPECT_EQ(read->op->Wait().Status, STATUS_SUCCESS);
}

TEST_F(BusFault, AShortTransferMovesLessAndKeepsTheRestForLater)
{
    phone_->FailNext(kOut, 1, Fault::Short(3));
    auto write = Write(out_, Bytes(10));
    ASSERT_EQ(write->op->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Moved(), 3u);
    EXPECT_EQ(scripted_->Bytes(), Bytes(3));

    phone_->FailNext(kIn, 1, Fault::Short(4));
    scripted_->Push(Bytes(10));
    EXPECT_EQ(ReadData(in_, 64), Bytes(4));
    EXPECT_EQ(ReadData(in_, 64), Bytes(6, 5));
}

TEST_F(BusFault, AStallLastsUntilThePipeIsReset)
{
    phone_->FailNext(kIn, 1, Fault::Stall());
    scripted_->Push(std::string("kept"));
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(Failed(Read(in_, 64), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    }
    EXPECT_TRUE(phone_->Halted(kIn));
    EXPECT_FALSE(phone_->Halted(kOut));
    USBD_STATUS usbd = USBD_STATUS_PENDING;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in_, &usbd), STATUS_SUCCESS);
    EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(phone_->Halted(kIn));
    EXPECT_EQ(ReadData(in_, 64).size(), 4u);
    EXPECT_EQ(phone_->Count().resets, 1);

    // A reset of a handle the bus never gave out is refused.
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, (USBD_PIPE_HANDLE)0x1234, &usbd),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(BusFault, AfterAnUnplugEveryTransferFailsPendingOnesIncluded)
{
    auto pending = Read(in_, 4096);
    phone_->WaitIdle();
    phone_->Unplug();
    EXPECT_TRUE(pending->op->Done());
    EXPECT_EQ(pending->op->Status().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending->Usbd(), USBD_STATUS_DEVICE_GONE);

    auto write = Write(out_, Bytes(4));
    EXPECT_EQ(write->op->Returned(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(Failed(write, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE));
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, in_), STATUS_DEVICE_NOT_CONNECTED);
    URB urb;
    uint8_t buffer[18];
    EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 18, &urb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(scripted_->Transfers().empty());
}

TEST_F(BusFault, AnUnplugInjectedIntoOneTransferEndsAllOfThem)
{
    phone_->SetManual(true);
    auto read = Read(in_, 4096);
    auto write = Write(out_, Bytes(4));
    phone_->FailNext(kOut, 1, Fault::Unplug());
    ASSERT_TRUE(phone_->CompleteNext(kOut));
    EXPECT_EQ(write->op->Status().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->op->Wait().Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(phone_->Unplugged());
    EXPECT_EQ(phone_->PendingCount(kIn), 0u);
}

}  // namespace
}  // namespace bustest
