// The serial control requests: the admission tests, each code's buffer test, the
// settings and their validation, the fixed properties record, the queue levels, purge,
// the statistics and the modem-line loopback.
#include "tests/serial/serial_bench.h"

#include "usb/usb.h"

namespace {

using sim::usb::ObexPhone;

class IoctlTest : public bench::SerialTest {
protected:
    void SetUp() override
    {
        bench::SerialTest::SetUp();
        if (ext_ != nullptr) {
            ASSERT_EQ(OpenPort(), STATUS_SUCCESS);
        }
    }

    // Every stored setting, from Timeouts to ModemStatus, as bytes: a refused request
    // leaves them all as they were.
    std::vector<uint8_t> Settings()
    {
        auto *begin = reinterpret_cast<const uint8_t *>(&ext_->Timeouts);
        auto *end = reinterpret_cast<const uint8_t *>(&ext_->ModemStatus + 1);
        return std::vector<uint8_t>(begin, end);
    }
};

TEST_F(IoctlTest, EachCodeRefusesAShortBufferBeforeReadingItAndStoresNothing)
{
    struct Row {
        ULONG code;
        bool input;      // the input buffer is tested, else the output buffer
        ULONG minimum;
    };
    const Row rows[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, true, 4},      {IOCTL_SERIAL_SET_LINE_CONTROL, true, 3},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, true, 1},     {IOCTL_SERIAL_SET_TIMEOUTS, true, 20},
        {IOCTL_SERIAL_GET_TIMEOUTS, false, 20},     {IOCTL_SERIAL_GET_WAIT_MASK, false, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, true, 4},      {IOCTL_SERIAL_WAIT_ON_MASK, false, 4},
        {IOCTL_SERIAL_PURGE, true, 4},              {IOCTL_SERIAL_GET_BAUD_RATE, false, 4},
        {IOCTL_SERIAL_GET_LINE_CONTROL, false, 3},  {IOCTL_SERIAL_GET_CHARS, false, 6},
        {IOCTL_SERIAL_SET_CHARS, true, 6},          {IOCTL_SERIAL_GET_HANDFLOW, false, 16},
        {IOCTL_SERIAL_SET_HANDFLOW, true, 16},      {IOCTL_SERIAL_GET_MODEMSTATUS, false, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, false, 20},   {IOCTL_SERIAL_GET_PROPERTIES, false, 64},
        {IOCTL_SERIAL_GET_STATS, false, 24},
    };
    // Content that each set request would accept: 57600 baud, 8 data bits, ...
    uint8_t in[64] = {0x00, 0xE1, 0x00, 0x08};
    uint8_t out[64];
    for (const Row &row : rows) {
        std::vector<uint8_t> before = Settings();
        ULONG inLength = row.input ? row.minimum - 1 : 0;
        ULONG outLength = row.input ? 0 : row.minimum - 1;
        IO_STATUS_BLOCK io = Ioctl(row.code, in, inLength, out, outLength);
        EXPECT_EQ(io.Status, STATUS_BUFFER_TOO_SMALL) << std::hex << row.code;
        EXPECT_EQ(io.Information, 0u) << std::hex << row.code;
        EXPECT_EQ(Settings(), before) << std::hex << row.code;
        if (!row.input && row.code != IOCTL_SERIAL_WAIT_ON_MASK) {
            // The set requests at their exact sizes are the other tests' business.
            io = Ioctl(row.code, nullptr, 0, out, row.minimum);
            EXPECT_EQ(io.Status, STATUS_SUCCESS) << std::hex << row.code;
            EXPECT_EQ(io.Information, row.minimum) << std::hex << row.code;
        }
    }
}

TEST_F(IoctlTest, TheFourteenBaudRatesAreAcceptedAndEveryOtherRateRefused)
{
    for (ULONG rate : {300u, 600u, 1200u, 1800u, 2400u, 4800u, 7200u, 9600u, 14400u, 19200u,
                       38400u, 57600u, 128000u, 115200u}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}), STATUS_SUCCESS) << rate;
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, rate);
    }
    for (ULONG rate : {0u, 75u, 110u, 150u, 56000u, 115201u, 230400u}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}), STATUS_INVALID_PARAMETER) << rate;
        EXPECT_EQ(Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
    }
}

