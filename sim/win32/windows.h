// The application API of the host platform: the Win32 file, overlapped I/O and
// communications functions with Windows' names, signatures, records and error
// behaviour, over the host I/O manager (sim/io/io.h). Application code and tests
// written against this header read like Windows serial code; on Windows the same
// code takes <windows.h> instead.
//
// Base types (HANDLE, DWORD, WORD, BYTE, ...) are the kernel's from kernel/host/ntdef.h;
// wide strings are 16-bit (LPCWSTR is const char16_t *, literals u"..."), since the
// host's own wchar_t is 32 bits.
//
// Threads: every function may be called from any application thread at PASSIVE_LEVEL;
// the last error is per thread. A request's completion (which sets an OVERLAPPED's
// Internal/InternalHigh and its event) runs in whatever context completes the IRP.
//
// Stricter than a Windows machine would notice: a call Windows documents as invalid
// (CreateFileW on a communications device with a share mode, a disposition other than
// OPEN_EXISTING or a template; ReadFile, WriteFile or DeviceIoControl with a NULL count
// and no OVERLAPPED) fails and is reported as the verifier's ApplicationError.
//
// As Windows does it: a handle without FILE_FLAG_OVERLAPPED carries one request at a
// time (a second thread's call waits); CloseHandle of the last handle returns after the
// cleanup, and IRP_MJ_CLOSE follows the last request still in flight (until then the
// exclusive device refuses a new open); a thread that exits has its requests still in
// flight cancelled.
//
// Not modelled (differences from Windows):
// - Only devices open: CreateFileW resolves \\.\X, \\?\X (as \??\X), \\?\GLOBALROOT\...
//   and \\.\GLOBALROOT\... (as the kernel name after GLOBALROOT) and a bare COM1..COM9
//   (COM10 and above only with the \\.\ prefix); anything else, a disk file included,
//   fails with ERROR_FILE_NOT_FOUND. The reserved name with a colon, an extension or a
//   directory in front ("COM1:", "COM1.txt") is not taken as the device. The access and
//   security attributes are not passed to the device.
// - CloseHandle does not wait for another thread's synchronous request on the handle.
// - A thread's requests are cancelled at its exit only while their handle is open, and
//   the exiting thread waits at most 10 s of real time for them to end.
// - No I/O completion ports, APCs or alertable waits (ReadFileEx, ...), no file
//   offsets (OVERLAPPED Offset/OffsetHigh are ignored), no
//   FILE_SKIP_SET_EVENT_ON_HANDLE. A handle's own signal is not modelled:
//   WaitForSingleObject takes events only. GetOverlappedResult with bWait waits for the
//   request's end itself rather than for its event (an auto-reset event stays
//   signalled). A request on an overlapped handle without an OVERLAPPED is waited for.
// - One process: handles live in one table for the whole run (a platform restart does
//   not close them; a handle from an earlier platform must not be used).
// - WaitForSingleObject timeouts are in real time, not the platform's virtual clock.
// - FlushFileBuffers and every communications function except WaitCommEvent wait for
//   their requests even on an overlapped handle.
// - SetCommState does not read the settings first nor put them back when a later
//   request fails (the published traces seen do not settle either); it sends
//   SERIAL_CHARS.BreakChar as 0 (the DCB has no such member);
//   GetCommState reports fBinary TRUE and fParity TRUE exactly when Parity is not
//   NOPARITY (neither travels in a request). fRtsControl's two bits hold only valid
//   values, so of the two line-control checks only an fDtrControl of 3 can fail.
//   SetCommState sends SET_/CLR_RTS and SET_/CLR_DTR only for the ENABLE and DISABLE
//   modes; a handshake or toggle mode sends neither and leaves the line to the driver.
#pragma once

#include "kernel/kernel.h"

