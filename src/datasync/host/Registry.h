// The host's registry: a few named values that outlive the process (the last upload errors of
// each family). The Linux host keeps them in a JSON file in its state folder
// (linuxhost/utility/HostRegistry.h).
//
// The two utility functions are the module's doors onto the installed registry (with the stores,
// upload/InstalledStores.h): without one, a write is dropped and a read finds nothing.
//
// Thread safety: any thread; each write replaces the stored values whole, so a reader sees the
// values before or after it.
#pragma once

#include <string>

namespace ZEL {

class Registry {
public:
    virtual ~Registry() = default;
    // Stores `value` under `name` (an empty name stores nothing).
    virtual void Write(const std::wstring& name, long value) = 0;
    // The value stored under `name`; false when there is none.
    virtual bool Read(const std::wstring& name, long& value) = 0;
};

namespace utility {

void WriteErrorToRegistry(std::wstring& name, long value);
bool ReadRegistryValue(const std::wstring& name, long& value);

}  // namespace utility
}  // namespace ZEL
