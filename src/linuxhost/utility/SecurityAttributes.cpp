// Security descriptors of named objects. On this host the named events are POSIX semaphores
// whose access follows the file mode chosen at creation, so there is nothing to build or free:
// both calls succeed and leave the attributes as they are.
#include "datasync/host/Utility.h"

namespace ZEL {
namespace System {

bool InitializeSecurityAttributes(SECURITY_ATTRIBUTES* /*attributes*/, bool /*allowUserAccess*/) {
    return true;
}

void FreeSecurityAttribute(SECURITY_ATTRIBUTES* /*attributes*/) {}

}  // namespace System
}  // namespace ZEL
