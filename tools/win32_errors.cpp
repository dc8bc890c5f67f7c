#include "tools/win32_errors.h"

#include "sim/win32/windows.h"

#include <cstdlib>
#include <iterator>

namespace tool {

namespace {

struct Name {
    uint32_t code;
    const char *name;
};

#define NAME(x) {static_cast<uint32_t>(x), #x}
const Name kNames[] = {
    NAME(ERROR_SUCCESS),
    NAME(ERROR_INVALID_FUNCTION),
    NAME(ERROR_FILE_NOT_FOUND),
    NAME(ERROR_PATH_NOT_FOUND),
    NAME(ERROR_ACCESS_DENIED),
    NAME(ERROR_INVALID_HANDLE),
    NAME(ERROR_NOT_ENOUGH_MEMORY),
    NAME(ERROR_BAD_COMMAND),
    NAME(ERROR_CRC),
    NAME(ERROR_NOT_READY),
    NAME(ERROR_GEN_FAILURE),
    NAME(ERROR_HANDLE_EOF),
    NAME(ERROR_NOT_SUPPORTED),
    NAME(ERROR_DEV_NOT_EXIST),
    NAME(ERROR_INVALID_PARAMETER),
    NAME(ERROR_SEM_TIMEOUT),
    NAME(ERROR_INSUFFICIENT_BUFFER),
    NAME(ERROR_INVALID_NAME),
    NAME(ERROR_BUSY),
    NAME(ERROR_ALREADY_EXISTS),
    NAME(ERROR_MORE_DATA),
    NAME(ERROR_NO_MORE_ITEMS),
    NAME(ERROR_MR_MID_NOT_FOUND),
    NAME(ERROR_ARITHMETIC_OVERFLOW),
    NAME(ERROR_OPERATION_ABORTED),
    NAME(ERROR_IO_INCOMPLETE),
    NAME(ERROR_IO_PENDING),
    NAME(ERROR_NOACCESS),
    NAME(ERROR_DEVICE_NOT_CONNECTED),
    NAME(ERROR_NOT_FOUND),
    NAME(ERROR_INTERNAL_ERROR),
    NAME(ERROR_NO_SYSTEM_RESOURCES),
    NAME(ERROR_INVALID_USER_BUFFER),
};
#undef NAME

}  // namespace

const char *Win32ErrorName(uint32_t code)
{
    for (const Name &n : kNames) {
        if (n.code == code) {
            return n.name;
        }
    }
    return nullptr;
}

std::string DescribeWin32Error(uint32_t code)
{
    if (const char *name = Win32ErrorName(code)) {
        return std::string(name) + " (" + std::to_string(code) + ")";
    }
    return "error " + std::to_string(code);
}

std::optional<uint32_t> ParseWin32Error(const std::string &text)
{
    for (const Name &n : kNames) {
        if (text == n.name) {
            return n.code;
        }
    }
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 9) {
        return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    }
    return std::nullopt;
}

}  // namespace tool
