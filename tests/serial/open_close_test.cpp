// Opening and closing the port: one opener, the states that refuse a create, the
// first-open defaults and what carries over, the ring emptied at open, a first open
// whose pipe reset fails, cleanup ending the queues in order, close draining the work
// in flight, and a refused create leaving the open count alone.
#include "tests/serial/serial_bench.h"

#include "usb/usb.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace {

using sim::usb::ObexPhone;

class OpenCloseTest : public bench::SerialTest {
protected:
    int Resets() { return Phone().Count().resets; }
    size_t PumpTransfers() { return Phone().PendingCount(ObexPhone::kBulkIn); }

    // A request on the open handle whose completion is recorded by name.
    std::shared_ptr<sim::io::Operation> Track(sim::io::Request request, const std::string &name)
    {
        request.file = file_;
        auto keep = std::make_shared<std::vector<uint8_t>>(64, 0);
        if (request.major == IRP_MJ_READ || request.major == IRP_MJ_DEVICE_CONTROL) {
            request.output = keep->data();
        }
        return sim::io::Send(fdo_, request, [this, keep, name](const IO_STATUS_BLOCK &io) {
            std::lock_guard<std::mutex> guard(orderLock_);
            order_ += name + (io.Status == STATUS_CANCELLED ? "!" : "") + " ";
        });
    }
    std::shared_ptr<sim::io::Operation> TrackWrite(ULONG length, const std::string &name)
    {
        static const uint8_t bytes[64] = {};
        sim::io::Request request;
        request.major = IRP_MJ_WRITE;
        request.input = bytes;
        request.inputLength = length;
        return Track(request, name);
    }

    std::mutex orderLock_;
    std::string order_;
};

TEST_F(OpenCloseTest, OneOpenerAtATimeAndARefusedOpenerDisturbsNothing)
{
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->OpenCount, 1);
    EXPECT_TRUE(ext_->IsOpen);
    EXPECT_EQ(Resets(), 2);
    EXPECT_EQ(PumpTransfers(), 1u);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}), STATUS_SUCCESS);

    // The I/O manager refuses a second handle on the exclusive device itself; a create
    // that reaches the driver is refused by the driver's own count.
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(sim::io::Open(fdo_, &second), STATUS_ACCESS_DENIED);
    IO_STATUS_BLOCK io = Major(IRP_MJ_CREATE);
    EXPECT_EQ(io.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(io.Information, 0u);

    EXPECT_EQ(ext_->OpenCount, 1);
    EXPECT_EQ(Resets(), 2);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 57600u);
}

TEST_F(OpenCloseTest, CreateIsRefusedInEveryStateButStartedAndOnAFailedDevice)
{
    struct Row {
        ULONG state;
        ULONG failure;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {NeverStarted, 0, STATUS_INSUFFICIENT_RESOURCES},
        {Stopped, 0, STATUS_INSUFFICIENT_RESOURCES},
        {StopPending, 0, STATUS_INSUFFICIENT_RESOURCES},
        {RemovePending, 0, STATUS_INSUFFICIENT_RESOURCES},
        {SurpriseRemoved, 0, STATUS_INSUFFICIENT_RESOURCES},
        {Removed, 0, STATUS_INSUFFICIENT_RESOURCES},
        {Started, DEVICE_FAILED_MARK, STATUS_DELETE_PENDING},
    };
    for (const Row &row : rows) {
        ext_->PnpState = row.state;
        ext_->DeviceFailure = row.failure;
        IO_STATUS_BLOCK io = Major(IRP_MJ_CREATE);
        EXPECT_EQ(io.Status, row.expected) << "state " << row.state;
        EXPECT_EQ(io.Information, 0u);
        EXPECT_EQ(ext_->OpenCount, 0);
        EXPECT_FALSE(ext_->IsOpen);
    }
    EXPECT_EQ(Resets(), 0);
    ext_->PnpState = Started;
    ext_->DeviceFailure = 0;
}

TEST_F(OpenCloseTest, EachFirstOpenStartsFromTheDefaultsAndKeepsWhatCarriesOver)
{
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    const SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{0, 1, 7}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{2, 0x80, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{1, 2, 3, 4, 5, 6}), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    auto write = StartWrite({1, 2, 3, 4, 5});
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    ASSERT_EQ(write->Wait().Status, STATUS_SUCCESS);
    ClosePortHandle();

    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
    EXPECT_TRUE(Same(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL), SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 8}));
    SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
    EXPECT_EQ(flow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK), 0u);
    // Carried over: the first four special characters, the timeouts, the statistics;
    // XON and XOFF start again as the standard pair.
    EXPECT_TRUE(Same(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS), SERIAL_CHARS{1, 2, 3, 4, 0x11, 0x13}));
    EXPECT_TRUE(Same(Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS), timeouts));
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).TransmittedCount, 5u);
}

TEST_F(OpenCloseTest, BytesThatArrivedBeforeTheOpenAreNotDelivered)
{
    FillRing({1, 2, 3});
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->RxRing.Count, 0);
    Receive({7, 8});
    ReadOp read = StartRead(2);
    ASSERT_EQ(read.op->Wait().Information, 2u);
    EXPECT_EQ(*read.buffer, std::vector<uint8_t>({7, 8}));
}

