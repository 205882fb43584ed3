// Security descriptors of named objects: who besides the service may use a named event. On this
// host that is the logged-on user (logon_user), through its primary group, whatever
// `allowUserAccess` says: its agent must wait on the notify events and set the acks alike. Without
// a logged-on user the events are the service's alone.
//
// The functions are doors onto the installed Impersonation (Impersonation::EventAccess); without
// one the events are the service's alone.
//
// Thread safety: any thread; an attributes object belongs to its caller, who frees it after the
// named objects are created.
#pragma once

#include "platform/KernelObjects.h"

namespace ZEL {
namespace System {

struct SECURITY_ATTRIBUTES {
    bool inheritHandle = false;
    platform::NamedEventAccess access;
};
// Always succeeds.
bool InitializeSecurityAttributes(SECURITY_ATTRIBUTES* attributes, bool allowUserAccess);
void FreeSecurityAttribute(SECURITY_ATTRIBUTES* attributes);

}  // namespace System
}  // namespace ZEL
