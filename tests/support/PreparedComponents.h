// The agent's components as a full initialisation leaves them (started, online, registered), no thread running.
#pragma once

#include "datasync/agent/AgentComponents.h"
#include "datasync/host/ConfigPolicy.h"
#include "platform/KernelObjects.h"

namespace testsupport {

struct PreparedComponents {
    explicit PreparedComponents(const ZEL::TelemetryPolicy& policy, platform::HANDLE stop = nullptr)
        : c(ZEL::DataSync::AgentEnvironment::Host()) {
        ZEL::utility::InitLog(c.log, L"DataSync.log", 4);
        c.stop.UseServiceStop(stop);
        c.ApplyPolicy(std::make_shared<const ZEL::TelemetryPolicy>(policy));
        c.state._b_is_online = c.state._b_is_DevRegistered = c.state.m_fullInitDone = true;
        c.backoff.InitRetryInfo();
    }
    ~PreparedComponents() { c.state._b_is_start = false; }

    ZEL::DataSync::RetryInfo Record(SyncEP::SyncEp_type type) {
        ZEL::DataSync::RetryInfo info;
        c.backoff.GetRetryInfo(type, info);
        return info;
    }
    // A notification or server command as the bus thread hands it over.
    void Notify(ZEL::ZELNotificationData data) { c.notifications.OnNotification(data); }
    // A registration done, as the host announces it (its trigger source as given).
    static ZEL::ZELNotificationData Registration(const std::wstring& source) {
        return ZEL::ZELNotificationData(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_DONE,
                                        LR"({"success":true,"triggerSource":")" + source +
                                            LR"(","deviceId":"dev-1","message":"","code":0})");
    }
    void RegistrationDone() { Notify(Registration(L"Test")); }
    bool DoPost(const std::wstring& id) { return c.dispatch.DoPost(id, 0, ZEL::utility::DB_PATH_INTERNAL, false); }

    ZEL::DataSync::AgentComponents c;
};

}  // namespace testsupport
