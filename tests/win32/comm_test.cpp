// The communications functions: the serial control requests each one sends, in order
// and with their buffers, and the stop at the first failing one; the DCB, COMSTAT and
// CE_* conversions both ways.
#include "tests/win32/recorder.h"

#include <cstring>
#include <functional>
#include <string>

namespace w32test {
namespace {

using CommTest = Win32Test;

// A request as the device must see it: code, input bytes, output length.
struct Expected {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
};

void ExpectRequests(const std::vector<Seen> &seen, const std::vector<Expected> &expected,
                    const std::string &what)
{
    ASSERT_EQ(seen.size(), expected.size()) << what;
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(seen[i].major, IRP_MJ_DEVICE_CONTROL) << what << " #" << i;
        EXPECT_EQ(seen[i].code, expected[i].code) << what << " #" << i;
        EXPECT_EQ(seen[i].input, expected[i].input) << what << " #" << i;
        EXPECT_EQ(seen[i].outputLength, expected[i].outputLength) << what << " #" << i;
    }
}

DCB SampleDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_57600;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = TRUE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1a;
    dcb.EvtChar = '\n';
    return dcb;
}

// What SampleDcb becomes on the wire.
const SERIAL_HANDFLOW kSampleFlow = {
    SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
    SERIAL_AUTO_TRANSMIT | SERIAL_ERROR_CHAR | SERIAL_XOFF_CONTINUE, 2048, 512};
const SERIAL_LINE_CONTROL kSampleLine = {STOP_BITS_2, EVEN_PARITY, 7};
const SERIAL_CHARS kSampleChars = {0x1a, '?', 0, '\n', 0x11, 0x13};

