// The static doors of the host interfaces (Clock::GetInstance, CoreUtility::GetInstance,
// zel::AgentFactory, CriticalEventLogger::Log, utility::InitLog, ...): thin slots onto the
// objects of the environment installed with InstallEnvironment (AgentEnvironment.h). Each door
// reads its slot at every call; pointer slots are atomics, the shared-pointer slots of the two
// factories and the log sink factory sit behind a mutex each.
//
// The slots are never destroyed: threads may still go through a door while the process exits.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/SystemClock.h"
#include "datasync/host/Clock.h"
#include "datasync/host/ConfigPolicy.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Log.h"
#include "datasync/host/Notification.h"
#include "datasync/host/Transport.h"
#include "datasync/host/SecurityAttributes.h"
#include "datasync/host/Watching.h"
#include "datasync/upload/InstalledStores.h"

namespace ZEL {
namespace {

struct Slots {
    std::atomic<Clock*> clock{nullptr};
    std::atomic<CoreUtility*> transport{nullptr};
    std::atomic<ZELPublisherSubscriber*> bus{nullptr};
    std::atomic<DeviceFacts*> device{nullptr};
    std::atomic<EpUrlProvider*> urls{nullptr};
    std::atomic<CriticalEvents*> criticalEvents{nullptr};
    std::atomic<Impersonation*> impersonation{nullptr};
    std::atomic<Watching*> watching{nullptr};

