// The communications functions: each sends the serial control requests Windows sends
// for it, in the same order, with the same buffers, and stops at the first that fails
// (its error is the last error; the later requests are not sent). The DCB travels as
// SERIAL_BAUD_RATE, SERIAL_LINE_CONTROL, SERIAL_CHARS and SERIAL_HANDFLOW.
// Application threads at PASSIVE_LEVEL; every function but WaitCommEvent waits for its
// requests, whatever the handle's mode.
#include "sim/win32/internal.h"

using sim::win32::detail::Control;

namespace {

// A request without buffers (the line and break controls).
BOOL Plain(HANDLE hFile, ULONG code)
{
    return Control(hFile, code, nullptr, 0, nullptr, 0);
}

SERIAL_HANDFLOW HandFlowOf(const DCB &dcb)
{
    SERIAL_HANDFLOW flow{};
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) {
        flow.ControlHandShake |= SERIAL_DTR_CONTROL;
    } else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        flow.ControlHandShake |= SERIAL_DTR_HANDSHAKE;
    }
    if (dcb.fOutxCtsFlow) {
        flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    }
    if (dcb.fOutxDsrFlow) {
        flow.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    }
    if (dcb.fDsrSensitivity) {
        flow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    }
    if (dcb.fAbortOnError) {
        flow.ControlHandShake |= SERIAL_ERROR_ABORT;
    }
    if (dcb.fOutX) {
        flow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    }
    if (dcb.fInX) {
        flow.FlowReplace |= SERIAL_AUTO_RECEIVE;
    }
    if (dcb.fErrorChar) {
        flow.FlowReplace |= SERIAL_ERROR_CHAR;
    }
    if (dcb.fNull) {
        flow.FlowReplace |= SERIAL_NULL_STRIPPING;
    }
    if (dcb.fTXContinueOnXoff) {
        flow.FlowReplace |= SERIAL_XOFF_CONTINUE;
    }
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        flow.FlowReplace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        flow.FlowReplace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        flow.FlowReplace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    default:
        break;
    }
    flow.XonLimit = dcb.XonLim;
    flow.XoffLimit = dcb.XoffLim;
    return flow;
}