TEST_F(CommTest, EachFunctionSendsWindowsRequestsInOrderWithTheirBuffers)
{
    HANDLE h = Open();
    DCB dcb = SampleDcb();
    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    COMMPROP prop{};
    COMSTAT stat{};
    DWORD word = 0;
    const struct {
        const char *name;
        std::function<BOOL()> call;
        std::vector<Expected> requests;
    } cases[] = {
        {"GetCommState", [&] { return GetCommState(h, &dcb); },
         {{IOCTL_SERIAL_GET_BAUD_RATE, {}, 4},
          {IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3},
          {IOCTL_SERIAL_GET_CHARS, {}, 6},
          {IOCTL_SERIAL_GET_HANDFLOW, {}, 16}}},
        {"SetCommState", [&] { DCB d = SampleDcb(); return SetCommState(h, &d); },
         {{IOCTL_SERIAL_SET_BAUD_RATE, Bytes(SERIAL_BAUD_RATE{57600}), 0},
          {IOCTL_SERIAL_CLR_RTS, {}, 0},
          {IOCTL_SERIAL_SET_DTR, {}, 0},
          {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(kSampleLine), 0},
          {IOCTL_SERIAL_SET_CHARS, Bytes(kSampleChars), 0},
          {IOCTL_SERIAL_SET_HANDFLOW, Bytes(kSampleFlow), 0}}},
        {"GetCommTimeouts", [&] { return GetCommTimeouts(h, &timeouts); },
         {{IOCTL_SERIAL_GET_TIMEOUTS, {}, 20}}},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &timeouts); },
         {{IOCTL_SERIAL_SET_TIMEOUTS, Bytes(SERIAL_TIMEOUTS{1, 2, 3, 4, 5}), 0}}},
        {"GetCommMask", [&] { return GetCommMask(h, &word); }, {{IOCTL_SERIAL_GET_WAIT_MASK, {}, 4}}},
        {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR | EV_TXEMPTY); },
         {{IOCTL_SERIAL_SET_WAIT_MASK, Bytes(DWORD{EV_RXCHAR | EV_TXEMPTY}), 0}}},
        {"WaitCommEvent", [&] { return WaitCommEvent(h, &word, nullptr); },
         {{IOCTL_SERIAL_WAIT_ON_MASK, {}, 4}}},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR); },
         {{IOCTL_SERIAL_PURGE, Bytes(DWORD{PURGE_RXABORT | PURGE_RXCLEAR}), 0}}},
        {"ClearCommError", [&] { return ClearCommError(h, &word, &stat); },
         {{IOCTL_SERIAL_GET_COMMSTATUS, {}, 20}}},
        {"SetCommBreak", [&] { return SetCommBreak(h); }, {{IOCTL_SERIAL_SET_BREAK_ON, {}, 0}}},
        {"ClearCommBreak", [&] { return ClearCommBreak(h); }, {{IOCTL_SERIAL_SET_BREAK_OFF, {}, 0}}},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(h, &word); },
         {{IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4}}},
        {"GetCommProperties", [&] { return GetCommProperties(h, &prop); },
         {{IOCTL_SERIAL_GET_PROPERTIES, {}, 64}}},
        {"SetupComm", [&] { return SetupComm(h, 4096, 2048); },
         {{IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(SERIAL_QUEUE_SIZE{4096, 2048}), 0}}},
        {"TransmitCommChar", [&] { return TransmitCommChar(h, 'x'); },
         {{IOCTL_SERIAL_IMMEDIATE_CHAR, {'x'}, 0}}},
    };
    for (const auto &c : cases) {
        ClearRequests();
        EXPECT_TRUE(c.call()) << c.name << " error " << GetLastError();
        ExpectRequests(Requests(), c.requests, c.name);
        // A function of several requests stops at the first that fails, with its error.
        for (size_t failing = 0; c.requests.size() > 1 && failing < c.requests.size(); failing++) {
            const ULONG code = c.requests[failing].code;
            ScriptControl(code, {STATUS_INVALID_PARAMETER, {}});
            ClearRequests();
            SetLastError(0);
            EXPECT_FALSE(c.call()) << c.name << " failing #" << failing;
            EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
            const std::vector<Expected> sent(c.requests.begin(), c.requests.begin() + failing + 1);
            ExpectRequests(Requests(), sent, std::string(c.name) + " failing #" + std::to_string(failing));
            ScriptControl(code, {STATUS_SUCCESS, {}});
        }
    }

    // Each escape code sends its one request; any other code sends nothing.
    const ULONG escapes[] = {0, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_RTS,
                             IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR,
                             IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_BREAK_ON,
                             IOCTL_SERIAL_SET_BREAK_OFF};
    for (DWORD f = SETXOFF; f <= CLRBREAK; f++) {
        ClearRequests();
        EXPECT_TRUE(EscapeCommFunction(h, f));
        ExpectRequests(Requests(), {{escapes[f], {}, 0}}, "escape " + std::to_string(f));
    }
    ClearRequests();
    for (DWORD f : {0u, 10u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(EscapeCommFunction(h, f));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_TRUE(Requests().empty());
    CloseHandle(h);
}

// What fails before any request: a DTR mode that does not exist, XON equal to XOFF;
// and a failed wait leaves no events in the word.
TEST_F(CommTest, BadDcbsFailBeforeAnyRequestAndAFailedWaitReportsNoEvents)
{
    HANDLE h = Open();
    for (const auto &spoil : std::vector<std::function<void(DCB &)>>{
             [](DCB &d) { d.fDtrControl = 3; },
             [](DCB &d) { d.XoffChar = d.XonChar; },
         }) {
        DCB bad = SampleDcb();
        spoil(bad);
        ClearRequests();
        EXPECT_FALSE(SetCommState(h, &bad));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
        EXPECT_TRUE(Requests().empty());
    }
    ScriptControl(IOCTL_SERIAL_WAIT_ON_MASK, {STATUS_INVALID_PARAMETER, {}});
    DWORD events = 0xDEADBEEF;
    EXPECT_FALSE(WaitCommEvent(h, &events, nullptr));
    EXPECT_EQ(events, 0u);
    CloseHandle(h);
}

// Both directions: the line requests and flow bits SetCommState sends for each DTR and
// RTS mode, and the modes GetCommState reads back from those flow bits.
TEST_F(CommTest, LineModesChooseTheLineRequestsAndComeBackFromTheFlowBits)
{
    HANDLE h = Open();
    const struct {
        DWORD dtr, rts;
        std::vector<ULONG> lines;  // between SET_BAUD_RATE and SET_LINE_CONTROL
        ULONG shake, replace;
    } cases[] = {
        {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR},
         SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
        {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}, 0, 0},
        {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, {}, SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE},
        {DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, {IOCTL_SERIAL_SET_DTR}, SERIAL_DTR_CONTROL,
         SERIAL_TRANSMIT_TOGGLE},
    };
    for (const auto &c : cases) {
        DCB dcb{};
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.fDtrControl = c.dtr;
        dcb.fRtsControl = c.rts;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        ClearRequests();
        ASSERT_TRUE(SetCommState(h, &dcb));
        std::vector<ULONG> expected{IOCTL_SERIAL_SET_BAUD_RATE};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.insert(expected.end(), {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                         IOCTL_SERIAL_SET_HANDFLOW});
        EXPECT_EQ(ControlCodes(), expected);
        EXPECT_EQ(Requests().back().input, Bytes(SERIAL_HANDFLOW{c.shake, c.replace, 0, 0}));

        ScriptControl(IOCTL_SERIAL_GET_HANDFLOW, {STATUS_SUCCESS, Requests().back().input});
        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(back.fDtrControl, c.dtr);
        EXPECT_EQ(back.fRtsControl, c.rts);
    }
    CloseHandle(h);
}

