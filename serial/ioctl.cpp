// The serial control requests of the emulated port: settings validated, stored and
// returned, queue levels reported from the ring and the write queue, the modem lines a
// loopback of the application's own output lines, and the requests that would act on a
// real line accepted without effect. Nothing is ever sent to the phone.
// Context: PASSIVE_LEVEL, in the application's thread, possibly several at once.
#include "serial/serial.h"

// The control codes are 0x1B0000 plus four times a function number from 1 to 39.
#define SERIAL_FUNCTION_COUNT 40
#define SERIAL_CODE_BASE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SERIAL_FUNCTION(code) (((code) >> 2) & 0xFFF)

// Modem status bits the loopback shows: DTR comes back as DSR, RTS as CTS with DCD.
#define MODEM_DTR_LOOPBACK SERIAL_DSR_STATE
#define MODEM_RTS_LOOPBACK (SERIAL_CTS_STATE | SERIAL_DCD_STATE)

// Wait-mask bits an application may ask for.
#define SERIAL_EV_VALID 0x1FFF

// Every error bit get-commstatus can report: a failed device shows them all.
#define SERIAL_ERRORS_ALL (SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | \
                           SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY)

// The smallest buffers each request needs, checked before either buffer is read.
typedef struct _SERIAL_BUFFER_RULE {
    ULONG MinInput;
    ULONG MinOutput;
} SERIAL_BUFFER_RULE;

static const SERIAL_BUFFER_RULE SerialBufferRules[SERIAL_FUNCTION_COUNT] = {
    /*  0 (none)             */ {0, 0},
    /*  1 SET_BAUD_RATE      */ {sizeof(SERIAL_BAUD_RATE), 0},
    /*  2 SET_QUEUE_SIZE     */ {0, 0},
    /*  3 SET_LINE_CONTROL   */ {sizeof(SERIAL_LINE_CONTROL), 0},
    /*  4 SET_BREAK_ON       */ {0, 0},
    /*  5 SET_BREAK_OFF      */ {0, 0},
    /*  6 IMMEDIATE_CHAR     */ {sizeof(UCHAR), 0},
    /*  7 SET_TIMEOUTS       */ {sizeof(SERIAL_TIMEOUTS), 0},
    /*  8 GET_TIMEOUTS       */ {0, sizeof(SERIAL_TIMEOUTS)},
    /*  9 SET_DTR            */ {0, 0},
    /* 10 CLR_DTR            */ {0, 0},
    /* 11 RESET_DEVICE       */ {0, 0},
    /* 12 SET_RTS            */ {0, 0},
    /* 13 CLR_RTS            */ {0, 0},
    /* 14 SET_XOFF           */ {0, 0},
    /* 15 SET_XON            */ {0, 0},
    /* 16 GET_WAIT_MASK      */ {0, sizeof(ULONG)},
    /* 17 SET_WAIT_MASK      */ {sizeof(ULONG), 0},
    /* 18 WAIT_ON_MASK       */ {0, 0},   // its own test, in WaitOnMaskIoctl
    /* 19 PURGE              */ {sizeof(ULONG), 0},
    /* 20 GET_BAUD_RATE      */ {0, sizeof(SERIAL_BAUD_RATE)},
    /* 21 GET_LINE_CONTROL   */ {0, sizeof(SERIAL_LINE_CONTROL)},
    /* 22 GET_CHARS          */ {0, sizeof(SERIAL_CHARS)},
    /* 23 SET_CHARS          */ {sizeof(SERIAL_CHARS), 0},
    /* 24 GET_HANDFLOW       */ {0, sizeof(SERIAL_HANDFLOW)},
    /* 25 SET_HANDFLOW       */ {sizeof(SERIAL_HANDFLOW), 0},
    /* 26 GET_MODEMSTATUS    */ {0, sizeof(ULONG)},
    /* 27 GET_COMMSTATUS     */ {0, sizeof(SERIAL_STATUS)},
    /* 28 XOFF_COUNTER       */ {0, 0},
    /* 29 GET_PROPERTIES     */ {0, sizeof(SERIAL_COMMPROP)},
    /* 30 GET_DTRRTS         */ {0, 0},
    /* 31 LSRMST_INSERT      */ {0, 0},
    /* 32 CONFIG_SIZE        */ {0, 0},
    /* 33 GET_COMMCONFIG     */ {0, 0},
    /* 34 SET_COMMCONFIG     */ {0, 0},
    /* 35 GET_STATS          */ {0, sizeof(SERIALPERF_STATS)},
    /* 36 CLEAR_STATS        */ {0, 0},
    /* 37 GET_MODEM_CONTROL  */ {0, 0},
    /* 38 SET_MODEM_CONTROL  */ {0, 0},
    /* 39 SET_FIFO_CONTROL   */ {0, 0},
};

// The rates set-baud-rate accepts. The properties record advertises more (75, 110,
// 150, 56000); those are refused all the same.
static const ULONG SerialBaudRates[] = {
    300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200, 128000,
};