    std::mutex logMutex;
    LogSinkFactory logSinks;  // guarded by logMutex, like the two below
    // The sinks the installed factory gave, by file name: many logs are bound for each call of
    // a short-lived object, and a factory's sink for a name stays the same until it is replaced.
    std::map<std::wstring, std::shared_ptr<LogSink>> sinkOf;
    std::uint64_t factoryGeneration = 0;  // moved on by every SetLogSinkFactory
};

// More names than any agent logs to: past it the cache starts again rather than grow.
constexpr std::size_t kMaxCachedSinks = 256;

Slots& Installed() {
    static Slots* const slots = new Slots();
    return *slots;
}

// A shared pointer that does not own `object`: an environment's objects belong to its builder.
template <typename T>
std::shared_ptr<T> Unowned(T* object) {
    return object == nullptr ? nullptr : std::shared_ptr<T>(object, [](T*) {});
}

// Replaces `slot` under `mutex`; the previous value is released after the lock, so an object
// whose destructor goes through a door cannot deadlock.
template <typename T>
void Replace(std::mutex& mutex, std::shared_ptr<T>& slot, std::shared_ptr<T> value) {
    std::shared_ptr<T> previous;
    std::lock_guard<std::mutex> lock(mutex);
    previous = std::exchange(slot, std::move(value));
}

template <typename T>
std::shared_ptr<T> Read(std::mutex& mutex, const std::shared_ptr<T>& slot) {
    std::lock_guard<std::mutex> lock(mutex);
    return slot;
}

}  // namespace

// ---- Clock ----

Clock* Clock::GetInstance() {
    Clock* installed = Installed().clock.load(std::memory_order_acquire);
    return installed != nullptr ? installed : &SystemClock::Instance();
}

void Clock::SetInstance(Clock* clock) {
    Installed().clock.store(clock, std::memory_order_release);
}

// ---- Transport and bus ----

CoreUtility* CoreUtility::GetInstance() {
    return Installed().transport.load();
}

void CoreUtility::SetInstance(CoreUtility* instance) {
    Installed().transport.store(instance);
}

ZELPublisherSubscriber* ZELPublisherSubscriber::GetInstance() {
    return Installed().bus.load();
}

void ZELPublisherSubscriber::SetInstance(ZELPublisherSubscriber* bus) {
    Installed().bus.store(bus);
}

// ---- Device facts, URL provider, critical events ----

bool DeviceManagementStatus::IsDeviceClaimedInCommercialOrg() {
    DeviceFacts* facts = Installed().device.load();
    return facts != nullptr && facts->IsDeviceClaimedInCommercialOrg();
}

bool DeviceSubscriptionUtility::isConsumerDevice() {
    DeviceFacts* facts = Installed().device.load();
    return facts != nullptr && facts->IsConsumerDevice();
}

bool ZeroDayUtil::IsAnonymousMetricsEnabled(int /*reserved*/) {
    DeviceFacts* facts = Installed().device.load();
    return facts != nullptr && facts->IsAnonymousMetricsEnabled();
}

EpUrlProvider* EpUrlProvider::GetInstance() {
    return Installed().urls.load();
}

void EpUrlProvider::SetInstance(EpUrlProvider* provider) {
    Installed().urls.store(provider);
}

void CriticalEventLogger::Log(int eventId, int value) {
    if (CriticalEvents* events = Installed().criticalEvents.load()) events->Log(eventId, value);
}

void CriticalEventLogger::ResetError(int eventId, int value) {
    if (CriticalEvents* events = Installed().criticalEvents.load()) events->ResetError(eventId, value);
}

std::set<std::pair<int, int>> CriticalEventLogger::Active() {
    CriticalEvents* events = Installed().criticalEvents.load();
    return events != nullptr ? events->Active() : std::set<std::pair<int, int>>();
}

// ---- Impersonation ----

ImpersonateUser::ImpersonateUser() {
    if (Impersonation* impersonation = Installed().impersonation.load())
        m_switch = impersonation->NewSwitch();
}

ImpersonateUser::~ImpersonateUser() = default;

namespace System {

bool check_admin_privilege() {
    Impersonation* impersonation = Installed().impersonation.load();
    return impersonation != nullptr && impersonation->IsAdmin();
}

bool InitializeSecurityAttributes(SECURITY_ATTRIBUTES* attributes, bool /*allowUserAccess*/) {
    if (attributes == nullptr) return true;
    Impersonation* impersonation = Installed().impersonation.load();
    attributes->access = impersonation != nullptr ? impersonation->EventAccess() : platform::NamedEventAccess{};
    return true;
}

void FreeSecurityAttribute(SECURITY_ATTRIBUTES* /*attributes*/) {}

}  // namespace System

// ---- Log sinks ----

void Log::Write(LogSink& sink, LogLevel level, const wchar_t* format, fmt::wprintf_args args) {
    std::wstring text;
    try {
        text = fmt::vsprintf(std::wstring_view(format), args);
    } catch (...) {
        text = std::wstring(format) + L" [log format error]";
    }
    try {
        sink.Write(level, String::UTF16ToUTF8(text));
    } catch (...) {
    }
}

namespace utility {

void SetLogSinkFactory(LogSinkFactory factory) {
    Slots& slots = Installed();
    LogSinkFactory previous;  // released after the lock, with the sinks it gave
    std::map<std::wstring, std::shared_ptr<LogSink>> previousSinks;
    std::lock_guard<std::mutex> lock(slots.logMutex);
    previous = std::exchange(slots.logSinks, std::move(factory));
    previousSinks.swap(slots.sinkOf);
    ++slots.factoryGeneration;
}

bool InitLog(Log& log, const std::wstring& fileName, int /*level*/) {
    Slots& slots = Installed();
    LogSinkFactory factory;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(slots.logMutex);
        const auto cached = slots.sinkOf.find(fileName);
        if (cached != slots.sinkOf.end()) {
            log.Bind(cached->second);
            return true;
        }
        factory = slots.logSinks;
        generation = slots.factoryGeneration;
    }
    // The factory runs without the lock: it may open a file, or log.
    std::shared_ptr<LogSink> sink;
    if (factory) {
        try {
            sink = factory(fileName);
        } catch (...) {
            sink = nullptr;
        }
    }
    if (sink) {
        std::lock_guard<std::mutex> lock(slots.logMutex);
        if (slots.factoryGeneration == generation) {  // not a sink of a factory replaced meanwhile
            if (slots.sinkOf.size() >= kMaxCachedSinks) slots.sinkOf.clear();
            slots.sinkOf.emplace(fileName, sink);
        }
    }
    log.Bind(sink);
    return sink != nullptr;
}

}  // namespace utility
}  // namespace ZEL

// ---- The factories ----