TEST_F(CommTest, GetCommStateBuildsTheDcbFromTheFourRecords)
{
    HANDLE h = Open();
    ScriptControl(IOCTL_SERIAL_GET_BAUD_RATE, {STATUS_SUCCESS, Bytes(SERIAL_BAUD_RATE{57600})});
    ScriptControl(IOCTL_SERIAL_GET_LINE_CONTROL, {STATUS_SUCCESS, Bytes(kSampleLine)});
    ScriptControl(IOCTL_SERIAL_GET_CHARS, {STATUS_SUCCESS, Bytes(kSampleChars)});
    ScriptControl(IOCTL_SERIAL_GET_HANDFLOW, {STATUS_SUCCESS, Bytes(kSampleFlow)});
    DCB dcb;
    std::memset(&dcb, 0xA5, sizeof dcb);
    ASSERT_TRUE(GetCommState(h, &dcb));
    DCB expected = SampleDcb();
    expected.fParity = TRUE;  // EVENPARITY
    EXPECT_EQ(Bytes(dcb), Bytes(expected));

    // Without parity, fParity goes too.
    ScriptControl(IOCTL_SERIAL_GET_LINE_CONTROL,
                  {STATUS_SUCCESS, Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8})});
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fParity, 0u);
    CloseHandle(h);
}

TEST_F(CommTest, ClearCommErrorMapsErrorsToCeFlagsAndTheRestToComstat)
{
    HANDLE h = Open();
    SERIAL_STATUS status{};
    status.Errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                    SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;
    status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_XOFF_SENT;
    status.AmountInInQueue = 3000;
    status.AmountInOutQueue = 100;
    status.EofReceived = TRUE;
    ScriptControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_SUCCESS, Bytes(status)});
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0xA5, sizeof stat);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, DWORD{CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY});
    COMSTAT expected{};
    expected.fCtsHold = expected.fRlsdHold = expected.fXoffSent = expected.fEof = 1;
    expected.cbInQue = 3000;
    expected.cbOutQue = 100;
    EXPECT_EQ(Bytes(stat), Bytes(expected));

    status = {};
    status.Errors = SERIAL_ERROR_OVERRUN;
    ScriptControl(IOCTL_SERIAL_GET_COMMSTATUS, {STATUS_SUCCESS, Bytes(status)});
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, DWORD{CE_OVERRUN});

    CloseHandle(h);
}

TEST_F(CommTest, OutputRecordsComeBackIntoTheCallersStructures)
{
    HANDLE h = Open();
    SERIAL_COMMPROP prop{};
    prop.PacketLength = 64;
    prop.PacketVersion = 2;
    prop.MaxBaud = SERIAL_BAUD_USER;
    prop.CurrentRxQueue = 1024000;
    ScriptControl(IOCTL_SERIAL_GET_PROPERTIES, {STATUS_SUCCESS, Bytes(prop)});
    ScriptControl(IOCTL_SERIAL_GET_TIMEOUTS, {STATUS_SUCCESS, Bytes(SERIAL_TIMEOUTS{MAXDWORD, 0, 0, 7, 9})});
    ScriptControl(IOCTL_SERIAL_GET_MODEMSTATUS,
                  {STATUS_SUCCESS, Bytes(ULONG{SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE})});
    COMMPROP cp{};
    ASSERT_TRUE(GetCommProperties(h, &cp));
    EXPECT_EQ(cp.wPacketLength, 64);
    EXPECT_EQ(cp.wPacketVersion, 2);
    EXPECT_EQ(cp.dwMaxBaud, DWORD{BAUD_USER});
    EXPECT_EQ(cp.dwCurrentRxQueue, 1024000u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 9u);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(modem, DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON});
    CloseHandle(h);
}

}  // namespace
}  // namespace w32test
