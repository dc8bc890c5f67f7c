#include "tools/scenario/names.h"

#include "kernel/kernel.h"
#include "sim/obex/protocol.h"
#include "sim/win32/windows.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace tool::scenario {

#define N(x) {#x, static_cast<uint64_t>(static_cast<uint32_t>(x))}

const NameTable kNtStatus("an NTSTATUS name", {
    N(STATUS_SUCCESS), N(STATUS_PENDING), N(STATUS_TIMEOUT), N(STATUS_UNSUCCESSFUL),
    N(STATUS_NOT_IMPLEMENTED), N(STATUS_INVALID_HANDLE), N(STATUS_INVALID_PARAMETER),
    N(STATUS_NO_SUCH_DEVICE), N(STATUS_INVALID_DEVICE_REQUEST), N(STATUS_NO_MEMORY),
    N(STATUS_ACCESS_DENIED), N(STATUS_BUFFER_TOO_SMALL), N(STATUS_BUFFER_OVERFLOW),
    N(STATUS_OBJECT_NAME_INVALID), N(STATUS_OBJECT_NAME_NOT_FOUND), N(STATUS_OBJECT_NAME_COLLISION),
    N(STATUS_OBJECT_PATH_NOT_FOUND), N(STATUS_DELETE_PENDING), N(STATUS_INSUFFICIENT_RESOURCES),
    N(STATUS_DEVICE_DATA_ERROR), N(STATUS_DEVICE_NOT_CONNECTED), N(STATUS_DEVICE_POWER_FAILURE),
    N(STATUS_DEVICE_NOT_READY), N(STATUS_DEVICE_BUSY), N(STATUS_IO_TIMEOUT), N(STATUS_NOT_SUPPORTED),
    N(STATUS_INTERNAL_ERROR), N(STATUS_CANCELLED), N(STATUS_INVALID_DEVICE_STATE),
    N(STATUS_DEVICE_DOES_NOT_EXIST), N(STATUS_DEVICE_REMOVED), N(STATUS_NOT_FOUND),
    N(STATUS_INVALID_BUFFER_SIZE), N(STATUS_INTEGER_OVERFLOW), N(STATUS_NO_MORE_ENTRIES),
});

const NameTable kUsbdStatus("a USBD status name", {
    N(USBD_STATUS_SUCCESS), N(USBD_STATUS_CRC), N(USBD_STATUS_BTSTUFF),
    N(USBD_STATUS_DATA_TOGGLE_MISMATCH), N(USBD_STATUS_STALL_PID), N(USBD_STATUS_DEV_NOT_RESPONDING),
    N(USBD_STATUS_PID_CHECK_FAILURE), N(USBD_STATUS_UNEXPECTED_PID), N(USBD_STATUS_DATA_OVERRUN),
    N(USBD_STATUS_DATA_UNDERRUN), N(USBD_STATUS_BUFFER_OVERRUN), N(USBD_STATUS_BUFFER_UNDERRUN),
    N(USBD_STATUS_NOT_ACCESSED), N(USBD_STATUS_FIFO), N(USBD_STATUS_XACT_ERROR),
    N(USBD_STATUS_BABBLE_DETECTED), N(USBD_STATUS_DATA_BUFFER_ERROR), N(USBD_STATUS_ENDPOINT_HALTED),
    N(USBD_STATUS_INVALID_URB_FUNCTION), N(USBD_STATUS_INVALID_PARAMETER), N(USBD_STATUS_ERROR_BUSY),
    N(USBD_STATUS_INVALID_PIPE_HANDLE), N(USBD_STATUS_NO_BANDWIDTH), N(USBD_STATUS_INTERNAL_HC_ERROR),
    N(USBD_STATUS_ERROR_SHORT_TRANSFER), N(USBD_STATUS_TIMEOUT), N(USBD_STATUS_DEVICE_GONE),
    N(USBD_STATUS_CANCELED), N(USBD_STATUS_NOT_SUPPORTED), N(USBD_STATUS_INSUFFICIENT_RESOURCES),
});

const NameTable kIoctls("a serial control code", {
    N(IOCTL_SERIAL_SET_BAUD_RATE), N(IOCTL_SERIAL_GET_BAUD_RATE), N(IOCTL_SERIAL_SET_QUEUE_SIZE),
    N(IOCTL_SERIAL_SET_LINE_CONTROL), N(IOCTL_SERIAL_GET_LINE_CONTROL), N(IOCTL_SERIAL_SET_BREAK_ON),
    N(IOCTL_SERIAL_SET_BREAK_OFF), N(IOCTL_SERIAL_IMMEDIATE_CHAR), N(IOCTL_SERIAL_SET_TIMEOUTS),
    N(IOCTL_SERIAL_GET_TIMEOUTS), N(IOCTL_SERIAL_SET_DTR), N(IOCTL_SERIAL_CLR_DTR),
    N(IOCTL_SERIAL_RESET_DEVICE), N(IOCTL_SERIAL_SET_RTS), N(IOCTL_SERIAL_CLR_RTS),
    N(IOCTL_SERIAL_SET_XOFF), N(IOCTL_SERIAL_SET_XON), N(IOCTL_SERIAL_GET_WAIT_MASK),
    N(IOCTL_SERIAL_SET_WAIT_MASK), N(IOCTL_SERIAL_WAIT_ON_MASK), N(IOCTL_SERIAL_PURGE),
    N(IOCTL_SERIAL_GET_CHARS), N(IOCTL_SERIAL_SET_CHARS), N(IOCTL_SERIAL_GET_HANDFLOW),
    N(IOCTL_SERIAL_SET_HANDFLOW), N(IOCTL_SERIAL_GET_MODEMSTATUS), N(IOCTL_SERIAL_GET_COMMSTATUS),
    N(IOCTL_SERIAL_XOFF_COUNTER), N(IOCTL_SERIAL_GET_PROPERTIES), N(IOCTL_SERIAL_GET_DTRRTS),
    N(IOCTL_SERIAL_LSRMST_INSERT), N(IOCTL_SERIAL_CONFIG_SIZE), N(IOCTL_SERIAL_GET_COMMCONFIG),
    N(IOCTL_SERIAL_SET_COMMCONFIG), N(IOCTL_SERIAL_GET_STATS), N(IOCTL_SERIAL_CLEAR_STATS),
    N(IOCTL_SERIAL_GET_MODEM_CONTROL), N(IOCTL_SERIAL_SET_MODEM_CONTROL),
    N(IOCTL_SERIAL_SET_FIFO_CONTROL),
});

