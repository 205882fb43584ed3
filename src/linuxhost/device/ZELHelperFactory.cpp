// The helper factory: the process-wide registry of the applicability evaluator and the status
// manager. Both are empty until installed (InstallDeviceServices() at daemon start-up, or a
// test's double); getters hand out shared pointers, so a replaced helper lives until its last
// caller lets go.
#include <memory>
#include <mutex>
#include <utility>

#include "datasync/host/DeviceStatus.h"

namespace zel {

struct ZELHelperFactory::State {
    std::mutex mutex;
    std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator;
    std::shared_ptr<ZEL::ZelStatusManager> statusManager;
};

ZELHelperFactory::ZELHelperFactory() : m_state(std::make_shared<State>()) {}

ZELHelperFactory* ZELHelperFactory::GetInstance() {
    // Never destroyed: helpers may be asked for while the process exits.
    static ZELHelperFactory* factory = new ZELHelperFactory();
    return factory;
}

std::shared_ptr<ZEL::ApplicabilityEvaluator> ZELHelperFactory::GetApplicablilityEvaluatorAgent() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->evaluator;
}

std::shared_ptr<ZEL::ZelStatusManager> ZELHelperFactory::GetZelStatusManager() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->statusManager;
}

void ZELHelperFactory::SetApplicabilityEvaluator(std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator) {
    std::shared_ptr<ZEL::ApplicabilityEvaluator> previous;  // released after the lock
    std::lock_guard<std::mutex> lock(m_state->mutex);
    previous = std::exchange(m_state->evaluator, std::move(evaluator));
}

void ZELHelperFactory::SetZelStatusManager(std::shared_ptr<ZEL::ZelStatusManager> manager) {
    std::shared_ptr<ZEL::ZelStatusManager> previous;  // released after the lock
    std::lock_guard<std::mutex> lock(m_state->mutex);
    previous = std::exchange(m_state->statusManager, std::move(manager));
}

}  // namespace zel
