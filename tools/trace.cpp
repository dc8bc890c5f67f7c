// The request trace's lines and the name tables behind them.
//
// A line: time, thread, IRQL, IRP, arrow, request, then the outcome or the detail.
//
//     1.234567 pnp          PASSIVE  irp#12     -> IRP_MJ_PNP/IRP_MN_START_DEVICE
//     1.234901 pnp          PASSIVE  irp#12     <- IRP_MJ_PNP/IRP_MN_START_DEVICE   (padded) STATUS_SUCCESS  info 0
//
// The request column is wide enough for a URB submission and every request the driver
// answers, so that statuses line up; what varies in length (a URB's function and
// length, a read's length) comes last.
#include "tools/trace.h"

#include <cinttypes>
#include <memory>
#include <mutex>

namespace tool {

namespace {

constexpr int kRequestWidth = 60;
constexpr int kStatusWidth = 30;

std::string Hex(unsigned long value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

template <typename T>
struct Named {
    T value;
    const char *name;
};
#define NAMED(x) {x, #x}

template <typename T, size_t N>
const char *Find(const Named<T> (&table)[N], T value)
{
    for (const auto &entry : table) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

const Named<NTSTATUS> kStatuses[] = {
    NAMED(STATUS_SUCCESS),
    NAMED(STATUS_ALERTED),
    NAMED(STATUS_TIMEOUT),
    NAMED(STATUS_PENDING),
    NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_NO_MORE_ENTRIES),
    NAMED(STATUS_DEVICE_BUSY),
    NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED),
    {(NTSTATUS)0xC0000005L, "STATUS_ACCESS_VIOLATION"},
    NAMED(STATUS_INVALID_HANDLE),
    NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST),
    {(NTSTATUS)0xC0000011L, "STATUS_END_OF_FILE"},
    NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_NO_MEMORY),
    NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_NAME_INVALID),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_OBJECT_NAME_COLLISION),
    NAMED(STATUS_OBJECT_PATH_NOT_FOUND),
    NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INTEGER_OVERFLOW),
    NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_DATA_ERROR),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_DEVICE_POWER_FAILURE),
    NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_IO_TIMEOUT),
    NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_DEVICE_DOES_NOT_EXIST),
    NAMED(STATUS_INTERNAL_ERROR),
    NAMED(STATUS_CANCELLED),
    NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_INVALID_BUFFER_SIZE),
    NAMED(STATUS_NOT_FOUND),
    NAMED(STATUS_DEVICE_REMOVED),
};

const char *const kMajors[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

const Named<UCHAR> kPnpMinors[] = {
    NAMED(IRP_MN_START_DEVICE),
    NAMED(IRP_MN_QUERY_REMOVE_DEVICE),
    NAMED(IRP_MN_REMOVE_DEVICE),
    NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),
    NAMED(IRP_MN_STOP_DEVICE),
    NAMED(IRP_MN_QUERY_STOP_DEVICE),
    NAMED(IRP_MN_CANCEL_STOP_DEVICE),
    NAMED(IRP_MN_QUERY_DEVICE_RELATIONS),
    NAMED(IRP_MN_QUERY_INTERFACE),
    NAMED(IRP_MN_QUERY_CAPABILITIES),
    NAMED(IRP_MN_QUERY_RESOURCES),
    NAMED(IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
    NAMED(IRP_MN_QUERY_DEVICE_TEXT),
    NAMED(IRP_MN_FILTER_RESOURCE_REQUIREMENTS),
    NAMED(IRP_MN_READ_CONFIG),
    NAMED(IRP_MN_WRITE_CONFIG),
    NAMED(IRP_MN_EJECT),
    NAMED(IRP_MN_SET_LOCK),
    NAMED(IRP_MN_QUERY_ID),
    NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE),
    NAMED(IRP_MN_QUERY_BUS_INFORMATION),
    NAMED(IRP_MN_DEVICE_USAGE_NOTIFICATION),
    NAMED(IRP_MN_SURPRISE_REMOVAL),
    NAMED(IRP_MN_QUERY_LEGACY_BUS_INFORMATION),
    NAMED(IRP_MN_DEVICE_ENUMERATED),
};

