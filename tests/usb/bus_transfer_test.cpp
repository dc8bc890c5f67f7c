// Bulk transfers through the bus: the phone models in both directions, short packets
// and zero-length packets, the bus's completion context, manual mode, abort and cancel.
#include "tests/usb/bus_test.h"

#include "sim/ke/ke.h"

#include <mutex>
#include <string>

namespace bustest {
namespace {

using BusTransfer = ScriptedBusTest;

TEST_F(BusTransfer, LoopbackEchoesEachWriteAsOneShortPacketEndedRead)
{
    phone_->SetModel(std::make_shared<sim::usb::Loopback>(kIn, kOut));
    auto write = Write(out_, Bytes(100));
    ASSERT_EQ(write->op->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Moved(), 100u);
    EXPECT_EQ(write->Usbd(), USBD_STATUS_SUCCESS);
    // 100 bytes at full speed: packets of 64 and 36.
    EXPECT_EQ(phone_->QueuedPackets(kIn), 2u);

    // Exactly two full packets, handed over by the zero-length packet that follows:
    // the echo ends with a zero-length packet too.
    ASSERT_EQ(WriteNow(out_, Bytes(128, 7)), STATUS_SUCCESS);
    ASSERT_EQ(WriteNow(out_, {}), STATUS_SUCCESS);
    EXPECT_EQ(ReadData(in_, 4096), Bytes(100));
    EXPECT_EQ(ReadData(in_, 4096), Bytes(128, 7));
    EXPECT_EQ(phone_->QueuedPackets(kIn), 0u);
}

TEST_F(BusTransfer, EachPushedChunkIsOneReadAndZeroLengthPacketsEndReads)
{
    scripted_->Push(std::string("a"));
    scripted_->Push(Bytes(64));       // one full packet, then a zero-length one
    scripted_->Push(std::vector<uint8_t>{});
    for (size_t length : {1, 64, 0}) {
        EXPECT_EQ(ReadData(in_, 4096).size(), length);
    }
    // A read smaller than the chunk takes whole packets and leaves the rest.
    scripted_->Push(Bytes(200));
    EXPECT_EQ(ReadData(in_, 128), Bytes(128));
    EXPECT_EQ(ReadData(in_, 4096), Bytes(72, 129));
}

TEST_F(BusTransfer, AShortReadWithoutShortTransferOkFails)
{
    scripted_->Push(Bytes(10));
    auto read = Read(in_, 64, 0);
    EXPECT_TRUE(Failed(read, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER));
    EXPECT_EQ(read->Moved(), 10u);
    // A packet larger than the room left is babble.
    scripted_->Push(Bytes(64));
    EXPECT_TRUE(Failed(Read(in_, 10), STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DATA_OVERRUN));
}

TEST_F(BusTransfer, AReadWaitsUntilThePhoneHasSomethingToSend)
{
    auto read = Read(in_, 4096);
    phone_->WaitIdle();
    EXPECT_FALSE(read->op->Done());
    EXPECT_EQ(read->Usbd(), USBD_STATUS_PENDING);
    EXPECT_EQ(read->op->Returned(), STATUS_PENDING);
    scripted_->Push(std::string("hello"));
    ASSERT_EQ(read->op->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(BusTransfer, ThePhoneGetsWhatAShortPacketEndsOrAFullBufferHoldsAndTheRestStaysAtIt)
{
    using Data = std::vector<std::vector<uint8_t>>;
    struct Case {
        const char *what;
        Data writes;
        Data handed;
        size_t held;
    } cases[] = {
        {"a short packet ends each write", {Bytes(3), Bytes(65)}, {Bytes(3), Bytes(65)}, 0},
        {"full packets wait for a zero-length one", {Bytes(64), Bytes(64, 65), Bytes(0)}, {Bytes(128)}, 0},
        {"a zero-length packet after nothing is handed over empty", {Bytes(0)}, {{}}, 0},
        {"without a terminating packet the bytes stay", {Bytes(3), Bytes(128)}, {Bytes(3)}, 128},
        {"a full buffer is handed over", {Bytes(192), Bytes(128, 193)}, {Bytes(256)}, 64},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Plug(Speed::Full);
        scripted_ = std::make_shared<sim::usb::Scripted>(*phone_, kIn, kOut);
        phone_->SetModel(scripted_);
        SelectObex(&in_, &out_);
        phone_->SetReceiveBuffer(kOut, 200);   // rounded up to 256
        for (const auto &data : c.writes) {
            ASSERT_EQ(WriteNow(out_, data), STATUS_SUCCESS);
        }
        EXPECT_EQ(scripted_->Transfers(), c.handed);
        EXPECT_EQ(phone_->HeldAtPhone(kOut), c.held);
    }
}

TEST_F(BusTransfer, TransfersCompleteOnTheBusThreadAtDispatchLevel)
{
    KIRQL irql = PASSIVE_LEVEL;
    std::string thread;
    auto write = Write(out_, Bytes(64), [&](const IO_STATUS_BLOCK &) {
        irql = sim::ke::CurrentIrql();
        thread = sim::ke::ThreadName();
    });
    EXPECT_EQ(write->op->Returned(), STATUS_PENDING);
    ASSERT_EQ(write->op->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(thread, "usb bus");
}

TEST_F(BusTransfer, InManualModeTheTestCompletesEachTransferInTurn)
{
    phone_->SetManual(true);
    auto a = Read(in_, 4096);
    auto b = Read(in_, 4096);
    auto w = Write(out_, Bytes(300));
    scripted_->Push(std::string("xyz"));
    phone_->WaitIdle();
    auto pending = phone_->PendingOn(kIn);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_LT(pending[0].id, pending[1].id);
    EXPECT_EQ(pending[0].urb, &a->urb);
    EXPECT_TRUE(pending[0].in);
    EXPECT_EQ(phone_->PendingCount(kOut), 1u);
    EXPECT_FALSE(a->op->Done());

    // The test's own data and status, for the oldest one only.
    Device::Result result;
    result.data = {1, 2};
    ASSERT_TRUE(phone_->CompleteNext(kIn, result));
    EXPECT_TRUE(a->op->Done());
    EXPECT_EQ(a->Data(), std::vector<uint8_t>({1, 2}));
    EXPECT_FALSE(b->op->Done());
    // As the phone would: the pushed chunk.
    ASSERT_TRUE(phone_->CompleteNext(kIn));
    EXPECT_EQ(b->Data(), std::vector<uint8_t>({'x', 'y', 'z'}));
    EXPECT_FALSE(phone_->CompleteNext(kIn));

    Device::Result partial;
    partial.length = 100;
    ASSERT_TRUE(phone_->CompleteNext(kOut, partial));
    EXPECT_EQ(w->op->Status().Status, STATUS_SUCCESS);
    EXPECT_EQ(w->Moved(), 100u);
    ASSERT_EQ(scripted_->Transfers().size(), 1u);
    EXPECT_EQ(scripted_->Transfers()[0], Bytes(100));
}

TEST_F(BusTransfer, AbortEndsThePipesTransfersBeforeItself)
{
    phone_->SetManual(true);
    std::mutex lock;
    std::vector<std::string> order;
    auto note = [&](const char *what) {
        return [&, what](const IO_STATUS_BLOCK &status) {
            std::lock_guard<std::mutex> guard(lock);
            order.push_back(std::string(what) + (status.Status == STATUS_CANCELLED ? " cancelled" : " other"));
        };
    };
    auto a = Read(in_, 4096, USBD_SHORT_TRANSFER_OK, note("a"));
    auto b = Read(in_, 4096, USBD_SHORT_TRANSFER_OK, note("b"));
    auto w = Write(out_, Bytes(8));
    URB abort{};
    abort.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = in_;
    auto op = Submit(&abort, [&](const IO_STATUS_BLOCK &) {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back("abort");
    });
    EXPECT_EQ(op->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(order, std::vector<std::string>({"a cancelled", "b cancelled", "abort"}));
    EXPECT_EQ(a->Usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(b->Moved(), 0u);
    // The other pipe is untouched.
    EXPECT_EQ(phone_->PendingCount(kOut), 1u);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, out_), STATUS_SUCCESS);
    EXPECT_EQ(w->op->Wait().Status, STATUS_CANCELLED);
}

TEST_F(BusTransfer, ACancelledTransferEndsAsCancelled)
{
    auto read = Read(in_, 4096);
    phone_->WaitIdle();
    EXPECT_TRUE(read->op->Cancel());
    EXPECT_TRUE(Failed(read, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    EXPECT_EQ(phone_->PendingCount(kIn), 0u);
    // Data pushed afterwards waits for the next read.
    scripted_->Push(std::string("z"));
    EXPECT_EQ(Read(in_, 4096)->op->Wait().Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace bustest
