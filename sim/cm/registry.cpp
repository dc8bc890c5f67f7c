// The host registry: the key tree, value records in the layouts ZwQueryValueKey
// returns, kernel handles, and the Rtl registry routines. The driver's calls come at
// PASSIVE_LEVEL from the PnP thread (a call above it is reported); the bench calls the
// sim::cm API from test threads. Not modelled: security and access checks (kernel
// handles used through Zw calls skip them, which is why a key opened with only
// STANDARD_RIGHTS_READ can still be queried), volatile versus persistent keys,
// ZwCreateKey/ZwOpenKey/ZwSetValueKey (the driver does not call them), notifications.
#include "sim/cm/internal.h"

#include "sim/lowres.h"
#include "sim/rtl/rtl.h"
#include "sim/verifier.h"

#include <cstddef>

#ifndef RTL_REGISTRY_HANDLE
#define RTL_REGISTRY_HANDLE 0x40000000
#endif
#ifndef RTL_REGISTRY_OPTIONAL
#define RTL_REGISTRY_OPTIONAL 0x80000000
#endif

using sim::verifier::Report;
using sim::verifier::Rule;

namespace sim::cm {

namespace detail {

namespace {

std::vector<std::u16string> Split(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t next = path.find(u'\\', i);
        if (next == std::u16string::npos) {
            next = path.size();
        }
        if (next > i) {
            parts.push_back(path.substr(i, next - i));
        }
        i = next + 1;
    }
    return parts;
}

Key *Walk(Key *root, const std::u16string &path, bool create);

void BuildStandardKeys(State &s)
{
    s.root = std::make_unique<Key>();
    s.root->name = u"REGISTRY";
    for (const char16_t *path : {
             u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
             u"\\Registry\\Machine\\HARDWARE\\DESCRIPTION",
             u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum",
             u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
             u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
             u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
             u"\\Registry\\User\\.DEFAULT",
         }) {
        Walk(s.root.get(), path, true);
    }
}

// Walks `path`; creates missing keys when `create`. NULL for a path outside \Registry.
Key *Walk(Key *root, const std::u16string &path, bool create)
{
    std::vector<std::u16string> parts = Split(path);
    if (parts.empty() || rtl::Upper(parts[0]) != u"REGISTRY") {
        return nullptr;
    }
    Key *key = root;
    for (size_t i = 1; i < parts.size(); i++) {
        std::u16string upper = rtl::Upper(parts[i]);
        auto it = key->subkeys.find(upper);
        if (it == key->subkeys.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_unique<Key>();
            child->name = parts[i];
            it = key->subkeys.emplace(upper, std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}

}  // namespace

State &S()
{
    // Never destroyed: platform threads may still touch the registry while the
    // process exits.
    static State *state = [] {
        auto *s = new State;
        BuildStandardKeys(*s);
        return s;
    }();
    return *state;
}

Key *Find(const std::u16string &path)
{
    return Walk(S().root.get(), path, false);
}

Key *CreatePath(const std::u16string &path)
{
    return Walk(S().root.get(), path, true);
}

HANDLE NewHandle(Key *key, const std::u16string &path, const char *openedBy)
{
    // Kernel handles have the top bits set on x64; keeping that shape makes a handle
    // mistaken for a pointer or a user handle stand out in messages.
    auto value = static_cast<uintptr_t>(0xFFFFFFFF80000000ull + 4 * S().nextHandle++);
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    S().handles[handle] = HandleRecord{key, path, openedBy, {}};
    return handle;
}

void SetValueLocked(Key *key, const std::u16string &name, ULONG type, const void *data, size_t length)
{
    NamedValue &v = key->values[rtl::Upper(name)];
    v.name = name;
    v.value.type = type;
    auto *bytes = static_cast<const uint8_t *>(data);
    v.value.data.assign(bytes, bytes + (data != nullptr ? length : 0));
}

}  // namespace detail

using detail::S;

void SetValue(const std::u16string &keyPath, const std::u16string &name, ULONG type, const void *data,
              size_t length)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    detail::Key *key = detail::CreatePath(keyPath);
    if (key == nullptr) {
        Report(Rule::InvalidParameter, "cm::SetValue: \"%s\" is not a registry path",
               rtl::Narrow(keyPath).c_str());
        return;
    }
    detail::SetValueLocked(key, name, type, data, length);
}

std::optional<Value> GetValue(const std::u16string &keyPath, const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    detail::Key *key = detail::Find(keyPath);
    if (key == nullptr) {
        return std::nullopt;
    }
    auto it = key->values.find(rtl::Upper(name));
    if (it == key->values.end()) {
        return std::nullopt;
    }
    return it->second.value;
}

std::optional<std::u16string> GetString(const std::u16string &keyPath, const std::u16string &name)
{
    std::optional<Value> v = GetValue(keyPath, name);
    if (!v || v->type != REG_SZ) {
        return std::nullopt;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

std::vector<NamedValue> Values(const std::u16string &keyPath)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<NamedValue> out;
    detail::Key *key = detail::Find(keyPath);
    if (key != nullptr) {
        for (const auto &[upper, v] : key->values) {
            out.push_back(v);
        }
    }
    return out;
}

bool KeyExists(const std::u16string &keyPath)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return detail::Find(keyPath) != nullptr;
}

HANDLE NewLinkHandle(const std::u16string &link, const std::u16string &target, const char *openedBy)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    HANDLE handle = detail::NewHandle(nullptr, link, openedBy);
    S().handles[handle].linkTarget = target;
    return handle;
}

std::optional<std::u16string> LinkHandleTarget(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().handles.find(handle);
    if (it == S().handles.end() || it->second.key != nullptr) {
        return std::nullopt;
    }
    return it->second.linkTarget;
}

std::vector<OpenHandle> OpenHandles()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<OpenHandle> out;
    for (const auto &[handle, record] : S().handles) {
        out.push_back(OpenHandle{handle, record.path, record.openedBy});
    }
    return out;
}