const Named<UCHAR> kPowerMinors[] = {
    NAMED(IRP_MN_WAIT_WAKE),
    NAMED(IRP_MN_POWER_SEQUENCE),
    NAMED(IRP_MN_SET_POWER),
    NAMED(IRP_MN_QUERY_POWER),
};

struct NamedIoctl {
    ULONG code;
    bool internal;  // an IRP_MJ_INTERNAL_DEVICE_CONTROL code
    const char *name;
};
#define IOCTL(x) {x, false, #x}
#define INTERNAL(x) {x, true, #x}

const NamedIoctl kIoctls[] = {
    IOCTL(IOCTL_SERIAL_SET_BAUD_RATE),
    IOCTL(IOCTL_SERIAL_SET_QUEUE_SIZE),
    IOCTL(IOCTL_SERIAL_SET_LINE_CONTROL),
    IOCTL(IOCTL_SERIAL_SET_BREAK_ON),
    IOCTL(IOCTL_SERIAL_SET_BREAK_OFF),
    IOCTL(IOCTL_SERIAL_IMMEDIATE_CHAR),
    IOCTL(IOCTL_SERIAL_SET_TIMEOUTS),
    IOCTL(IOCTL_SERIAL_GET_TIMEOUTS),
    IOCTL(IOCTL_SERIAL_SET_DTR),
    IOCTL(IOCTL_SERIAL_CLR_DTR),
    IOCTL(IOCTL_SERIAL_RESET_DEVICE),
    IOCTL(IOCTL_SERIAL_SET_RTS),
    IOCTL(IOCTL_SERIAL_CLR_RTS),
    IOCTL(IOCTL_SERIAL_SET_XOFF),
    IOCTL(IOCTL_SERIAL_SET_XON),
    IOCTL(IOCTL_SERIAL_GET_WAIT_MASK),
    IOCTL(IOCTL_SERIAL_SET_WAIT_MASK),
    IOCTL(IOCTL_SERIAL_WAIT_ON_MASK),
    IOCTL(IOCTL_SERIAL_PURGE),
    IOCTL(IOCTL_SERIAL_GET_BAUD_RATE),
    IOCTL(IOCTL_SERIAL_GET_LINE_CONTROL),
    IOCTL(IOCTL_SERIAL_GET_CHARS),
    IOCTL(IOCTL_SERIAL_SET_CHARS),
    IOCTL(IOCTL_SERIAL_GET_HANDFLOW),
    IOCTL(IOCTL_SERIAL_SET_HANDFLOW),
    IOCTL(IOCTL_SERIAL_GET_MODEMSTATUS),
    IOCTL(IOCTL_SERIAL_GET_COMMSTATUS),
    IOCTL(IOCTL_SERIAL_XOFF_COUNTER),
    IOCTL(IOCTL_SERIAL_GET_PROPERTIES),
    IOCTL(IOCTL_SERIAL_GET_DTRRTS),
    IOCTL(IOCTL_SERIAL_LSRMST_INSERT),
    IOCTL(IOCTL_SERIAL_CONFIG_SIZE),
    IOCTL(IOCTL_SERIAL_GET_COMMCONFIG),
    IOCTL(IOCTL_SERIAL_SET_COMMCONFIG),
    IOCTL(IOCTL_SERIAL_GET_STATS),
    IOCTL(IOCTL_SERIAL_CLEAR_STATS),
    IOCTL(IOCTL_SERIAL_GET_MODEM_CONTROL),
    IOCTL(IOCTL_SERIAL_SET_MODEM_CONTROL),
    IOCTL(IOCTL_SERIAL_SET_FIFO_CONTROL),
    INTERNAL(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE),
    INTERNAL(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE),
    INTERNAL(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS),
    INTERNAL(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS),
    INTERNAL(IOCTL_INTERNAL_USB_SUBMIT_URB),
    INTERNAL(IOCTL_INTERNAL_USB_RESET_PORT),
    INTERNAL(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO),
    INTERNAL(IOCTL_INTERNAL_USB_GET_PORT_STATUS),
    INTERNAL(IOCTL_INTERNAL_USB_ENABLE_PORT),
    INTERNAL(IOCTL_INTERNAL_USB_CYCLE_PORT),
};

