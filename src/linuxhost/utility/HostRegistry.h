// HostRegistry: the registry's values in one JSON object {"name": value, ...} in
// <state_dir>/registry.json (see HostRegistry.cpp for how writes stay whole).
//
// Stateless apart from the file: one object may serve every thread of the process.
#pragma once

#include "datasync/host/Registry.h"

namespace ZEL {
namespace linuxhost {

class HostRegistry : public Registry {
public:
    void Write(const std::wstring& name, long value) override;
    bool Read(const std::wstring& name, long& value) override;
};

}  // namespace linuxhost
}  // namespace ZEL
