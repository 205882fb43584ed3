// Device and status queries of the host: consent and ownership facts read by the metrics gate,
// the applicability evaluator, the critical-gateway-error status, and the endpoint URL service.
//
// The host implements DeviceFacts, ApplicabilityEvaluator, ZelStatusManager and EpUrlProvider;
// the static functions and factories below are doors onto the objects of the installed
// environment (agent/AgentEnvironment.h), defined by the module. Tests install fakes, or the
// Linux host's objects (which answer from its device state, changeable at run time).
#pragma once

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {

// The consent and ownership facts of the device. Thread safety: callable from any thread.
class DeviceFacts {
public:
    virtual ~DeviceFacts() = default;
    virtual bool IsDeviceClaimedInCommercialOrg() = 0;
    virtual bool IsConsumerDevice() = 0;
    virtual bool IsAnonymousMetricsEnabled() = 0;
};

// The doors onto the installed DeviceFacts; each answers false while none is installed.
class DeviceManagementStatus {
public:
    static bool IsDeviceClaimedInCommercialOrg();
};

class DeviceSubscriptionUtility {
public:
    static bool isConsumerDevice();
};

class ZeroDayUtil {
public:
    static bool IsAnonymousMetricsEnabled(int reserved);
};

using KeyValuePair = std::pair<std::wstring, std::wstring>;

class ApplicabilityEvaluator {
public:
    virtual ~ApplicabilityEvaluator() = default;
    // True when this device matches `filter`. `context` may be null; `details` may be filled
    // with the attributes that decided; `discardedReason` receives why a filter failed.
    virtual bool Evaluate(const ApplicabilityFilter& filter, const void* context, std::list<KeyValuePair>& details,
                          std::wstring& discardedReason) = 0;
    // The evaluator's discarded-reason text, handed back to Evaluate by the caller.
    std::wstring& SetDiscardedReason() { return m_discardedReason; }

private:
    std::wstring m_discardedReason;
};

class ZelStatusManager {
public:
    virtual ~ZelStatusManager() = default;
    // True while the client faces a critical gateway error.
    virtual bool HasCriticalError() = 0;
};

class EpUrlProvider {
public:
    virtual ~EpUrlProvider() = default;
    // The installed provider (not owned), null when none is installed.
    static EpUrlProvider* GetInstance();
    static void SetInstance(EpUrlProvider* provider);

    // An absolute https:// URL with a host (http:// only to a loopback host, when allowed).
    virtual bool ValidateUri(const std::wstring& uri) = 0;
    // The device's organisational realm; 0 on success.
    virtual unsigned long GetRealm(std::wstring& realm) = 0;
};

}  // namespace ZEL

namespace zel {

// The applicability evaluator and status manager slots. Getters hand out shared pointers, so a
// helper replaced while a caller still uses it lives until that caller lets go; an environment's
// helpers are installed without ownership. Thread safety: any thread.
class ZELHelperFactory {
public:
    static ZELHelperFactory* GetInstance();

    std::shared_ptr<ZEL::ApplicabilityEvaluator> GetApplicablilityEvaluatorAgent();
    std::shared_ptr<ZEL::ZelStatusManager> GetZelStatusManager();

    void SetApplicabilityEvaluator(std::shared_ptr<ZEL::ApplicabilityEvaluator> evaluator);
    void SetZelStatusManager(std::shared_ptr<ZEL::ZelStatusManager> manager);

private:
    struct State;
    ZELHelperFactory();
    std::shared_ptr<State> m_state;
};

}  // namespace zel
