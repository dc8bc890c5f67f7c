// Helpers of the host Rtl layer that the rest of sim/ shares: the case mapping the
// object manager and the registry compare names with, conversions between counted
// strings, UTF-16 and UTF-8, the check of a counted string a driver passes in, and
// the formatting engine behind DbgPrint and swprintf. Callable from any thread.
#pragma once

#include "kernel/kernel.h"

#include <cstdarg>
#include <string>
#include <string_view>

namespace sim::rtl {

// Upper-case mapping as RtlUpcaseUnicodeChar applies it for the characters a name
// here can hold: ASCII and Latin-1. Other characters map to themselves (names in
// other scripts then compare case-sensitively, which no test or driver path needs).
char16_t Upcase(char16_t c);
std::u16string Upper(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix);

// The characters of a counted string (Length bytes; a NULL string or buffer is empty).
std::u16string FromCounted(PCUNICODE_STRING s);
// Characters up to the first NUL of a NUL-terminated wide string (NULL is empty).
std::u16string FromWide(PCWSTR s);
// UTF-16 to UTF-8 (unpaired surrogates become '?') and back.
std::string Narrow(std::u16string_view s);
std::u16string Widen(std::string_view s);

// Checks a counted string that a driver hands to a platform routine: Length even and
// not above MaximumLength, a buffer whenever Length is not zero. Reports
// InvalidParameter naming `routine` and returns false when it is malformed; a NULL
// pointer is malformed unless `optional`.
bool CheckCounted(PCUNICODE_STRING s, const char *routine, const char *parameter,
                  bool optional = false);

// Reports BlockingAtDispatch when the calling thread is above PASSIVE_LEVEL; for the
// routines whose documentation allows PASSIVE_LEVEL only. Returns false then.
bool RequirePassive(const char *routine);

// The formatting engine. Both flavours take the conversions of the kernel's C runtime
// with Windows (LLP64) argument sizes: %d %i %u %x %X %o %c %C %s %S %Z %wZ %p %%, the
// flags "-+ 0#", width and precision (digits or '*'), and the size prefixes h hh l ll
// w I I32 I64 z (l is 32 bits, as LONG is; I and z are 64). They differ as the C
// runtime's narrow and wide printf families do: in DbgPrint's narrow flavour %s and
// %c take narrow text and %S %C wide text; in swprintf's wide flavour it is the other
// way round. %ws/%ls/%wc/%lc are always wide, %hs/%hc always narrow, %wZ a
// UNICODE_STRING and %Z an ANSI_STRING. Not modelled: floating point, %n.
// `usedWide` (optional) is set when a wide argument (%ws, %S, %wZ, ...) was formatted.
// The argument list is the Microsoft x64 one: DbgPrint and swprintf are Microsoft-ABI
// variadic routines, as the kernel exports them.
using MsVaList = __builtin_ms_va_list;
std::string FormatNarrow(const char *format, MsVaList args, bool *usedWide = nullptr);
std::u16string FormatWide(const char16_t *format, MsVaList args);

}  // namespace sim::rtl
