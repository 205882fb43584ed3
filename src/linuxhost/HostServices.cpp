// The Linux host's default service objects and their environment (HostServices.h).
#include "linuxhost/HostServices.h"

#include "datasync/resilience/BackoffDelay.h"
#include "linuxhost/bus/NotificationBus.h"
#include "linuxhost/datastore/HostStores.h"
#include "linuxhost/device/AttributeApplicabilityEvaluator.h"
#include "linuxhost/device/HostEpUrlProvider.h"
#include "linuxhost/device/HostStatusServices.h"
#include "linuxhost/impersonation/ThreadUserSwitch.h"
#include "linuxhost/util/HostClock.h"
#include "linuxhost/utility/HostCriticalEvents.h"
#include "linuxhost/watch/HostWatching.h"

namespace ZEL {
namespace linuxhost {

// Declared in the order they are built; the bus last, so that it is destroyed first (its thread
// may still deliver to subscribers that read the others).
struct HostServices::Objects {
    HostClock clock;
    HostNotificationAgent notification;
    HostDeviceFacts device;
    AttributeApplicabilityEvaluator applicability;
    HostZelStatusManager status;
    HostEpUrlProvider urls;
    HostCriticalEvents criticalEvents;
    HostImpersonation impersonation;
    HostWatching watching;
    NotificationBus bus;
};

HostServices::HostServices() : m_objects(std::make_unique<Objects>()) {}

HostServices::~HostServices() = default;

DataSync::AgentEnvironment HostServices::Environment() const {
    Objects& o = *m_objects;
    DataSync::AgentEnvironment environment;
    environment.clock = &o.clock;
    environment.jitter = [](unsigned spanMs) { return ApiUtility::GetRandomJitterInSeconds(spanMs); };
    environment.bus = &o.bus;
    environment.notification = &o.notification;
    environment.device = &o.device;
    environment.applicability = &o.applicability;
    environment.status = &o.status;
    environment.urls = &o.urls;
    environment.criticalEvents = &o.criticalEvents;
    environment.impersonation = &o.impersonation;
    environment.watching = &o.watching;
    const DataSync::Stores stores = HostStores();
    environment.tables = stores.tables;
    environment.bookmarks = stores.bookmarks;
    environment.files = stores.files;
    environment.registry = stores.registry;
    return environment;
}

NotificationBus& HostServices::Bus() const {
    return m_objects->bus;
}

}  // namespace linuxhost
}  // namespace ZEL
