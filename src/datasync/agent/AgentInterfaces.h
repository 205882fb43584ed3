// The two interfaces through which the host drives the agent: its agent base (start and stop)
// and the sync interface (upload one file, hand over a device-context record, purge after a
// realm change, applicability of a file).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/KernelObjects.h"

// The sync interface the host calls.
class IDataSyncAgent {
public:
    virtual bool HandleNRT(std::wstring fileName) = 0;
    virtual bool HandleSharedNRT(std::wstring fileName) = 0;
    virtual bool HandleDeviceContext(std::wstring fileName) = 0;
    virtual void AddDeviceContextRecordToSync(std::int64_t recordId) = 0;
    virtual void PurgeLocalTelemetryStoresForDevicePathRealmChange() = 0;
    virtual ~IDataSyncAgent() = default;
    virtual bool IsApplicableForSync(const std::wstring& dbPath) = 0;
};

// The host's agent base.
class IZELAgent {
public:
    explicit IZELAgent(std::wstring name) : m_agentName(std::move(name)) {}
    virtual ~IZELAgent() = default;
    // `serviceStop`: a manual-reset event the host sets when the service stops.
    virtual void Init(platform::HANDLE& serviceStop) = 0;
    virtual void UnInit() = 0;
    virtual void FullInit() = 0;
    const std::wstring& AgentName() const { return m_agentName; }

private:
    std::wstring m_agentName;
};
