// The agent factory: the process-wide registry of the configuration and notification agents,
// and ConfigPolicyAgent::GetInstance(), which reads the configuration agent from it.
//
// Both agents are empty until somebody installs one (the daemon at start-up, tests their
// doubles). Getters hand out shared pointers, so an agent replaced while a caller still uses it
// lives until that caller lets go.
#include <memory>
#include <mutex>
#include <utility>

#include "datasync/host/ConfigPolicy.h"

namespace zel {

struct AgentFactory::State {
    std::mutex mutex;
    std::shared_ptr<ZEL::IConfigAgent> configAgent;
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> notificationAgent;
};

AgentFactory::AgentFactory() : m_state(std::make_shared<State>()) {}

AgentFactory* AgentFactory::GetInstance() {
    // Never destroyed: agents may be asked for while the process exits.
    static AgentFactory* factory = new AgentFactory();
    return factory;
}

std::shared_ptr<ZEL::IConfigAgent> AgentFactory::GetConfigPolicyAgent() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->configAgent;
}

std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> AgentFactory::GetNotificationAgent() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->notificationAgent;
}

void AgentFactory::SetConfigPolicyAgent(std::shared_ptr<ZEL::IConfigAgent> agent) {
    std::shared_ptr<ZEL::IConfigAgent> previous;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    previous = std::exchange(m_state->configAgent, std::move(agent));
    // `previous` is released after the lock (declared before it), so an agent whose destructor
    // asks the factory for something cannot deadlock.
}

void AgentFactory::SetNotificationAgent(
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> agent) {
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> previous;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    previous = std::exchange(m_state->notificationAgent, std::move(agent));
}

}  // namespace zel

namespace ZEL {

IConfigAgent* ConfigPolicyAgent::GetInstance() {
    return zel::AgentFactory::GetInstance()->GetConfigPolicyAgent().get();
}

}  // namespace ZEL
