// The host object namespace: one table of names (device objects and symbolic links)
// under a mutex, keyed by the upper-cased canonical name. Called from any thread at
// PASSIVE_LEVEL by the I/O manager (device names, links) and the Win32 layer (opens).
// Not modelled: object directories as objects, security, per-session \?? directories,
// names below a device name ("\Device\X\file" is not parsed).
#include "sim/ob/ob.h"

#include "sim/rtl/rtl.h"

#include <map>
#include <mutex>

namespace sim::ob {

namespace {

constexpr int kMaxLinkHops = 32;

struct Entry {
    std::u16string name;  // as entered
    PDEVICE_OBJECT device = nullptr;  // a device name when set, else a link
    std::u16string target;
    bool unprotected = false;
};

struct State {
    std::mutex mutex;
    std::map<std::u16string, Entry> names;  // key: Upper(Canonical(name))
};

State &S()
{
    static State state;
    return state;
}

const std::u16string kGlobal = u"\\GLOBAL??\\";

std::u16string Key(const std::u16string &name)
{
    return rtl::Upper(Canonical(name));
}

// STATUS_SUCCESS when `name` may be entered: an absolute path whose directory exists.
NTSTATUS CheckPath(const std::u16string &name)
{
    if (name.size() < 2 || name[0] != u'\\' || name.back() == u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string canonical = Canonical(name);
    size_t slash = canonical.rfind(u'\\');
    std::u16string directory = rtl::Upper(canonical.substr(0, slash));
    if (directory.empty() || directory == u"\\DEVICE" || directory == u"\\GLOBAL??") {
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS Insert(Entry entry)
{
    NTSTATUS status = CheckPath(entry.name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> lock(S().mutex);
    auto [it, inserted] = S().names.emplace(Key(entry.name), entry);
    (void)it;
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

}  // namespace

std::u16string Canonical(const std::u16string &name)
{
    static const std::u16string aliases[] = {u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\"};
    for (const std::u16string &alias : aliases) {
        if (rtl::StartsWithNoCase(name, alias)) {
            return kGlobal + name.substr(alias.size());
        }
    }
    return name;
}

NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device)
{
    Entry entry;
    entry.name = name;
    entry.device = device;
    return Insert(entry);
}

void RemoveDeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    for (auto it = S().names.begin(); it != S().names.end();) {
        it = it->second.device == device ? S().names.erase(it) : std::next(it);
    }
}

std::u16string NameOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    for (const auto &[key, entry] : S().names) {
        if (device != nullptr && entry.device == device) {
            return entry.name;
        }
    }
    return {};
}

NTSTATUS InsertLink(const std::u16string &link, const std::u16string &target, bool unprotected)
{
    Entry entry;
    entry.name = link;
    entry.target = target;
    entry.unprotected = unprotected;
    return Insert(entry);
}

NTSTATUS RemoveLink(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().names.find(Key(link));
    if (it == S().names.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (it->second.device != nullptr) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    S().names.erase(it);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT Resolve(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::u16string current = name;
    for (int hop = 0; hop <= kMaxLinkHops; hop++) {
        auto it = S().names.find(Key(current));
        if (it == S().names.end()) {
            return nullptr;
        }
        if (it->second.device != nullptr) {
            return it->second.device;
        }
        current = it->second.target;
    }
    return nullptr;
}

std::u16string LinkTarget(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().names.find(Key(link));
    if (it == S().names.end() || it->second.device != nullptr) {
        return {};
    }
    return it->second.target;
}

bool IsUnprotectedLink(const std::u16string &link)
{
    std::lock_guard<std::mutex> lock(S().mutex);
    auto it = S().names.find(Key(link));
    return it != S().names.end() && it->second.device == nullptr && it->second.unprotected;
}

std::vector<std::u16string> Links()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<std::u16string> out;
    for (const auto &[key, entry] : S().names) {
        if (entry.device == nullptr) {
            out.push_back(entry.name);
        }
    }
    return out;
}

std::vector<std::u16string> DeviceNames()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    std::vector<std::u16string> out;
    for (const auto &[key, entry] : S().names) {
        if (entry.device != nullptr) {
            out.push_back(entry.name);
        }
    }
    return out;
}

void Reset()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    S().names.clear();
}

}  // namespace sim::ob