TEST_F(IoctlTest, LineControlIsValidatedAndTheOtherSettingsRoundTrip)
{
    struct Row {
        SERIAL_LINE_CONTROL line;   // StopBits, Parity, WordLength
        NTSTATUS expected;
    };
    const Row rows[] = {
        {{0, 0, 5}, STATUS_SUCCESS},           {{2, 4, 8}, STATUS_SUCCESS},
        {{1, 2, 6}, STATUS_SUCCESS},           {{0, 0, 4}, STATUS_INVALID_PARAMETER},
        {{0, 0, 9}, STATUS_INVALID_PARAMETER}, {{3, 0, 8}, STATUS_INVALID_PARAMETER},
        {{0, 5, 8}, STATUS_INVALID_PARAMETER}, {{3, 5, 4}, STATUS_INVALID_PARAMETER},
    };
    SERIAL_LINE_CONTROL current = {STOP_BITS_2, NO_PARITY, 8};
    for (const Row &row : rows) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, row.line), row.expected);
        if (row.expected == STATUS_SUCCESS) {
            current = row.line;
        }
        EXPECT_TRUE(Same(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL), current));
    }

    // Handflow keeps only its first two members; chars and timeouts take any values.
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0x12345678, 0x9ABCDEF0, 7, 9}), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake, 0x12345678u);
    EXPECT_EQ(flow.FlowReplace, 0x9ABCDEF0u);
    EXPECT_EQ(flow.XonLimit, 0);
    EXPECT_EQ(flow.XoffLimit, 0);
    EXPECT_TRUE(RoundTrips(IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, SERIAL_CHARS{0xFF, 0, 0x80, 0x11, 0x13, 0x7F}));
    EXPECT_TRUE(RoundTrips(IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS,
                           SERIAL_TIMEOUTS{MAXULONG, 0, MAXULONG, 1, 0x7FFFFFFF}));
}

TEST_F(IoctlTest, TheModemLinesAreALoopbackOfDtrAndRts)
{
    const struct {
        ULONG code;
        ULONG status;
    } steps[] = {
        {IOCTL_SERIAL_SET_DTR, 0x20}, {IOCTL_SERIAL_SET_RTS, 0xB0}, {IOCTL_SERIAL_SET_RTS, 0xB0},
        {IOCTL_SERIAL_CLR_RTS, 0x20}, {IOCTL_SERIAL_CLR_DTR, 0x00}, {IOCTL_SERIAL_SET_RTS, 0x90},
        {IOCTL_SERIAL_SET_DTR, 0xB0}, {IOCTL_SERIAL_CLR_DTR, 0x90},
    };
    for (const auto &step : steps) {
        IO_STATUS_BLOCK io = Ioctl(step.code);
        EXPECT_EQ(io.Status, STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 0u);
        EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), step.status) << std::hex << step.code;
    }
}

TEST_F(IoctlTest, LineRequestsSucceedWithoutEffectAndUnknownCodesFail)
{
    const struct {
        ULONG code;
        NTSTATUS expected;
    } rows[] = {
        {IOCTL_SERIAL_SET_QUEUE_SIZE, STATUS_SUCCESS},   {IOCTL_SERIAL_SET_BREAK_ON, STATUS_SUCCESS},
        {IOCTL_SERIAL_SET_BREAK_OFF, STATUS_SUCCESS},    {IOCTL_SERIAL_RESET_DEVICE, STATUS_SUCCESS},
        {IOCTL_SERIAL_SET_XOFF, STATUS_SUCCESS},         {IOCTL_SERIAL_SET_XON, STATUS_SUCCESS},
        {IOCTL_SERIAL_XOFF_COUNTER, STATUS_SUCCESS},     {IOCTL_SERIAL_GET_DTRRTS, STATUS_SUCCESS},
        {IOCTL_SERIAL_LSRMST_INSERT, STATUS_SUCCESS},    {IOCTL_SERIAL_CONFIG_SIZE, STATUS_SUCCESS},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, STATUS_SUCCESS}, {IOCTL_SERIAL_SET_MODEM_CONTROL, STATUS_SUCCESS},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, STATUS_SUCCESS},
        {IOCTL_SERIAL_GET_COMMCONFIG, STATUS_INVALID_PARAMETER},
        {IOCTL_SERIAL_SET_COMMCONFIG, STATUS_INVALID_PARAMETER},
        {0x1B0000, STATUS_INVALID_PARAMETER},            // function 0
        {0x1B00A0, STATUS_INVALID_PARAMETER},            // function 40
        {0x1B0006, STATUS_INVALID_PARAMETER},            // set-baud-rate, another method
        {0x2B0004, STATUS_INVALID_PARAMETER},            // another device type
    };
    uint8_t buffer[64] = {1, 2, 3, 4};
    for (const auto &row : rows) {
        std::vector<uint8_t> before = Settings();
        IO_STATUS_BLOCK io = Ioctl(row.code, buffer, sizeof(buffer), buffer, sizeof(buffer));
        EXPECT_EQ(io.Status, row.expected) << std::hex << row.code;
        EXPECT_EQ(io.Information, 0u) << std::hex << row.code;
        EXPECT_EQ(Settings(), before) << std::hex << row.code;
    }
    EXPECT_EQ(Phone().Count().transfers, 1) << "only the pump's transfer reached the phone";
}