TEST_F(OpenCloseTest, AFirstOpenWhosePipeResetFailsLeavesThePortClosedForTheNextOpen)
{
    // A pipe handle the bus does not know fails its reset.
    struct Row {
        USBD_PIPE_HANDLE DEVICE_EXTENSION::*pipe;
        int resetsTried;
    };
    const Row rows[] = {{&DEVICE_EXTENSION::BulkInPipe, 1}, {&DEVICE_EXTENSION::BulkOutPipe, 2}};
    for (const Row &row : rows) {
        USBD_PIPE_HANDLE good = ext_->*row.pipe;
        ext_->*row.pipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x5EED);
        FillRing({9});
        int before = Resets();

        EXPECT_EQ(OpenPort(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Resets() - before, row.resetsTried);
        EXPECT_EQ(ext_->RxRing.Count, 1) << "the ring is emptied only by an open that starts";
        EXPECT_EQ(PumpTransfers(), 0u);
        EXPECT_EQ(ext_->OpenCount, 0);
        // Query-stop and query-remove test IsOpen; the bias would keep close waiting.
        EXPECT_FALSE(ext_->IsOpen);
        EXPECT_EQ(ext_->OutstandingIo, 0);

        ext_->*row.pipe = good;
        ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
        EXPECT_EQ(Resets() - before, row.resetsTried + 2);
        EXPECT_EQ(ext_->RxRing.Count, 0);
        EXPECT_EQ(PumpTransfers(), 1u);
        EXPECT_TRUE(ext_->IsOpen);
        ClosePortHandle();
    }
}

TEST_F(OpenCloseTest, CleanupCancelsTheQueuedWritesNewestFirstThenTheReadThenTheWait)
{
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), STATUS_SUCCESS);
    auto inProgress = TrackWrite(3, "w0");
    auto w1 = TrackWrite(4, "w1");
    auto w2 = TrackWrite(5, "w2");
    auto w3 = TrackWrite(6, "w3");
    sim::io::Request read;
    read.major = IRP_MJ_READ;
    read.outputLength = 8;
    auto r = Track(read, "read");
    sim::io::Request wait;
    wait.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    wait.outputLength = sizeof(ULONG);
    auto w = Track(wait, "wait");
    ASSERT_EQ(QueueLength(&ext_->WriteQueue), 3u);
    ASSERT_EQ(QueueLength(&ext_->ReadQueue), 1u);
    ASSERT_EQ(QueueLength(&ext_->WaitQueue), 1u);

    // The cleanup leaves the write whose transfer is running; the close comes when it
    // has ended.
    ClosePortHandle();
    EXPECT_EQ(order_, "w3! w2! w1! read! wait! ");
    EXPECT_FALSE(inProgress->Done());
    EXPECT_EQ(ext_->OpenCount, 1);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_EQ(inProgress->Wait().Status, STATUS_SUCCESS);
    sim::ke::WaitIdle();
    EXPECT_EQ(ext_->OpenCount, 0);
    EXPECT_EQ(ext_->OutstandingIo, 1);
    EXPECT_EQ(ext_->OutQueueBytes, 0);
}

TEST_F(OpenCloseTest, CloseReturnsOnlyOnceTheLastUnitOfWorkHasEnded)
{
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ASSERT_EQ(PumpTransfers(), 1u);
    // One more unit of work in flight, as a request being completed elsewhere holds.
    InterlockedIncrement(&ext_->OutstandingIo);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        ClosePortHandle();
        closed = true;
    });
    // The drain has dropped the bias (the aborted pump transfer has ended) and waits.
    while (!closed && (__atomic_load_n(&ext_->OutstandingIo, __ATOMIC_SEQ_CST) != 1 ||
                       sim::ke::BlockedWaiters() == 0)) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(closed);
    EXPECT_EQ(PumpTransfers(), 0u) << "the abort ended the pump's transfer";
    EXPECT_EQ(ext_->OpenCount, 1);
    {
        sim::ke::DriverCall call("the last unit of work");
        ReleaseOutstandingIo(ext_);
    }
    closer.join();
    EXPECT_EQ(ext_->OutstandingIo, 1);
    EXPECT_EQ(ext_->OpenCount, 0);
    EXPECT_EQ(OpenPort(), STATUS_SUCCESS);
}

TEST_F(OpenCloseTest, CloseOfAFailedDeviceSucceedsAndTheDeviceStaysUnopenable)
{
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    ext_->DeviceFailure = DEVICE_FAILED_MARK;
    ClosePortHandle();
    EXPECT_EQ(ext_->OpenCount, 0);
    EXPECT_EQ(PumpTransfers(), 0u);
    EXPECT_EQ(Major(IRP_MJ_CREATE).Status, STATUS_DELETE_PENDING);
}

TEST_F(OpenCloseTest, ARefusedCreateNeverRaisesTheOpenCountEvenForAMoment)
{
    // A close reads the count once: a refused opener that raised it to 2 for a moment
    // could make the close leave it stuck. A watcher looks for that moment.
    ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<LONG> highest{0};
    std::thread watcher([&] {
        while (!stop) {
            LONG seen = __atomic_load_n(&ext_->OpenCount, __ATOMIC_SEQ_CST);
            if (seen > highest) {
                highest = seen;
            }
        }
    });
    for (int i = 0; i < 20000 && highest <= 1; i++) {
        if (Major(IRP_MJ_CREATE).Status != STATUS_ACCESS_DENIED) {
            ADD_FAILURE() << "create " << i << " was not refused";
            break;
        }
    }
    stop = true;
    watcher.join();
    EXPECT_EQ(highest, 1);
    ClosePortHandle();
    EXPECT_EQ(OpenPort(), STATUS_SUCCESS);
}

}  // namespace