#undef N

const NameTable kEvents("an event", {
    {"rxchar", EV_RXCHAR}, {"rxflag", EV_RXFLAG}, {"txempty", EV_TXEMPTY}, {"cts", EV_CTS},
    {"dsr", EV_DSR}, {"rlsd", EV_RLSD}, {"break", EV_BREAK}, {"err", EV_ERR}, {"ring", EV_RING},
    {"perr", EV_PERR}, {"rx80full", EV_RX80FULL}, {"event1", EV_EVENT1}, {"event2", EV_EVENT2},
});
const NameTable kPurges("a purge flag", {
    {"txabort", PURGE_TXABORT}, {"rxabort", PURGE_RXABORT}, {"txclear", PURGE_TXCLEAR},
    {"rxclear", PURGE_RXCLEAR},
});
const NameTable kEscapes("an escape function", {
    {"setxoff", SETXOFF}, {"setxon", SETXON}, {"setrts", SETRTS}, {"clrrts", CLRRTS},
    {"setdtr", SETDTR}, {"clrdtr", CLRDTR}, {"resetdev", RESETDEV}, {"setbreak", SETBREAK},
    {"clrbreak", CLRBREAK},
});
const NameTable kModemBits("a modem line", {
    {"cts", MS_CTS_ON}, {"dsr", MS_DSR_ON}, {"ring", MS_RING_ON}, {"rlsd", MS_RLSD_ON},
});
const NameTable kCommErrors("a comm error", {
    {"rxover", CE_RXOVER}, {"overrun", CE_OVERRUN}, {"rxparity", CE_RXPARITY}, {"frame", CE_FRAME},
    {"break", CE_BREAK}, {"txfull", CE_TXFULL}, {"ioe", CE_IOE}, {"mode", CE_MODE},
});
const NameTable kParities("a parity", {
    {"none", NOPARITY}, {"odd", ODDPARITY}, {"even", EVENPARITY}, {"mark", MARKPARITY},
    {"space", SPACEPARITY},
});
const NameTable kStopBits("a stop bit count", {{"1", ONESTOPBIT}, {"1.5", ONE5STOPBITS}, {"2", TWOSTOPBITS}});
const NameTable kLineControl("a line control", {
    {"off", DTR_CONTROL_DISABLE}, {"on", DTR_CONTROL_ENABLE}, {"handshake", DTR_CONTROL_HANDSHAKE},
    {"toggle", RTS_CONTROL_TOGGLE},
});
const NameTable kObexResponses("an OBEX response", {
    {"continue", sim::obex::kContinue}, {"success", sim::obex::kSuccess},
    {"bad-request", sim::obex::kBadRequest}, {"forbidden", sim::obex::kForbidden},
    {"not-found", sim::obex::kNotFound}, {"not-acceptable", sim::obex::kNotAcceptable},
    {"internal-error", sim::obex::kInternalError},
    {"service-unavailable", sim::obex::kServiceUnavailable}, {"transport-failure", 0},
});

std::optional<uint64_t> NameTable::Find(const std::string &name) const
{
    for (const Named &n : entries_) {
        if (strcasecmp(n.name, name.c_str()) == 0) {
            return n.value;
        }
    }
    return std::nullopt;
}

const char *NameTable::NameOf(uint64_t value) const
{
    for (const Named &n : entries_) {
        if (n.value == value) {
            return n.name;
        }
    }
    return nullptr;
}

std::string NameTable::Flags(uint64_t mask) const
{
    if (mask == 0) {
        return "none";
    }
    std::string out;
    for (const Named &n : entries_) {
        if (n.value != 0 && (mask & n.value) == n.value) {
            out += (out.empty() ? "" : " ") + std::string(n.name);
            mask &= ~n.value;
        }
    }
    if (mask != 0) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(mask));
        out += (out.empty() ? "" : " ") + std::string(hex);
    }
    return out;
}

std::string NameTable::List() const
{
    std::string out;
    for (const Named &n : entries_) {
        out += (out.empty() ? "" : ", ") + std::string(n.name);
    }
    return out;
}

std::optional<uint64_t> ParseCode(const NameTable &table, const std::string &text)
{
    if (auto value = table.Find(text)) {
        return value;
    }
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return value;
}

namespace {

std::string Describe(const NameTable &table, uint32_t value)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", value);
    const char *name = table.NameOf(value);
    return name != nullptr ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

}  // namespace

std::string DescribeStatus(int32_t status)
{
    return Describe(kNtStatus, static_cast<uint32_t>(status));
}

std::string DescribeUsbd(uint32_t status)
{
    return Describe(kUsbdStatus, status);
}

}  // namespace tool::scenario
