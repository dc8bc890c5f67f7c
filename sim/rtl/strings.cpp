// The kernel's counted-string routines (UNICODE_STRING: Length and MaximumLength in
// bytes) and RtlCompareMemory, with the documented edge cases a driver can trip
// over: truncating copies, appends that refuse rather than truncate, a NUL written
// only when there is room for it. Callable from any thread; the routines documented
// as PASSIVE_LEVEL only report a call above it. Not modelled: case mapping beyond
// Latin-1, paged-pool faults at raised IRQL.
#include "kernel/kernel.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

using sim::verifier::Report;
using sim::verifier::Rule;

namespace {

// The longest string a UNICODE_STRING can describe with room for its NUL.
constexpr USHORT kMaxInitLength = 0xFFFC;

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0) {
        n++;
    }
    return n;
}

}  // namespace

extern "C" {

// Points DestinationString at SourceString: Length is the text in bytes without its
// NUL and MaximumLength two bytes more; a NULL source gives an empty string with no
// buffer. Text longer than a counted string can hold is cut at 0xFFFC bytes, as the
// kernel does. No memory is allocated.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) noexcept
{
    if (DestinationString == nullptr) {
        Report(Rule::InvalidParameter, "RtlInitUnicodeString: DestinationString is NULL");
        return;
    }
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxInitLength) {
        bytes = kMaxInitLength;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

// Copies as much of SourceString as DestinationString's MaximumLength allows (the
// rest is silently dropped) and NUL-terminates only when a byte of room is left past
// the copied text. A NULL source empties the destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) noexcept
{
    if (!sim::rtl::CheckCounted(DestinationString, "RtlCopyUnicodeString", "DestinationString") ||
        !sim::rtl::CheckCounted(SourceString, "RtlCopyUnicodeString", "SourceString", true)) {
        return;
    }
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength;
    }
    if (bytes != 0 && DestinationString->Buffer == nullptr) {
        Report(Rule::InvalidParameter, "RtlCopyUnicodeString: destination has MaximumLength %u and no buffer",
               DestinationString->MaximumLength);
        return;
    }
    if (bytes != 0) {
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = bytes;
    // The kernel tests "Length < MaximumLength", so an odd MaximumLength lets this
    // NUL straddle the end of the buffer; the pool's guard bytes then catch it.
    if (bytes < DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

// Appends the NUL-terminated Source. STATUS_BUFFER_TOO_SMALL leaves Destination
// unchanged; on success it is NUL-terminated when room is left. NULL Source: success.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) noexcept
{
    if (!sim::rtl::CheckCounted(Destination, "RtlAppendUnicodeToString", "Destination")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if (bytes > 0xFFFE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Destination->Buffer == nullptr) {
        if (bytes != 0) {
            Report(Rule::InvalidParameter, "RtlAppendUnicodeToString: destination has no buffer");
            return STATUS_INVALID_PARAMETER;
        }
        return STATUS_SUCCESS;
    }
    PWCHAR tail = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    memmove(tail, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length < Destination->MaximumLength) {
        tail[bytes / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

// Appends the counted Source; same rules as RtlAppendUnicodeToString. An empty
// Source changes nothing (not even the terminating NUL).
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) noexcept
{
    if (!sim::rtl::CheckCounted(Destination, "RtlAppendUnicodeStringToString", "Destination") ||
        !sim::rtl::CheckCounted(Source, "RtlAppendUnicodeStringToString", "Source")) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT bytes = Source->Length;
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if (Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PWCHAR tail = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    memmove(tail, Source->Buffer, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length < Destination->MaximumLength) {
        tail[bytes / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

// Writes Value's digits (upper-case for base 16, no prefix, no leading zeros) into
// String's buffer from its start. Base 0 means 10; others than 2, 8, 10, 16 give
// STATUS_INVALID_PARAMETER. The result is a NUL-terminated string, so the digits and
// their NUL must fit in MaximumLength: otherwise STATUS_BUFFER_OVERFLOW and String is
// left as it was.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) noexcept
{
    sim::rtl::RequirePassive("RtlIntegerToUnicodeString");
    if (!sim::rtl::CheckCounted(String, "RtlIntegerToUnicodeString", "String")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    size_t count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(u"0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = count * sizeof(WCHAR);
    if (bytes >= String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (String->Buffer == nullptr) {
        Report(Rule::InvalidParameter, "RtlIntegerToUnicodeString: String has MaximumLength %u and no buffer",
               String->MaximumLength);
        return STATUS_INVALID_PARAMETER;
    }
    for (size_t i = 0; i < count; i++) {
        String->Buffer[i] = digits[count - 1 - i];
    }
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) {
        String->Buffer[count] = 0;
    }
    return STATUS_SUCCESS;
}

// Releases a buffer that came from pool (a routine that allocated it for the caller,
// or the caller's own ExAllocatePool) and empties the string. A string without a
// buffer is left alone.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) noexcept
{
    sim::rtl::RequirePassive("RtlFreeUnicodeString");
    if (UnicodeString == nullptr) {
        Report(Rule::InvalidParameter, "RtlFreeUnicodeString: UnicodeString is NULL");
        return;
    }
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = 0;
        UnicodeString->MaximumLength = 0;
    }
}

// Negative, zero or positive as String1 sorts before, with or after String2: the
// first differing character decides, else the shorter string sorts first.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) noexcept
{
    sim::rtl::RequirePassive("RtlCompareUnicodeString");
    if (!sim::rtl::CheckCounted(String1, "RtlCompareUnicodeString", "String1") ||
        !sim::rtl::CheckCounted(String2, "RtlCompareUnicodeString", "String2")) {
        return 0;
    }
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; i++) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = sim::rtl::Upcase(c1);
            c2 = sim::rtl::Upcase(c2);
        }
        if (c1 != c2) {
            return static_cast<LONG>(c1) - static_cast<LONG>(c2);
        }
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) noexcept
{
    if (!sim::rtl::CheckCounted(String1, "RtlEqualUnicodeString", "String1") ||
        !sim::rtl::CheckCounted(String2, "RtlEqualUnicodeString", "String2")) {
        return FALSE;
    }
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    size_t n = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; i++) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive ? sim::rtl::Upcase(c1) != sim::rtl::Upcase(c2) : c1 != c2) {
            return FALSE;
        }
    }
    return TRUE;
}

// The number of leading bytes that match (Length when all do).
SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) noexcept
{
    auto *a = static_cast<const UCHAR *>(Source1);
    auto *b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        i++;
    }
    return i;
}

}  // extern "C"
