// The host's registry: a few named values that outlive the process (the last upload errors of
// each family). The Linux host keeps them in a JSON file in its state folder.
//
// Thread safety: both may be called from any thread; each write replaces the file whole (a
// temporary file renamed), so a reader sees the values before or after it.
#pragma once

#include <string>

namespace ZEL {
namespace utility {

// Stores a named value in the host's registry file (written to a temporary file and renamed).
void WriteErrorToRegistry(std::wstring& name, long value);
// Reads a value written before; false when there is none.
bool ReadRegistryValue(const std::wstring& name, long& value);

}  // namespace utility
}  // namespace ZEL
