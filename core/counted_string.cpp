// Counted wide strings owned by the driver: a zeroed nonpaged buffer two bytes longer
// than the string's maximum, so that any content that fits stays NUL-terminated.
// Context: PASSIVE_LEVEL or DISPATCH_LEVEL (nonpaged pool).
#include "core/core.h"

/*
 * InitCountedString - gives String an empty, zero-filled buffer of MaxBytes + 2 bytes.
 * Return: STATUS_SUCCESS (Length 0, MaximumLength MaxBytes); or
 * STATUS_INSUFFICIENT_RESOURCES with Buffer NULL and the lengths untouched. The buffer
 * is released with ExFreePool or RtlFreeUnicodeString.
 */
NTSTATUS InitCountedString(PUNICODE_STRING String, USHORT MaxBytes)
{
    SIZE_T bytes = (SIZE_T)MaxBytes + sizeof(WCHAR);

    String->Buffer = (PWCHAR)ExAllocatePool(NonPagedPool, bytes);
    if (String->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(String->Buffer, bytes);
    String->Length = 0;
    String->MaximumLength = MaxBytes;
    return STATUS_SUCCESS;
}