static_assert(sizeof(SERIAL_BAUD_RATE) == 4 && sizeof(SERIAL_LINE_CONTROL) == 3 &&
                  sizeof(SERIAL_TIMEOUTS) == 20 && sizeof(SERIAL_HANDFLOW) == 16 &&
                  sizeof(SERIAL_CHARS) == 6 && sizeof(SERIAL_STATUS) == 20 &&
                  sizeof(SERIALPERF_STATS) == 24 && sizeof(SERIAL_COMMPROP) == 64,
              "the serial buffers have their published sizes");

static BOOLEAN IsSupportedBaudRate(ULONG Rate)
{
    BOOLEAN found = FALSE;

    for (ULONG i = 0; i < sizeof(SerialBaudRates) / sizeof(SerialBaudRates[0]); i++) {
        if (SerialBaudRates[i] == Rate) {
            found = TRUE;
        }
    }
    return found;
}

/*
 * FillProperties - the port's fixed capabilities record.
 * Context: any IRQL; Properties is the 64-byte output buffer.
 */
static VOID FillProperties(PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 |
                               SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 |
                               SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 |
                               SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
                               SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 |
                               SERIAL_BAUD_56K | SERIAL_BAUD_128K | SERIAL_BAUD_115200 |
                               SERIAL_BAUD_57600 | SERIAL_BAUD_USER;
    Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 |
                               SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 |
                                     SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    Properties->CurrentRxQueue = RX_RING_SIZE;
}

// Not analysed: DeviceFailure is written with DataLock and StateLock both held
// (DeclareDeviceFailed), so either makes a read safe; the analysis knows one guard.
static BOOLEAN DeviceFailedUnderDataLock(PDEVICE_EXTENSION Extension)
    REQUIRES(Extension->DataLock) NO_THREAD_SAFETY_ANALYSIS
{
    return (BOOLEAN)(Extension->DeviceFailure != 0);
}

/*
 * GetCommStatus - the queue levels, or every error bit once the device has failed.
 * Context: PASSIVE_LEVEL, no lock held; takes DataLock.
 */
static VOID GetCommStatus(PDEVICE_EXTENSION Extension, PSERIAL_STATUS Status)
{
    LONG received;
    KIRQL irql;

    RtlZeroMemory(Status, sizeof(SERIAL_STATUS));
    received = *(volatile LONG *)&Extension->RxRing.Count;
    irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
    if (DeviceFailedUnderDataLock(Extension)) {
        Status->Errors = SERIAL_ERRORS_ALL;
    } else {
        Status->HoldReasons = Extension->HoldReasons;
        Status->AmountInInQueue = (ULONG)received;
        Status->AmountInOutQueue = (ULONG)Extension->OutQueueBytes;
    }
    KeReleaseSpinLock(&Extension->DataLock, irql);
}

/*
 * Purge - the purge request: queued writes and reads cancelled, received bytes dropped,
 * as the mask asks, in that order. The write in progress and the bulk-in transfer in
 * flight are left alone.
 * Context: PASSIVE_LEVEL, no lock held.
 */
static VOID Purge(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, ULONG Mask)
{
    KIRQL irql;

    if (Mask & SERIAL_PURGE_TXABORT) {
        FlushWriteQueue(DeviceObject, &Extension->WriteQueue);
    }
    if (Mask & SERIAL_PURGE_RXABORT) {
        FlushReadQueue(DeviceObject, &Extension->ReadQueue);
    }
    if (Mask & SERIAL_PURGE_RXCLEAR) {
        irql = KeAcquireSpinLockRaiseToDpc(&Extension->DataLock);
        Extension->RxRing.Head = 0;
        Extension->RxRing.Tail = 0;
        Extension->RxRing.Count = 0;
        // The bytes the receive events told of are gone with them.
        Extension->PendingEvents &= ~(ULONG)RECEIVE_EVENTS;
        KeReleaseSpinLock(&Extension->DataLock, irql);
    }
    // SERIAL_PURGE_TXCLEAR: no transmit buffer exists to clear.
}

/*
 * SerialIoctl - one serial control request: its buffer test, then its action.
 * Context: PASSIVE_LEVEL, no lock held on entry or on exit; the caller holds the remove
 * lock with the IRP as tag.
 * Return: the request's status; the IRP is not completed here, except by the wait
 * branch, whose STATUS_PENDING leaves it (and its remove lock) to the wait module.
 * IoStatus.Information is the count of output bytes, 0 on failure.
 */