const Named<USHORT> kUrbFunctions[] = {
    NAMED(URB_FUNCTION_SELECT_CONFIGURATION),
    NAMED(URB_FUNCTION_SELECT_INTERFACE),
    NAMED(URB_FUNCTION_ABORT_PIPE),
    NAMED(URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL),
    NAMED(URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL),
    NAMED(URB_FUNCTION_GET_FRAME_LENGTH),
    NAMED(URB_FUNCTION_SET_FRAME_LENGTH),
    NAMED(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER),
    NAMED(URB_FUNCTION_CONTROL_TRANSFER),
    NAMED(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
    NAMED(URB_FUNCTION_ISOCH_TRANSFER),
    NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
    NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE),
    NAMED(URB_FUNCTION_SET_FEATURE_TO_DEVICE),
    NAMED(URB_FUNCTION_SET_FEATURE_TO_INTERFACE),
    NAMED(URB_FUNCTION_SET_FEATURE_TO_ENDPOINT),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT),
    NAMED(URB_FUNCTION_GET_STATUS_FROM_DEVICE),
    NAMED(URB_FUNCTION_GET_STATUS_FROM_INTERFACE),
    NAMED(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT),
    NAMED(URB_FUNCTION_VENDOR_DEVICE),
    NAMED(URB_FUNCTION_VENDOR_INTERFACE),
    NAMED(URB_FUNCTION_VENDOR_ENDPOINT),
    NAMED(URB_FUNCTION_CLASS_DEVICE),
    NAMED(URB_FUNCTION_CLASS_INTERFACE),
    NAMED(URB_FUNCTION_CLASS_ENDPOINT),
    NAMED(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
    NAMED(URB_FUNCTION_CLASS_OTHER),
    NAMED(URB_FUNCTION_VENDOR_OTHER),
    NAMED(URB_FUNCTION_GET_STATUS_FROM_OTHER),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_OTHER),
    NAMED(URB_FUNCTION_SET_FEATURE_TO_OTHER),
    NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT),
    NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT),
    NAMED(URB_FUNCTION_GET_CONFIGURATION),
    NAMED(URB_FUNCTION_GET_INTERFACE),
    NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE),
    NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE),
    NAMED(URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR),
    NAMED(URB_FUNCTION_SYNC_RESET_PIPE),
    NAMED(URB_FUNCTION_SYNC_CLEAR_STALL),
    NAMED(URB_FUNCTION_CONTROL_TRANSFER_EX),
};

const Named<USBD_STATUS> kUsbdStatuses[] = {
    NAMED(USBD_STATUS_SUCCESS),
    NAMED(USBD_STATUS_PENDING),
    NAMED(USBD_STATUS_CRC),
    NAMED(USBD_STATUS_BTSTUFF),
    NAMED(USBD_STATUS_DATA_TOGGLE_MISMATCH),
    NAMED(USBD_STATUS_STALL_PID),
    NAMED(USBD_STATUS_DEV_NOT_RESPONDING),
    NAMED(USBD_STATUS_PID_CHECK_FAILURE),
    NAMED(USBD_STATUS_UNEXPECTED_PID),
    NAMED(USBD_STATUS_DATA_OVERRUN),
    NAMED(USBD_STATUS_DATA_UNDERRUN),
    NAMED(USBD_STATUS_BUFFER_OVERRUN),
    NAMED(USBD_STATUS_BUFFER_UNDERRUN),
    NAMED(USBD_STATUS_NOT_ACCESSED),
    NAMED(USBD_STATUS_FIFO),
    NAMED(USBD_STATUS_XACT_ERROR),
    NAMED(USBD_STATUS_BABBLE_DETECTED),
    NAMED(USBD_STATUS_DATA_BUFFER_ERROR),
    NAMED(USBD_STATUS_ENDPOINT_HALTED),
    NAMED(USBD_STATUS_INVALID_URB_FUNCTION),
    NAMED(USBD_STATUS_INVALID_PARAMETER),
    NAMED(USBD_STATUS_ERROR_BUSY),
    NAMED(USBD_STATUS_INVALID_PIPE_HANDLE),
    NAMED(USBD_STATUS_NO_BANDWIDTH),
    NAMED(USBD_STATUS_INTERNAL_HC_ERROR),
    NAMED(USBD_STATUS_ERROR_SHORT_TRANSFER),
    NAMED(USBD_STATUS_BAD_START_FRAME),
    NAMED(USBD_STATUS_ISOCH_REQUEST_FAILED),
    NAMED(USBD_STATUS_FRAME_CONTROL_OWNED),
    NAMED(USBD_STATUS_FRAME_CONTROL_NOT_OWNED),
    NAMED(USBD_STATUS_NOT_SUPPORTED),
    NAMED(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR),
    NAMED(USBD_STATUS_INSUFFICIENT_RESOURCES),
    NAMED(USBD_STATUS_SET_CONFIG_FAILED),
    NAMED(USBD_STATUS_BUFFER_TOO_SMALL),
    NAMED(USBD_STATUS_INTERFACE_NOT_FOUND),
    NAMED(USBD_STATUS_INAVLID_PIPE_FLAGS),
    NAMED(USBD_STATUS_TIMEOUT),
    NAMED(USBD_STATUS_DEVICE_GONE),
    NAMED(USBD_STATUS_STATUS_NOT_MAPPED),
    NAMED(USBD_STATUS_HUB_INTERNAL_ERROR),
    NAMED(USBD_STATUS_CANCELED),
};