// ---- types (beyond the kernel's base types)
typedef int BOOL, *PBOOL, *LPBOOL;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef WORD *LPWORD;
typedef HANDLE *LPHANDLE;
typedef const char *LPCSTR;
typedef LONG_PTR SSIZE_T;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;       // the request's NTSTATUS; STATUS_PENDING while in flight
    ULONG_PTR InternalHigh;   // the byte count (IoStatus.Information) once completed
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// The system writes the OVERLAPPED from another thread as the request ends (the byte
// count first, then the status), and an application may poll it meanwhile: the status
// is read here as the one word that says the rest is there.
inline bool HasOverlappedIoCompleted(const OVERLAPPED *lpOverlapped)
{
    return static_cast<DWORD>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)) !=
           static_cast<DWORD>(STATUS_PENDING);
}

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;
static_assert(sizeof(DCB) == 28, "DCB has the Windows layout");

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;
static_assert(sizeof(COMMPROP) == 64, "COMMPROP has the Windows layout");

// ---- constants
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF
#define MAXDWORD 0xffffffff
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

// GENERIC_READ and GENERIC_WRITE come from the kernel's headers.
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

#define THREAD_TERMINATE 0x0001

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002

// DCB
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

// Comm events (SetCommMask, WaitCommEvent)
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

// PurgeComm
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

// ClearCommError
#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010
#define CE_TXFULL 0x0100
#define CE_PTO 0x0200
#define CE_IOE 0x0400
#define CE_DNS 0x0800
#define CE_OOP 0x1000
#define CE_MODE 0x8000

// EscapeCommFunction
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

// GetCommModemStatus
#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

// COMMPROP
#define SP_SERIALCOMM 0x00000001
#define PST_RS232 0x00000001
#define PCF_DTRDSR 0x0001
#define PCF_RTSCTS 0x0002
#define PCF_RLSD 0x0004
#define PCF_PARITY_CHECK 0x0008
#define PCF_XONXOFF 0x0010
#define PCF_SETXCHAR 0x0020
#define PCF_TOTALTIMEOUTS 0x0040
#define PCF_INTTIMEOUTS 0x0080
#define PCF_SPECIALCHARS 0x0100
#define PCF_16BITMODE 0x0200
#define SP_PARITY 0x0001
#define SP_BAUD 0x0002
#define SP_DATABITS 0x0004
#define SP_STOPBITS 0x0008
#define SP_HANDSHAKING 0x0010
#define SP_PARITY_CHECK 0x0020
#define SP_RLSD 0x0040
#define BAUD_USER 0x10000000
#define DATABITS_8 0x0008
#define STOPBITS_10 0x0001
#define PARITY_NONE 0x0100

// Win32 error codes
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_CRC 23L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_ARITHMETIC_OVERFLOW 534L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_USER_BUFFER 1784L

// ---- errors
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
// The Win32 error an NTSTATUS becomes (ntdll's RtlNtStatusToDosError);
// ERROR_MR_MID_NOT_FOUND for a status without one.
ULONG RtlNtStatusToDosError(NTSTATUS Status);

// ---- handles and files
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
// Within the current process only: both process handles must be GetCurrentProcess().
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                     HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle, DWORD dwDesiredAccess,
                     BOOL bInheritHandle, DWORD dwOptions);
HANDLE GetCurrentProcess();

// ---- threads
DWORD GetCurrentThreadId();
// A handle to a thread of this process that is still running; NULL with
// ERROR_INVALID_PARAMETER for an id that names none. Closed with CloseHandle.
HANDLE OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId);
// Cancels the synchronous request the thread waits for (a call on a handle without
// FILE_FLAG_OVERLAPPED, or any call that waits for its request); ERROR_NOT_FOUND when
// it waits for none. Does not wait for the cancelled request to end.
BOOL CancelSynchronousIo(HANDLE hThread);

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL FlushFileBuffers(HANDLE hFile);

// ---- overlapped I/O and events
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the requests this thread issued on the handle.
BOOL CancelIo(HANDLE hFile);
// Cancels the request of lpOverlapped, or (NULL) every request on the handle, from
// any thread; ERROR_NOT_FOUND when there is none in flight.
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

// ---- communications
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL TransmitCommChar(HANDLE hFile, char cChar);