void FromHandFlow(const SERIAL_HANDFLOW &flow, DCB &dcb)
{
    const ULONG shake = flow.ControlHandShake;
    const ULONG replace = flow.FlowReplace;
    switch (shake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        break;
    case SERIAL_DTR_HANDSHAKE:
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        break;
    default:
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        break;
    }
    dcb.fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case SERIAL_RTS_HANDSHAKE:
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    }
    dcb.XonLim = static_cast<WORD>(flow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(flow.XoffLimit);
}

}  // namespace

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW flow{};
    if (!Control(hFile, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud) ||
        !Control(hFile, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line) ||
        !Control(hFile, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars) ||
        !Control(hFile, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow)) {
        return FALSE;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud.BaudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = line.Parity != NO_PARITY;
    FromHandFlow(flow, dcb);
    dcb.ByteSize = line.WordLength;
    dcb.Parity = line.Parity;
    dcb.StopBits = line.StopBits;
    dcb.XonChar = static_cast<char>(chars.XonChar);
    dcb.XoffChar = static_cast<char>(chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(chars.ErrorChar);
    dcb.EofChar = static_cast<char>(chars.EofChar);
    dcb.EvtChar = static_cast<char>(chars.EventChar);
    *lpDCB = dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    const DCB &dcb = *lpDCB;
    // A DTR mode that names no line behaviour fails before anything is sent (every
    // value of fRtsControl's two bits is a mode).
    if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Refused before any request is sent when the two flow-control characters are equal.
    if (dcb.XonChar == dcb.XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!sim::win32::detail::FileOf(hFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const SERIAL_BAUD_RATE baud{dcb.BaudRate};
    SERIAL_LINE_CONTROL line{};
    line.StopBits = dcb.StopBits;
    line.Parity = dcb.Parity;
    line.WordLength = dcb.ByteSize;
    SERIAL_CHARS chars{};
    chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    chars.BreakChar = 0;
    chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    const SERIAL_HANDFLOW flow = HandFlowOf(dcb);

    if (!Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0)) {
        return FALSE;
    }
    // The lines are set by request only where the DCB leaves them to the application;
    // in a handshake mode the driver drives them from the flow settings.
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        const ULONG code =
            dcb.fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS;
        if (!Plain(hFile, code)) {
            return FALSE;
        }
    }
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        const ULONG code =
            dcb.fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR;
        if (!Plain(hFile, code)) {
            return FALSE;
        }
    }
    return Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0) &&
           Control(hFile, IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0) &&
           Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0);
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));
    return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                   sizeof(SERIAL_TIMEOUTS));
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(SERIAL_TIMEOUTS),
                   nullptr, 0);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpEvtMask == nullptr) {
        sim::win32::detail::ApplicationError(ERROR_NOACCESS, "WaitCommEvent: lpEvtMask is NULL");
        return FALSE;
    }
    // The word is 0 unless the wait succeeds: a failed wait copies nothing back.
    *lpEvtMask = 0;
    DWORD returned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD),
                           &returned, lpOverlapped);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status{};
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) {
            errors |= CE_RXOVER;
        }
        if (status.Errors & SERIAL_ERROR_OVERRUN) {
            errors |= CE_OVERRUN;
        }
        if (status.Errors & SERIAL_ERROR_PARITY) {
            errors |= CE_RXPARITY;
        }
        if (status.Errors & SERIAL_ERROR_FRAMING) {
            errors |= CE_FRAME;
        }
        if (status.Errors & SERIAL_ERROR_BREAK) {
            errors |= CE_BREAK;
        }
        *lpErrors = errors;
    }
    if (lpStat != nullptr) {
        COMSTAT stat{};
        const ULONG hold = status.HoldReasons;
        stat.fCtsHold = (hold & SERIAL_TX_WAITING_FOR_CTS) != 0;
        stat.fDsrHold = (hold & SERIAL_TX_WAITING_FOR_DSR) != 0;
        stat.fRlsdHold = (hold & SERIAL_TX_WAITING_FOR_DCD) != 0;
        stat.fXoffHold = (hold & SERIAL_TX_WAITING_FOR_XON) != 0;
        stat.fXoffSent = (hold & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        stat.fEof = status.EofReceived != 0;
        stat.fTxim = status.WaitForImmediate != 0;
        stat.cbInQue = status.AmountInInQueue;
        stat.cbOutQue = status.AmountInOutQueue;
        *lpStat = stat;
    }
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    // Indexed by the function code.
    static const ULONG kCodes[] = {
        0,                              // 0: none
        IOCTL_SERIAL_SET_XOFF,          // SETXOFF
        IOCTL_SERIAL_SET_XON,           // SETXON
        IOCTL_SERIAL_SET_RTS,           // SETRTS
        IOCTL_SERIAL_CLR_RTS,           // CLRRTS
        IOCTL_SERIAL_SET_DTR,           // SETDTR
        IOCTL_SERIAL_CLR_DTR,           // CLRDTR
        IOCTL_SERIAL_RESET_DEVICE,      // RESETDEV
        IOCTL_SERIAL_SET_BREAK_ON,      // SETBREAK
        IOCTL_SERIAL_SET_BREAK_OFF,     // CLRBREAK
    };
    static_assert(sizeof kCodes / sizeof kCodes[0] == CLRBREAK + 1);
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Plain(hFile, kCodes[dwFunc]);
}

BOOL SetCommBreak(HANDLE hFile)
{
    return Plain(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL ClearCommBreak(HANDLE hFile)
{
    return Plain(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    // The MS_*_ON bits are the driver's SERIAL_*_STATE bits.
    return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    const SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar)
{
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, sizeof cChar, nullptr, 0);
}