namespace zel {

struct AgentFactory::State {
    std::mutex mutex;
    std::shared_ptr<ZEL::IConfigAgent> configAgent;
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> notificationAgent;
};

AgentFactory::AgentFactory() : m_state(std::make_shared<State>()) {}

AgentFactory* AgentFactory::GetInstance() {
    static AgentFactory* const factory = new AgentFactory();
    return factory;
}

std::shared_ptr<ZEL::IConfigAgent> AgentFactory::GetConfigPolicyAgent() {
    return ZEL::Read(m_state->mutex, m_state->configAgent);
}

std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> AgentFactory::GetNotificationAgent() {
    return ZEL::Read(m_state->mutex, m_state->notificationAgent);
}

void AgentFactory::SetConfigPolicyAgent(std::shared_ptr<ZEL::IConfigAgent> agent) {
    ZEL::Replace(m_state->mutex, m_state->configAgent, std::move(agent));
}

void AgentFactory::SetNotificationAgent(
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> agent) {
    ZEL::Replace(m_state->mutex, m_state->notificationAgent, std::move(agent));
}

struct ZELHelperFactory::State {
    std::mutex mutex;
    std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator;
    std::shared_ptr<ZEL::ZelStatusManager> statusManager;
};

ZELHelperFactory::ZELHelperFactory() : m_state(std::make_shared<State>()) {}

ZELHelperFactory* ZELHelperFactory::GetInstance() {
    static ZELHelperFactory* const factory = new ZELHelperFactory();
    return factory;
}

std::shared_ptr<ZEL::ApplicabilityEvaluator> ZELHelperFactory::GetApplicablilityEvaluatorAgent() {
    return ZEL::Read(m_state->mutex, m_state->evaluator);
}

std::shared_ptr<ZEL::ZelStatusManager> ZELHelperFactory::GetZelStatusManager() {
    return ZEL::Read(m_state->mutex, m_state->statusManager);
}

void ZELHelperFactory::SetApplicabilityEvaluator(std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator) {
    ZEL::Replace(m_state->mutex, m_state->evaluator, std::move(evaluator));
}

void ZELHelperFactory::SetZelStatusManager(std::shared_ptr<ZEL::ZelStatusManager> manager) {
    ZEL::Replace(m_state->mutex, m_state->statusManager, std::move(manager));
}

}  // namespace zel

namespace ZEL {

IConfigAgent* ConfigPolicyAgent::GetInstance() {
    return zel::AgentFactory::GetInstance()->GetConfigPolicyAgent().get();
}

// ---- The environment ----

namespace DataSync {

void InstallEnvironment(const AgentEnvironment& environment) {
    Slots& slots = Installed();
    slots.clock.store(environment.clock);
    slots.transport.store(environment.transport);
    slots.bus.store(environment.bus);
    slots.device.store(environment.device);
    slots.urls.store(environment.urls);
    slots.criticalEvents.store(environment.criticalEvents);
    slots.impersonation.store(environment.impersonation);
    slots.watching.store(environment.watching);
    zel::AgentFactory* agents = zel::AgentFactory::GetInstance();
    agents->SetConfigPolicyAgent(Unowned(environment.config));
    agents->SetNotificationAgent(Unowned(environment.notification));
    zel::ZELHelperFactory* helpers = zel::ZELHelperFactory::GetInstance();
    helpers->SetApplicabilityEvaluator(Unowned(environment.applicability));
    helpers->SetZelStatusManager(Unowned(environment.status));
    if (environment.logSinks) utility::SetLogSinkFactory(environment.logSinks);
    InstallStores({environment.tables, environment.bookmarks, environment.files, environment.registry});
}

AgentEnvironment InstalledEnvironment() {
    Slots& slots = Installed();
    AgentEnvironment environment;
    environment.clock = Clock::GetInstance();
    environment.transport = slots.transport.load();
    environment.bus = slots.bus.load();
    environment.config = zel::AgentFactory::GetInstance()->GetConfigPolicyAgent().get();
    environment.notification = zel::AgentFactory::GetInstance()->GetNotificationAgent().get();
    environment.device = slots.device.load();
    environment.applicability = zel::ZELHelperFactory::GetInstance()->GetApplicablilityEvaluatorAgent().get();
    environment.status = zel::ZELHelperFactory::GetInstance()->GetZelStatusManager().get();
    environment.urls = slots.urls.load();
    environment.criticalEvents = slots.criticalEvents.load();
    environment.impersonation = slots.impersonation.load();
    environment.watching = slots.watching.load();
    const Stores stores = InstalledStores();
    environment.tables = stores.tables;
    environment.bookmarks = stores.bookmarks;
    environment.files = stores.files;
    environment.registry = stores.registry;
    {
        std::lock_guard<std::mutex> lock(slots.logMutex);
        environment.logSinks = slots.logSinks;
    }
    return environment;
}

}  // namespace DataSync
}  // namespace ZEL
