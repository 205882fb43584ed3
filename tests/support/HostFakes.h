// The small host services as fakes, for FakeHost: the answers are plain fields a test sets.
// Thread safety: every call may come from any thread.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Impersonation.h"
#include "datasync/host/Registry.h"

namespace testsupport {

// Every dataset is applicable unless the test says none is.
class EveryDatasetApplicable : public ZEL::ApplicabilityEvaluator {
public:
    bool Evaluate(const ZEL::ApplicabilityFilter&, const void*, std::list<ZEL::KeyValuePair>&,
                  std::wstring&) override {
        return applicable;
    }
    std::atomic<bool> applicable{true};
};

// An https:// URL with a host and no space or user part is valid; the realm is the one set.
class HttpsUrls : public ZEL::EpUrlProvider {
public:
    bool ValidateUri(const std::wstring& uri) override {
        if (uri.rfind(L"https://", 0) != 0) return false;
        const std::wstring::size_type hostEnd = uri.find(L'/', 8);
        const std::wstring host = uri.substr(8, hostEnd == std::wstring::npos ? std::wstring::npos : hostEnd - 8);
        return !host.empty() && host.find_first_of(L" @") == std::wstring::npos;
    }
    unsigned long GetRealm(std::wstring& value) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        value = realm;
        return 0;
    }
    void SetRealm(const std::wstring& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        realm = value;
    }

private:
    std::mutex m_mutex;
    std::wstring realm;  // guarded by m_mutex
};

// A commercial device with anonymous metrics off, unless set otherwise.
struct FakeDeviceFacts : ZEL::DeviceFacts {
    bool IsDeviceClaimedInCommercialOrg() override { return claimed; }
    bool IsConsumerDevice() override { return consumer; }
    bool IsAnonymousMetricsEnabled() override { return anonymousMetrics; }
    std::atomic<bool> claimed{true}, consumer{false}, anonymousMetrics{false};
};

struct FakeStatus : ZEL::ZelStatusManager {
    bool HasCriticalError() override { return critical; }
    std::atomic<bool> critical{false};
};

class RecordedCriticalEvents : public ZEL::CriticalEvents {
public:
    void Log(int eventId, int value) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_active.insert({eventId, value});
    }
    void ResetError(int eventId, int) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_active.begin(); it != m_active.end();) it = it->first == eventId ? m_active.erase(it) : ++it;
    }
    std::set<std::pair<int, int>> Active() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_active;
    }

private:
    std::mutex m_mutex;
    std::set<std::pair<int, int>> m_active;  // guarded by m_mutex
};

class MemoryRegistry : public ZEL::Registry {
public:
    void Write(const std::wstring& name, long value) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!name.empty()) m_values[name] = value;
    }
    bool Read(const std::wstring& name, long& value) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_values.find(name);
        if (found == m_values.end()) return false;
        value = found->second;
        return true;
    }

private:
    std::mutex m_mutex;
    std::map<std::wstring, long> m_values;  // guarded by m_mutex
};

// The logged-on user as the host answers for it (host/Impersonation.h), installed while it lives:
// every switch's Enter returns `enter`, nothing is switched, never the administrator.
class FakeLogonUser : public ZEL::Impersonation {
public:
    explicit FakeLogonUser(int enter) : m_enter(enter) { Install(this); }
    ~FakeLogonUser() override { Install(nullptr); }
    FakeLogonUser(const FakeLogonUser&) = delete;
    FakeLogonUser& operator=(const FakeLogonUser&) = delete;
    std::unique_ptr<ZEL::UserSwitch> NewSwitch() override { return std::make_unique<Switch>(m_enter); }
    bool IsAdmin() override { return false; }

private:
    struct Switch : ZEL::UserSwitch {
        explicit Switch(int code) : enter(code) {}
        int EnterLogOnUserMode() override { return enter; }
        void ExitLogOnUserMode() override {}
        const int enter;
    };
    static void Install(ZEL::Impersonation* impersonation) {
        ZEL::DataSync::AgentEnvironment environment = ZEL::DataSync::InstalledEnvironment();
        environment.impersonation = impersonation;
        environment.logSinks = nullptr;  // the installed log capture stays
        ZEL::DataSync::InstallEnvironment(environment);
    }
    const int m_enter;
};

}  // namespace testsupport
