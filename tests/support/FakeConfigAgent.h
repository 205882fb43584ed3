// A configuration agent with the policy the test sets, whose read can fail; callable from any thread.
#pragma once

#include <atomic>
#include <mutex>

#include "datasync/host/ConfigPolicy.h"

namespace testsupport {

class FakeConfigAgent : public ZEL::IConfigAgent {
public:
    void SetPolicy(ZEL::TelemetryPolicy policy) {
        ChangePolicy([&policy](ZEL::TelemetryPolicy& current) { current = std::move(policy); });
    }
    template <typename Change>
    void ChangePolicy(Change change) {
        std::lock_guard<std::mutex> lock(m_mutex);
        change(m_policy);
    }
    void SetReadFails(bool fails) { m_readFails = fails; }

    bool QuerySettings(ZEL::ZelSettings&) override { return true; }
    bool ReadTelemetryPolicy(ZEL::TelemetryPolicy& policy) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_readFails) policy = m_policy;
        return !m_readFails;
    }
    bool QueryPolicy(ZEL::ZelPolicy&) override { return true; }

private:
    std::mutex m_mutex;
    ZEL::TelemetryPolicy m_policy;  // guarded by m_mutex
    std::atomic<bool> m_readFails{false};
};

inline ZEL::DataSet MakeDataSet(const std::wstring& id, const std::wstring& name, const std::wstring& syncEPs,
                                const std::wstring& frequency, bool enabled = true) {
    ZEL::DataSet d;
    d.set_dataset_id(id);
    d.set_dataset_name(name);
    d.set_syncEPs(syncEPs);
    d.set_syncEP_frequency(frequency);
    d.set_dataset_enable(enabled);
    return d;
}

}  // namespace testsupport
