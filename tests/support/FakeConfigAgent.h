// A configuration agent whose telemetry policy the test sets, with a switch that makes the
// policy read fail, and a count of the reads (one per start of the agent).
//
// Install it with zel::AgentFactory::GetInstance()->SetConfigPolicyAgent(...).
// Thread safety: every call may come from any thread (the agent restarts on the bus thread).
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <utility>

#include "datasync/host/ConfigPolicy.h"

namespace testsupport {

class FakeConfigAgent : public ZEL::IConfigAgent {
public:
    void SetPolicy(ZEL::TelemetryPolicy policy) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_policy = std::move(policy);
    }
    // Changes the policy that later reads hand out.
    template <typename Change>
    void ChangePolicy(Change change) {
        std::lock_guard<std::mutex> lock(m_mutex);
        change(m_policy);
    }
    void SetReadFails(bool fails) { m_readFails = fails; }

    bool QuerySettings(ZEL::ZelSettings&) override { return true; }
    bool ReadTelemetryPolicy(ZEL::TelemetryPolicy& policy) override {
        if (m_readFails) return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        policy = m_policy;
        return true;
    }
    bool QueryPolicy(ZEL::ZelPolicy&) override { return true; }

private:
    std::mutex m_mutex;
    ZEL::TelemetryPolicy m_policy;  // guarded by m_mutex
    std::atomic<bool> m_readFails{false};
};

// One dataset policy.
inline ZEL::DataSet MakeDataSet(const std::wstring& id, const std::wstring& name, const std::wstring& syncEPs,
                                const std::wstring& frequency, bool enabled = true) {
    ZEL::DataSet dataset;
    dataset.set_dataset_id(id);
    dataset.set_dataset_name(name);
    dataset.set_syncEPs(syncEPs);
    dataset.set_syncEP_frequency(frequency);
    dataset.set_dataset_enable(enabled);
    return dataset;
}

}  // namespace testsupport
