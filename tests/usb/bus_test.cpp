// The platform's USB bus under the OBEX phone, driven by URBs built by hand (bus_test.h):
// control requests, bulk transfers, injected faults, the verifier's URB rules, timing.
#include "tests/usb/bus_test.h"

#include "sim/io/io.h"
#include "sim/ke/ke.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace bustest {

// ---- the fixture's URB builders
USBD_INTERFACE_INFORMATION *BusTest::Select::Interface(size_t i)
{
    return reinterpret_cast<USBD_INTERFACE_INFORMATION *>(reinterpret_cast<uint8_t *>(storage.data()) +
                                                          offsets[i]);
}

std::unique_ptr<BusTest::Select> BusTest::BuildSelect(const std::vector<std::pair<UCHAR, UCHAR>> &pairs,
                                                      ULONG maxTransferSize)
{
    auto select = std::make_unique<Select>();
    select->descriptor = phone_->Descriptors().configurations[0];
    select->descriptor[4] = (uint8_t)pairs.size();
    const auto interfaces = sim::usb::ParseInterfaces(select->descriptor);
    std::vector<size_t> pipes;
    size_t totalPipes = 0;
    for (const auto &[number, alternate] : pairs) {
        size_t count = 0;
        for (const auto &interface : interfaces) {
            if (interface.number == number && interface.alternate == alternate) {
                count = interface.endpoints.size();
            }
        }
        pipes.push_back(count);
        totalPipes += count;
    }
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(pairs.size(), totalPipes);
    if (pairs.empty()) {
        size = sizeof(_URB_SELECT_CONFIGURATION);
    }
    select->storage.assign((size + 7) / 8, 0);
    URB *urb = select->Urb();
    UsbBuildSelectConfigurationRequest(urb, (USHORT)size,
                                       reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(select->descriptor.data()));
    size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (size_t i = 0; i < pairs.size(); i++) {
        select->offsets.push_back(offset);
        USBD_INTERFACE_INFORMATION *info = select->Interface(i);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes[i]);
        info->InterfaceNumber = pairs[i].first;
        info->AlternateSetting = pairs[i].second;
        for (size_t j = 0; j < pipes[i]; j++) {
            info->Pipes[j].MaximumTransferSize = maxTransferSize;
        }
        offset += info->Length;
    }
    return select;
}

void BusTest::SelectObex(USBD_PIPE_HANDLE *in, USBD_PIPE_HANDLE *out)
{
    auto select = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    *in = select->Interface(0)->Pipes[0].PipeHandle;
    *out = select->Interface(0)->Pipes[1].PipeHandle;
}

std::unique_ptr<Bulk> BusTest::Transfer(USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> data,
                                        ULONG length, ULONG flags,
                                        std::function<void(const IO_STATUS_BLOCK &)> done)
{
    auto bulk = std::make_unique<Bulk>();
    bulk->buffer = in ? std::vector<uint8_t>(length, 0xEE) : std::move(data);
    if (!in) {
        flags &= ~USBD_TRANSFER_DIRECTION_IN;
    }
    UsbBuildInterruptOrBulkTransferRequest(&bulk->urb, (USHORT)sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, bulk->buffer.empty() ? nullptr : bulk->buffer.data(),
                                           nullptr, length, flags, nullptr);
    bulk->op = Submit(&bulk->urb, std::move(done));
    return bulk;
}

NTSTATUS BusTest::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS *usbd)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = Call(&urb);
    if (usbd != nullptr) {
        *usbd = urb.UrbHeader.Status;
    }
    return status;
}

namespace {

// ---- The bus's control requests: descriptors read whole and in part, select-configuration
// with its handles and sizes, deconfiguration, and the URB functions it does not serve.

using BusControl = BusTest;

TEST_F(BusControl, DescriptorsComeWholeOrAsFarAsAsked)
{
    URB urb;
    uint8_t buffer[512];
    memset(buffer, 0xEE, sizeof(buffer));
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 64, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    const auto *device = reinterpret_cast<USB_DEVICE_DESCRIPTOR *>(buffer);
    EXPECT_EQ(device->idVendor, ObexPhone::kVendorId);
    EXPECT_EQ(device->bNumConfigurations, 1);
    EXPECT_EQ(buffer[18], 0xEE);

    memset(buffer, 0xEE, sizeof(buffer));
    ASSERT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, 8, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 8u);
    EXPECT_EQ(buffer[0], 18);
    EXPECT_EQ(buffer[8], 0xEE);