#undef NAMED
#undef IOCTL
#undef INTERNAL

void Pad(std::string &text, size_t width)
{
    text.append(text.size() < width ? width - text.size() : 0, ' ');
    text += ' ';
}

// The request: "IRP_MJ_PNP/IRP_MN_START_DEVICE", "IRP_MJ_DEVICE_CONTROL/IOCTL_SERIAL_PURGE".
std::string RequestName(const sim::io::RequestEvent &event)
{
    std::string name = MajorName(event.major);
    std::string second;
    if (event.major == IRP_MJ_DEVICE_CONTROL || event.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        second = IoctlName(event.ioControlCode, event.major == IRP_MJ_INTERNAL_DEVICE_CONTROL);
    } else {
        second = MinorName(event.major, event.minor);
    }
    if (!second.empty()) {
        name += '/';
        name += second;
    }
    return name;
}

// What the request asks for: a length, a power state, a URB.
std::string Detail(const sim::io::RequestEvent &event)
{
    std::string detail;
    if (event.major == IRP_MJ_READ || event.major == IRP_MJ_WRITE) {
        detail = "len " + std::to_string(event.length);
    }
    if (event.hasPower) {
        detail = PowerStateName(event.powerType, event.powerState);
    }
    if (event.hasUrb) {
        detail = UrbFunctionName(event.urbFunction);
        if (event.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            detail += (event.urbTransferFlags & USBD_TRANSFER_DIRECTION_IN) ? " in " : " out ";
            detail += std::to_string(event.urbTransferLength);
        }
        if (event.kind == sim::io::RequestEvent::Kind::CameBack) {
            detail += ' ';
            detail += UsbdStatusName(event.urbStatus);
        }
    }
    return detail;
}

struct Trace {
    std::mutex lock;  // the output and the tracer, against StartTrace/StopTrace
    std::FILE *out = nullptr;
    Tracer tracer;
};

}  // namespace

const char *MajorName(UCHAR major)
{
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? kMajors[major] : "IRP_MJ_(invalid)";
}

std::string MinorName(UCHAR major, UCHAR minor)
{
    const char *name = nullptr;
    if (major == IRP_MJ_PNP) {
        name = Find(kPnpMinors, minor);
    } else if (major == IRP_MJ_POWER) {
        name = Find(kPowerMinors, minor);
    } else if (minor == 0) {
        return {};
    }
    return name != nullptr ? name : Hex(minor, 2);
}

std::string IoctlName(ULONG code, bool internal)
{
    const char *any = nullptr;
    for (const NamedIoctl &entry : kIoctls) {
        if (entry.code == code) {
            if (entry.internal == internal) {
                return entry.name;
            }
            any = entry.name;
        }
    }
    return any != nullptr ? any : Hex(code, 8);
}

std::string StatusName(NTSTATUS status)
{
    const char *name = Find(kStatuses, status);
    return name != nullptr ? name : Hex((ULONG)status, 8);
}

std::string UrbFunctionName(USHORT function)
{
    const char *name = Find(kUrbFunctions, function);
    return name != nullptr ? name : "URB_FUNCTION_" + Hex(function, 4);
}