TEST_F(IoctlTest, ThePropertiesRecordIsFixedByteForByte)
{
    const uint8_t expected[64] = {
        0x40, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00,   // length, version, service mask
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // reserved, max tx queue
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10,   // max rx queue, max baud (user)
        0x01, 0x00, 0x00, 0x00, 0xCF, 0x00, 0x00, 0x00,   // RS-232, capabilities
        0x7F, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x07, 0x10,   // settable params, settable baud
        0x0F, 0x00, 0x07, 0x1F, 0x00, 0x00, 0x00, 0x00,   // data bits, stop/parity, tx queue
        0x00, 0xA0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00,   // rx queue 1,024,000, spec 1
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // spec 2, provider char, padding
    };
    uint8_t out[64];
    std::memset(out, 0xA5, sizeof(out));
    IO_STATUS_BLOCK io = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, out, sizeof(out));
    ASSERT_EQ(io.Status, STATUS_SUCCESS);
    ASSERT_EQ(io.Information, 64u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 64), std::vector<uint8_t>(expected, expected + 64));
}

TEST_F(IoctlTest, CommStatusReportsTheQueuesAndOnAFailedDeviceOnlyTheErrors)
{
    FillRing(std::vector<uint8_t>(3000, 0x55));
    auto write = StartWrite(std::vector<uint8_t>(100, 0x66));
    SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.HoldReasons, 0u);
    EXPECT_EQ(status.AmountInInQueue, 3000u);
    EXPECT_EQ(status.AmountInOutQueue, 100u);
    EXPECT_EQ(status.EofReceived, 0);
    EXPECT_EQ(status.WaitForImmediate, 0);

    ext_->DeviceFailure = DEVICE_FAILED_MARK;
    ext_->PendingEvents = SERIAL_EV_RXCHAR;
    status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, 0x1Fu);
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
    EXPECT_EQ(ext_->PendingEvents, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    uint8_t out[4];
    IO_STATUS_BLOCK io = Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(io.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(io.Information, 0u);
    EXPECT_EQ(ext_->PendingEvents, 0u);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    write->Wait();
}

TEST_F(IoctlTest, PurgeCancelsAndClearsByItsMaskAndReportsNoMoreThanTheCallerHolds)
{
    FillRing({1, 2, 3});
    auto inProgress = StartWrite({1});
    auto queued1 = StartWrite({2});
    auto queued2 = StartWrite({3});
    SetTimeouts(0, 0, 0);
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
    ReadOp read = StartRead(4);
    ASSERT_EQ(QueueLength(&ext_->ReadQueue), 1u);

    // The transmit abort: the queued writes end, the one in progress and the read stay.
    ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR | 0x100;
    ULONG back = 0;
    IO_STATUS_BLOCK io = Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof(mask), &back, sizeof(back));
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    EXPECT_EQ(back, mask);
    EXPECT_EQ(queued1->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(queued2->Wait().Status, STATUS_CANCELLED);
    EXPECT_FALSE(inProgress->Done());
    EXPECT_FALSE(read.op->Done());
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 1u);

    // The receive abort, with an output buffer too short for the mask: nothing comes
    // back beyond what the caller holds.
    mask = SERIAL_PURGE_RXABORT;
    for (ULONG outLength : {0u, 2u}) {
        io = Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof(mask), &back, outLength);
        EXPECT_EQ(io.Status, STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 0u) << outLength;
    }
    EXPECT_EQ(read.op->Wait().Status, STATUS_CANCELLED);

    // The receive clear empties the ring; the pump's transfer is left in flight.
    FillRing({4, 5});
    mask = SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);
    EXPECT_EQ(Phone().PendingCount(ObexPhone::kBulkIn), 1u);
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    EXPECT_EQ(inProgress->Wait().Status, STATUS_SUCCESS);
}

TEST_F(IoctlTest, StatsCountDeliveredAndSentBytesFromTheLastClear)
{
    Receive({1, 2, 3});
    ASSERT_EQ(StartRead(3).op->Wait().Information, 3u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).Status, STATUS_SUCCESS);
    Receive(std::vector<uint8_t>(10, 7));
    ASSERT_EQ(StartRead(64).op->Wait().Information, 10u);
    auto write = StartWrite({1, 2, 3, 4, 5});
    ASSERT_TRUE(Phone().CompleteNext(ObexPhone::kBulkOut));
    ASSERT_EQ(write->Wait().Status, STATUS_SUCCESS);
    EXPECT_TRUE(Same(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS), SERIALPERF_STATS{10, 5, 0, 0, 0, 0}));
}

TEST_F(IoctlTest, EveryCodeIsRefusedOnceCleanupHasClosedThePort)
{
    sim::io::Request cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    cleanup.file = file_;
    ASSERT_EQ(sim::io::Call(fdo_, cleanup).Status, STATUS_SUCCESS);
    for (ULONG code : {ULONG{IOCTL_SERIAL_GET_COMMSTATUS}, ULONG{IOCTL_SERIAL_SET_DTR}, ULONG{0x1B00A0}}) {
        uint8_t out[20];
        IO_STATUS_BLOCK io = Ioctl(code, nullptr, 0, out, sizeof(out));
        EXPECT_EQ(io.Status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(io.Information, 0u);
    }
}

}  // namespace
