// The registry's own records, shared by the files of sim/cm only: the key tree, the
// kernel handles and the device nodes, all under one mutex. No driver code runs with
// the mutex held.
#pragma once

#include "sim/cm/cm.h"

#include <map>
#include <memory>
#include <mutex>

namespace sim::cm::detail {

struct Key {
    std::u16string name;                                // as created
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-cased name
    std::map<std::u16string, NamedValue> values;             // by upper-cased name
};

struct HandleRecord {
    Key *key;  // keys are never deleted before Reset(), which also drops every handle;
               // NULL for a handle to a symbolic link
    std::u16string path;
    std::string openedBy;
    std::u16string linkTarget;  // a link handle's target, as it was when opened
};

struct DeviceNode {
    std::u16string instanceId;
    std::u16string hardwarePath;
    std::u16string softwarePath;
};

struct State {
    std::mutex mutex;
    std::unique_ptr<Key> root;  // \Registry
    std::map<HANDLE, HandleRecord> handles;
    uint64_t nextHandle = 1;
    std::map<PDEVICE_OBJECT, DeviceNode> devices;
    // Software-key numbers (the NNNN under the class key) by upper-cased instance ID.
    std::map<std::u16string, int> softwareIndex;
};

// The state, with the standard keys built on first use. Callers lock S().mutex.
State &S();

// With the mutex held: the key at an absolute path ("\Registry\..."), or NULL.
Key *Find(const std::u16string &path);
// With the mutex held: the key at `path`, creating it and any missing parents. NULL
// only for a path outside \Registry.
Key *CreatePath(const std::u16string &path);
// With the mutex held: a new kernel handle to `key`.
HANDLE NewHandle(Key *key, const std::u16string &path, const char *openedBy);

void SetValueLocked(Key *key, const std::u16string &name, ULONG type, const void *data, size_t length);

}  // namespace sim::cm::detail
