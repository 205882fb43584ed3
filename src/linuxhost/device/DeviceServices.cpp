// Wiring of the device services into the agent's factories.
#include "linuxhost/device/DeviceServices.h"

#include <memory>

#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/DeviceStatus.h"
#include "linuxhost/device/AttributeApplicabilityEvaluator.h"
#include "linuxhost/device/HostStatusServices.h"

namespace ZEL {
namespace linuxhost {

void InstallDeviceServices() {
    zel::ZELHelperFactory* helpers = zel::ZELHelperFactory::GetInstance();
    helpers->SetApplicabilityEvaluator(std::make_shared<AttributeApplicabilityEvaluator>());
    helpers->SetZelStatusManager(std::make_shared<HostZelStatusManager>());
    zel::AgentFactory::GetInstance()->SetNotificationAgent(std::make_shared<HostNotificationAgent>());
}

}  // namespace linuxhost
}  // namespace ZEL