std::string UsbdStatusName(USBD_STATUS status)
{
    const char *name = Find(kUsbdStatuses, status);
    return name != nullptr ? name : "USBD_STATUS_" + Hex((ULONG)status, 8);
}

std::string PowerStateName(POWER_STATE_TYPE type, ULONG state)
{
    if (type == SystemPowerState) {
        if (state >= PowerSystemWorking && state <= PowerSystemShutdown) {
            return "S" + std::to_string(state - PowerSystemWorking);
        }
        return "S?(" + std::to_string(state) + ")";
    }
    if (state >= PowerDeviceD0 && state <= PowerDeviceD3) {
        return "D" + std::to_string(state - PowerDeviceD0);
    }
    return "D?(" + std::to_string(state) + ")";
}

std::string IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE";
    case APC_LEVEL:
        return "APC";
    case DISPATCH_LEVEL:
        return "DISPATCH";
    default:
        return "IRQL " + std::to_string(irql);
    }
}

std::string Tracer::Line(const sim::io::RequestEvent &event)
{
    using Kind = sim::io::RequestEvent::Kind;
    const Key key{event.irpId, event.device};
    const char *arrow = "";
    bool outcome = false;
    switch (event.kind) {
    case Kind::Enter:
        running_[key] = Left{};
        arrow = "->";
        break;
    case Kind::Return: {
        // Said already by the Leave when the request left the driver, with the same
        // status, before its dispatch routine returned.
        auto it = running_.find(key);
        const bool folded = it != running_.end() && it->second.left && it->second.status == event.status;
        if (it != running_.end()) {
            running_.erase(it);
        }
        if (folded) {
            return {};
        }
        arrow = "..";
        break;
    }
    case Kind::Leave: {
        auto it = running_.find(key);
        if (it != running_.end()) {
            it->second = Left{true, event.status};
        }
        arrow = "<-";
        outcome = true;
        break;
    }
    case Kind::SendDown:
        arrow = "=>";
        break;
    case Kind::CameBack:
        arrow = "<=";
        outcome = true;
        break;
    }

    char head[96];
    const int64_t micros = event.time / 10;
    std::snprintf(head, sizeof head, "%5" PRId64 ".%06" PRId64 " %-12s %-8s irp#%-6" PRIu64 " %s ",
                  micros / 1000000, micros % 1000000, event.thread, IrqlName(event.irql).c_str(),
                  event.irpId, arrow);
    std::string line = head;
    line += RequestName(event);
    const std::string detail = Detail(event);
    if (event.kind == Kind::Return) {
        Pad(line, std::string(head).size() + kRequestWidth);
        line += "returned " + StatusName(event.status);
    } else if (outcome) {
        Pad(line, std::string(head).size() + kRequestWidth);
        std::string status = StatusName(event.status);
        Pad(status, kStatusWidth);
        line += status + "info " + std::to_string(event.information);
        if (!detail.empty()) {
            line += "  " + detail;
        }
    } else if (!detail.empty()) {
        Pad(line, std::string(head).size() + kRequestWidth);
        line += detail;
    }
    return line;
}

namespace {

Trace &T()
{
    static Trace trace;
    return trace;
}

}  // namespace

void StartTrace(PDRIVER_OBJECT driver, std::FILE *out)
{
    StopTrace();
    {
        std::lock_guard<std::mutex> guard(T().lock);
        T().out = out;
        T().tracer = Tracer{};
    }
    sim::io::SetRequestObserver(driver, [](const sim::io::RequestEvent &event) {
        Trace &trace = T();
        std::lock_guard<std::mutex> guard(trace.lock);
        if (trace.out == nullptr) {
            return;
        }
        std::string line = trace.tracer.Line(event);
        if (!line.empty()) {
            line += '\n';
            std::fputs(line.c_str(), trace.out);
        }
    });
}

void StopTrace()
{
    // When this returns the hook no longer calls the observer.
    sim::io::SetRequestObserver(nullptr, {});
    std::lock_guard<std::mutex> guard(T().lock);
    if (T().out != nullptr) {
        std::fflush(T().out);
        T().out = nullptr;
    }
}

}  // namespace tool
