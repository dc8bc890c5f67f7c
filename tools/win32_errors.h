// Names of the Win32 error codes the application API returns, both ways: for the
// program's messages ("ERROR_DEVICE_NOT_CONNECTED (1167)") and for scenario files
// that expect an error by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tool {

// "ERROR_FILE_NOT_FOUND"; nullptr for a code not in the table.
const char *Win32ErrorName(uint32_t code);
// "ERROR_FILE_NOT_FOUND (2)", or "error 4242" for a code not in the table.
std::string DescribeWin32Error(uint32_t code);
// The code of a name in the table, or of a decimal number; nullopt otherwise.
std::optional<uint32_t> ParseWin32Error(const std::string &text);

}  // namespace tool