size_t CheckNoOpenHandles(const char *where)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    for (const auto &[handle, record] : S().handles) {
        Report(Rule::HandleLeak, "%s: %s handle %p (%s, from %s) was never closed", where,
               record.key != nullptr ? "registry key" : "symbolic link", handle,
               sim::rtl::Narrow(record.path).c_str(), record.openedBy.c_str());
    }
    const size_t count = S().handles.size();
    S().handles.clear();
    return count;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().handles.clear();
    S().devices.clear();
    S().softwareIndex.clear();
    S().nextHandle = 1;
    detail::BuildStandardKeys(S());
}

}  // namespace sim::cm

namespace {

using sim::cm::detail::Key;

// Writes a ULONG field of a value record (the caller's buffer need not be aligned).
void PutUlong(void *record, size_t offset, ULONG value)
{
    memcpy(static_cast<uint8_t *>(record) + offset, &value, sizeof value);
}

ULONG AlignUp(ULONG offset, ULONG alignment)
{
    return (offset + alignment - 1) & ~(alignment - 1);
}

// Copies as much of `bytes` as fits between `offset` and `length`; false when cut short.
bool CopyPart(void *record, ULONG length, ULONG offset, const void *bytes, size_t size)
{
    size_t room = length > offset ? length - offset : 0;
    size_t n = size < room ? size : room;
    if (n != 0) {
        memcpy(static_cast<uint8_t *>(record) + offset, bytes, n);
    }
    return n == size;
}

// The key a RelativeTo/Path pair of the Rtl registry routines names, with the mutex
// held: *path receives the full path. NULL with *status set when it cannot be used;
// `create` makes a missing last key (its parent must exist, as with ZwCreateKey).
Key *RtlKey(ULONG relativeTo, PCWSTR path, bool create, const char *routine, std::u16string *full,
            NTSTATUS *status)
{
    auto &s = sim::cm::detail::S();
    relativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
        auto it = s.handles.find(const_cast<PWSTR>(path));
        if (it == s.handles.end() || it->second.key == nullptr) {
            Report(Rule::InvalidParameter, "%s: RTL_REGISTRY_HANDLE with %p, not an open key handle", routine,
                   static_cast<const void *>(path));
            *status = STATUS_INVALID_HANDLE;
            return nullptr;
        }
        *full = it->second.path;
        return it->second.key;
    }
    static const char16_t *const bases[] = {
        u"",                                                                 // RTL_REGISTRY_ABSOLUTE
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",           // RTL_REGISTRY_SERVICES
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",            // RTL_REGISTRY_CONTROL
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",  // RTL_REGISTRY_WINDOWS_NT
        u"\\Registry\\Machine\\Hardware\\DeviceMap",                            // RTL_REGISTRY_DEVICEMAP
        u"\\Registry\\User\\.DEFAULT",                                         // RTL_REGISTRY_USER
    };
    if (relativeTo > RTL_REGISTRY_USER || path == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::u16string text(path);
    // A path that starts with a backslash is absolute whatever RelativeTo says.
    *full = !text.empty() && text[0] == u'\\' ? text : std::u16string(bases[relativeTo]) + u"\\" + text;
    Key *key = sim::cm::detail::Find(*full);
    if (key == nullptr && create) {
        size_t slash = full->find_last_of(u'\\');
        if (slash != std::u16string::npos && slash > 0 && sim::cm::detail::Find(full->substr(0, slash)) != nullptr) {
            key = sim::cm::detail::CreatePath(*full);
        }
    }
    if (key == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return key;
}

}  // namespace

extern "C" {

// Returns one value of the key behind KeyHandle in the record layout the class asks
// for. *ResultLength always receives the size of the whole record.
// Return: STATUS_SUCCESS; STATUS_BUFFER_TOO_SMALL when not even the fixed part of the
// record fits (nothing written); STATUS_BUFFER_OVERFLOW when the fixed part fits but
// the name or data does not (what fits is written, DataOffset and lengths included);
// STATUS_OBJECT_NAME_NOT_FOUND for a missing value; STATUS_INVALID_HANDLE;
// STATUS_INVALID_PARAMETER for an unknown class.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) noexcept
{
    sim::rtl::RequirePassive("ZwQueryValueKey");
    if (!sim::rtl::CheckCounted(ValueName, "ZwQueryValueKey", "ValueName")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        Report(Rule::InvalidParameter, "ZwQueryValueKey: %s is NULL",
               ResultLength == nullptr ? "ResultLength" : "KeyValueInformation");
        return STATUS_INVALID_PARAMETER;
    }
    sim::cm::NamedValue found;
    {
        auto &s = sim::cm::detail::S();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto h = s.handles.find(KeyHandle);
        if (h == s.handles.end()) {
            Report(Rule::InvalidParameter, "ZwQueryValueKey: invalid handle %p", KeyHandle);
            return STATUS_INVALID_HANDLE;
        }
        if (h->second.key == nullptr) {
            Report(Rule::InvalidParameter, "ZwQueryValueKey: handle %p is a symbolic link's, not a key's", KeyHandle);
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        auto v = h->second.key->values.find(sim::rtl::Upper(sim::rtl::FromCounted(ValueName)));
        if (v == h->second.key->values.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        found = v->second;
    }
    const ULONG nameBytes = static_cast<ULONG>(found.name.size() * sizeof(WCHAR));
    const ULONG dataBytes = static_cast<ULONG>(found.value.data.size());
    void *record = KeyValueInformation;
    bool complete = true;

    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
        // TitleIndex, Type, NameLength, Name[]
        const ULONG fixed = 12;
        *ResultLength = fixed + nameBytes;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        PutUlong(record, 0, 0);
        PutUlong(record, 4, found.value.type);
        PutUlong(record, 8, nameBytes);
        complete = CopyPart(record, Length, fixed, found.name.data(), nameBytes);
        break;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        const ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20, "full record layout");
        // The data starts at the first ULONG boundary after the name (a ULONGLONG
        // boundary for the Align64 class), counted from the start of the record.
        const ULONG dataOffset =
            AlignUp(fixed + nameBytes, KeyValueInformationClass == KeyValueFullInformation ? 4 : 8);
        *ResultLength = dataOffset + dataBytes;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        PutUlong(record, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        PutUlong(record, offsetof(KEY_VALUE_FULL_INFORMATION, Type), found.value.type);
        PutUlong(record, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataBytes != 0 ? dataOffset : 0xFFFFFFFF);
        PutUlong(record, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        PutUlong(record, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        complete = CopyPart(record, Length, fixed, found.name.data(), nameBytes);
        if (dataBytes != 0) {
            complete = CopyPart(record, Length, dataOffset, found.value.data.data(), dataBytes) && complete;
        }
        break;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "partial record layout");
        *ResultLength = fixed + dataBytes;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        PutUlong(record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        PutUlong(record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), found.value.type);
        PutUlong(record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        complete = CopyPart(record, Length, fixed, found.value.data.data(), dataBytes);
        break;
    }
    case KeyValuePartialInformationAlign64: {
        // Type, DataLength, Data[] (no TitleIndex, so the data sits on 8 bytes).
        const ULONG fixed = 8;
        *ResultLength = fixed + dataBytes;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        PutUlong(record, 0, found.value.type);
        PutUlong(record, 4, dataBytes);
        complete = CopyPart(record, Length, fixed, found.value.data.data(), dataBytes);
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// Return: STATUS_SUCCESS; STATUS_INVALID_HANDLE (and a report: closing a handle that
// is not open stops Windows with a bug check) for a handle that is not open.
NTSTATUS ZwClose(HANDLE Handle) noexcept
{
    sim::rtl::RequirePassive("ZwClose");
    auto &s = sim::cm::detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.handles.erase(Handle) == 0) {
        Report(Rule::InvalidParameter, "ZwClose: %p is not an open handle", Handle);
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

// Creates or replaces ValueName (NULL: the key's default value) under the key that
// RelativeTo and Path name, creating that key when only it is missing.
// Return: STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND when the key's parent does not
// exist; STATUS_INVALID_PARAMETER for an unknown RelativeTo; STATUS_INSUFFICIENT_RESOURCES
// when made to fail ("RtlWriteRegistryValue").
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) noexcept
{
    sim::rtl::RequirePassive("RtlWriteRegistryValue");
    if (ValueData == nullptr && ValueLength != 0) {
        Report(Rule::InvalidParameter, "RtlWriteRegistryValue: %u bytes of data at NULL", ValueLength);
        return STATUS_INVALID_PARAMETER;
    }
    if (sim::lowres::ShouldFail("RtlWriteRegistryValue")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto &s = sim::cm::detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::u16string full;
    NTSTATUS status = STATUS_SUCCESS;
    Key *key = RtlKey(RelativeTo, Path, true, "RtlWriteRegistryValue", &full, &status);
    if (key == nullptr) {
        return status;
    }
    sim::cm::detail::SetValueLocked(key, sim::rtl::FromWide(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

// Return: STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND when the key or the value does
// not exist.
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) noexcept
{
    sim::rtl::RequirePassive("RtlDeleteRegistryValue");
    auto &s = sim::cm::detail::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::u16string full;
    NTSTATUS status = STATUS_SUCCESS;
    Key *key = RtlKey(RelativeTo, Path, false, "RtlDeleteRegistryValue", &full, &status);
    if (key == nullptr) {
        return status;
    }
    if (key->values.erase(sim::rtl::Upper(sim::rtl::FromWide(ValueName))) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