    // The configuration's header first, then wTotalLength bytes of it.
    ASSERT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer, 9, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    const USHORT total = (USHORT)(buffer[2] | buffer[3] << 8);
    EXPECT_EQ(total, phone_->Descriptors().configurations[0].size());
    EXPECT_EQ(buffer[4], ObexPhone::kInterfaceCount);
    std::vector<uint8_t> whole(total + 100, 0xEE);
    ASSERT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, whole.data(), (ULONG)whole.size(), &urb),
              STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, total);
    whole.resize(total);
    EXPECT_EQ(whole, phone_->Descriptors().configurations[0]);
    EXPECT_EQ(phone_->Count().descriptors, 4);
}

TEST_F(BusControl, DescriptorsTheDeviceLacksAreStalled)
{
    URB urb;
    uint8_t buffer[64];
    EXPECT_EQ(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, buffer, 9, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, buffer, 64, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
}

// Interface 7 at alternate setting 1: bulk in, then bulk out, of 512 bytes at high
// speed (64 at full speed: BusTransfer's loopback counts its packets).
TEST_F(BusControl, SelectingInterfaceSevenOpensItsTwoPipes)
{
    Plug(Speed::High);
    auto select = BuildSelect({{ObexPhone::kInterface, ObexPhone::kAlternate}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    EXPECT_EQ(select->Urb()->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(select->Urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    USBD_INTERFACE_INFORMATION *info = select->Interface(0);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    EXPECT_EQ(info->Class, USB_DEVICE_CLASS_CDC_DATA);
    ASSERT_EQ(info->NumberOfPipes, 2u);
    const UCHAR addresses[] = {kIn, kOut};
    for (int j = 0; j < 2; j++) {
        const USBD_PIPE_INFORMATION &pipe = info->Pipes[j];
        EXPECT_EQ(pipe.EndpointAddress, addresses[j]);
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipe.MaximumPacketSize, 512);
        EXPECT_EQ(pipe.MaximumTransferSize, 4096u);
        EXPECT_EQ(pipe.PipeHandle, phone_->PipeFor(addresses[j]));
    }
    EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
    EXPECT_EQ(phone_->Configuration(), 1);

    // The limit the caller set is enforced.
    EXPECT_TRUE(Failed(Read(info->Pipes[0].PipeHandle, 4097), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
}

TEST_F(BusControl, SeveralInterfacesEachGetTheirOwnRecords)
{
    auto select = BuildSelect({{0, 0}, {1, 0}, {2, 0}, {ObexPhone::kInterface, 0}, {8, 0}});
    ASSERT_EQ(Call(select->Urb()), STATUS_SUCCESS);
    const ULONG pipes[] = {1, 2, 0, 0, 2};
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(select->Interface(i)->NumberOfPipes, pipes[i]) << "interface record " << i;
    }
    EXPECT_EQ(select->Interface(0)->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(select->Interface(4)->Pipes[1].EndpointAddress, 0x04);
    // Interface 7 at alternate setting 0 has no pipes.
    EXPECT_EQ(phone_->PipeFor(kIn), nullptr);
}

TEST_F(BusControl, AnInterfaceTheConfigurationLacksAndOtherFunctionsAreRefused)
{
    auto select = BuildSelect({{ObexPhone::kInterface, 2}});
    EXPECT_EQ(Call(select->Urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->Urb()->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(phone_->Configuration(), 0);
    EXPECT_EQ(phone_->Count().selects, 0);

    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    EXPECT_EQ(Call(&urb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(BusControl, DeconfiguringClosesThePipesAndEndsTheirTransfers)
{
    USBD_PIPE_HANDLE in, out;
    SelectObex(&in, &out);
    auto pending = Read(in, 64);
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
    EXPECT_EQ(phone_->Configuration(), 0);
    EXPECT_TRUE(Failed(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED));
    EXPECT_TRUE(Failed(Write(out, Bytes(4)), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
}

// ---- Bulk transfers through the bus: the phone models in both directions, short packets
// and zero-length packets, the bus's completion context, manual mode, abort and cancel.

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

// ---- Faults the bus injects: statuses for the next transfers or until cleared, short
// transfers, a stall that lasts until the pipe is reset, and the phone being unplugged.

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

// ---- The bus's verifier rules, each with a faulty sequence that must fire it: the memory of
// a pending transfer released or reused (UrbBufferFreedInFlight), and a URB whose
// Hdr.Length is not the one its function requires (UrbLengthMismatch).

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

// ---- The bus's timing: in virtual time, the slots each transfer takes and the slots a pipe
// leaves idle; in real time, bulk data moves no faster than the bus. Only lower bounds
// are asserted in real time, so a loaded machine cannot fail it.

class BusSlots : public BusTest {
protected:
    void PlugSelected(Speed speed)
    {
        Plug(speed);
        SelectObex(&in_, &out_);
    }
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

TEST_F(BusSlots, EveryPacketTakesASlotAZeroLengthOneToo)
{
    struct Case {
        Speed speed;
        bool in;
        size_t bytes;
        uint64_t slots;
    } cases[] = {
        {Speed::Full, false, 4096, 64}, {Speed::Full, false, 100, 2}, {Speed::Full, false, 0, 1},
        {Speed::Full, true, 100, 2},    {Speed::Full, true, 128, 3},  // two full and a zero-length one
        {Speed::High, false, 4096, 8},  {Speed::High, true, 512, 2},  {Speed::High, true, 4000, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.speed == Speed::High ? "high " : "full ")
                                        << (c.in ? "IN " : "OUT ") << c.bytes);
        PlugSelected(c.speed);
        if (c.in) {
            phone_->Send(kIn, Bytes(c.bytes));
            EXPECT_EQ(ReadData(in_, 4096).size(), c.bytes);
        } else {
            EXPECT_EQ(WriteNow(out_, Bytes(c.bytes)), STATUS_SUCCESS);
        }
        auto slots = phone_->Slots();
        EXPECT_EQ(slots.pipes[c.in ? kIn : kOut].used, c.slots);
        EXPECT_EQ(slots.used, c.slots);
    }
}

TEST_F(BusSlots, APipeWithNothingPendingLeavesSlotsIdleAndInAndOutShareTheBus)
{
    PlugSelected(Speed::Full);
    // Two 64-byte writes 1 ms apart: the second arrives 19 slots after the first began.
    ASSERT_EQ(WriteNow(out_, Bytes(64)), STATUS_SUCCESS);
    sim::ke::Advance(10000);
    ASSERT_EQ(WriteNow(out_, Bytes(64)), STATUS_SUCCESS);
    // A read pending 1 ms before the phone has anything waits, it is not idle.
    auto read = Read(in_, 4096);
    phone_->WaitIdle();
    sim::ke::Advance(10000);
    phone_->Send(kIn, Bytes(10));
    ASSERT_EQ(read->op->Wait().Status, STATUS_SUCCESS);
    // Data waiting 1 ms for a read is lost to the pipe.
    phone_->Send(kIn, Bytes(10));
    sim::ke::Advance(10000);
    EXPECT_EQ(ReadData(in_, 4096).size(), 10u);

    auto slots = phone_->Slots();
    EXPECT_EQ(slots.pipes[kOut].used, 2u);
    EXPECT_EQ(slots.pipes[kOut].idle, 18u);
    EXPECT_EQ(slots.pipes[kIn].used, 2u);
    EXPECT_EQ(slots.pipes[kIn].waiting, 19u);
    EXPECT_EQ(slots.pipes[kIn].idle, 18u);
    EXPECT_EQ(slots.slots, 3u * 19 + 1);
    EXPECT_EQ(slots.used, 4u);
    phone_->ResetSlots();
    EXPECT_EQ(phone_->Slots().used, 0u);
}

class BusTiming : public BusTest {
protected:
    void SetUp() override
    {
        options_.virtualTime = false;
        BusTest::SetUp();
    }

    // Seconds taken to write `transfers` transfers of 4096 bytes back to back.
    double WriteAll(Speed speed, int transfers)
    {
        Plug(speed);
        USBD_PIPE_HANDLE in, out;
        SelectObex(&in, &out);
        phone_->UseTimingModel(true);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < transfers; i++) {
            EXPECT_EQ(Write(out, Bytes(4096))->op->Wait().Status, STATUS_SUCCESS);
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(BusTiming, BulkWritesTakeAtLeastTheirTimeOnTheBus)
{
    const int transfers = 32;
    const double bytes = transfers * 4096.0;
    EXPECT_GE(WriteAll(Speed::Full, transfers), 0.95 * bytes / 1216000.0);
    EXPECT_GE(WriteAll(Speed::High, transfers), 0.95 * bytes / 53248000.0);
}

}  // namespace
}  // namespace bustest