NTSTATUS SerialIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG function = SERIAL_FUNCTION(code);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    Irp->IoStatus.Information = 0;

    if (code != SERIAL_CODE_BASE + (function << 2) || function == 0 ||
        function >= SERIAL_FUNCTION_COUNT) {
        status = STATUS_INVALID_PARAMETER;
        goto out;
    }
    if (inLength < SerialBufferRules[function].MinInput ||
        outLength < SerialBufferRules[function].MinOutput) {
        status = STATUS_BUFFER_TOO_SMALL;
        goto out;
    }

    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        ULONG rate = ((PSERIAL_BAUD_RATE)buffer)->BaudRate;
        if (!IsSupportedBaudRate(rate)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->BaudRate = rate;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL line = *(PSERIAL_LINE_CONTROL)buffer;
        if (line.WordLength < 5 || line.WordLength > 8 || line.StopBits > STOP_BITS_2 ||
            line.Parity > SPACE_PARITY) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->LineControl = line;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->Timeouts = *(PSERIAL_TIMEOUTS)buffer;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PSERIAL_TIMEOUTS)buffer = extension->Timeouts;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        if (code == IOCTL_SERIAL_SET_DTR) {
            extension->ModemStatus |= MODEM_DTR_LOOPBACK;
        } else if (code == IOCTL_SERIAL_CLR_DTR) {
            extension->ModemStatus &= (USHORT)~MODEM_DTR_LOOPBACK;
        } else if (code == IOCTL_SERIAL_SET_RTS) {
            extension->ModemStatus |= MODEM_RTS_LOOPBACK;
        } else {
            extension->ModemStatus &= (USHORT)~MODEM_RTS_LOOPBACK;
        }
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PULONG)buffer = extension->WaitMask;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK: {
        ULONG mask = *(PULONG)buffer;
        if (mask & ~(ULONG)SERIAL_EV_VALID) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        // The waiter of the old mask is told first, with no event.
        CompleteWaitOnMask(extension, 0, FALSE);
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->WaitMask = mask;
        // An event the new mask does not ask for is not waited for any more.
        extension->PendingEvents &= mask;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    }
    case IOCTL_SERIAL_WAIT_ON_MASK:
        status = WaitOnMaskIoctl(extension, Irp);
        break;
    case IOCTL_SERIAL_PURGE:
        Purge(DeviceObject, extension, *(PULONG)buffer);
        // The caller's own mask is still in the system buffer; it comes back only when
        // the output buffer can hold it.
        Irp->IoStatus.Information = outLength >= sizeof(ULONG) ? sizeof(ULONG) : 0;
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        ((PSERIAL_BAUD_RATE)buffer)->BaudRate = extension->BaudRate;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PSERIAL_LINE_CONTROL)buffer = extension->LineControl;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        break;
    case IOCTL_SERIAL_GET_CHARS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PSERIAL_CHARS)buffer = extension->SpecialChars;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->SpecialChars = *(PSERIAL_CHARS)buffer;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PSERIAL_HANDFLOW)buffer = extension->HandFlow;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW: {
        // The limits belong to a real receive buffer; they are not stored.
        PSERIAL_HANDFLOW flow = (PSERIAL_HANDFLOW)buffer;
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->HandFlow.ControlHandShake = flow->ControlHandShake;
        extension->HandFlow.FlowReplace = flow->FlowReplace;
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    }
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PULONG)buffer = extension->ModemStatus;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
        GetCommStatus(extension, (PSERIAL_STATUS)buffer);
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        break;
    case IOCTL_SERIAL_GET_PROPERTIES:
        FillProperties((PSERIAL_COMMPROP)buffer);
        Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
        break;
    case IOCTL_SERIAL_GET_STATS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        *(PSERIALPERF_STATS)buffer = extension->PerfStats;
        KeReleaseSpinLock(&extension->DataLock, irql);
        Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        break;
    case IOCTL_SERIAL_CLEAR_STATS:
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        RtlZeroMemory(&extension->PerfStats, sizeof(SERIALPERF_STATS));
        KeReleaseSpinLock(&extension->DataLock, irql);
        break;
    case IOCTL_SERIAL_GET_COMMCONFIG:
    case IOCTL_SERIAL_SET_COMMCONFIG:
        status = STATUS_INVALID_PARAMETER;
        break;
    default:
        // Queue size, break, immediate character, XON/XOFF, reset, XOFF counter,
        // DTR/RTS and modem control, LSR/MST insertion, config size, FIFO control: a
        // real line's requests, accepted without effect.
        break;
    }

out:
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    return status;
}

/*
 * DispatchDeviceControl - IRP_MJ_DEVICE_CONTROL: admits a serial control request and
 * runs it.
 * Context: PASSIVE_LEVEL, no lock held on entry or on exit. The remove lock is held,
 * with the IRP as tag, while SerialIoctl runs.
 * Return: the request's status with the IRP completed here; or STATUS_PENDING for a
 * queued wait, which keeps the remove lock and belongs to the wait module.
 */
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN open;
    NTSTATUS status;
    KIRQL irql;

    Irp->IoStatus.Information = 0;

    // Cleanup clears IsOpen under DataLock; a request sent on a file object after its
    // cleanup is refused.
    irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
    open = extension->IsOpen;
    KeReleaseSpinLock(&extension->DataLock, irql);
    if (!open) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        goto complete;
    }
    // Get-commstatus stays answered, so that an application can read a failed device's
    // error state.
    if (code != IOCTL_SERIAL_GET_COMMSTATUS && IsDeviceUnavailable(extension)) {
        irql = KeAcquireSpinLockRaiseToDpc(&extension->DataLock);
        extension->PendingEvents = 0;
        KeReleaseSpinLock(&extension->DataLock, irql);
        status = STATUS_DELETE_PENDING;
        goto complete;
    }
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        goto complete;
    }

    status = SerialIoctl(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        goto out;
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);

complete:
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
out:
    return status;
}
