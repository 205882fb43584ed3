// Device and status queries of the host: consent and ownership facts read by the metrics gate,
// the applicability evaluator, the critical-gateway-error status, and the endpoint URL service.
//
// The Linux host answers them from its device state (the host config's "device" section,
// changeable at run time); tests change that state or install evaluators of their own through
// zel::ZELHelperFactory.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <utility>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {

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
    static EpUrlProvider* GetInstance();
    static void SetInstance(EpUrlProvider* provider);

    // An absolute https:// URL with a host (http:// only to a loopback host, when allowed).
    virtual bool ValidateUri(const std::wstring& uri) = 0;
    // The device's organisational realm; 0 on success.
    virtual unsigned long GetRealm(std::wstring& realm) = 0;
};

}  // namespace ZEL

namespace zel {

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
