// For tests of the module on fakes only: FakeHost installs an environment of in-memory stores,
// files and registry, a scripted transport, a configuration agent, a bus on which the publisher
// delivers, watchers and timers that never fire, the small host services of HostFakes.h and a
// manual clock (or the clock it is given), and puts the previous environment back when it ends.
// The device is registered, the collector accepts every request and the newest device context is
// there, unless a test says otherwise. The components themselves are PreparedComponents, which
// build on whatever is installed.
//
// Lifetime: a FakeHost outlives every PreparedComponents built on it (declare it first).
// Thread safety: install and uninstall happen on the test's thread, before and after the
// components' threads; the fakes themselves may be called from any thread.
#pragma once

#include <memory>

#include "datasync/agent/AgentEnvironment.h"
#include "datasync/host/DeviceStatus.h"
#include "support/FakeBus.h"
#include "support/FakeConfigAgent.h"
#include "support/FakeTransport.h"
#include "support/FakeWatching.h"
#include "support/HostFakes.h"
#include "support/LogCapture.h"
#include "support/ManualClock.h"
#include "support/MemoryFiles.h"
#include "support/MemoryStores.h"
#include "support/PreparedComponents.h"

namespace testsupport {

// An item event of `datasetId` with item id `itemId`.
inline ZEL::ItemEvent MakeItemEvent(const std::wstring& datasetId, const std::wstring& itemId,
                                    const ZEL::StringMap& data = {}) {
    ZEL::ItemEvent event;
    event.set_dataset_id(datasetId), event.set_item_id(itemId), event.set_item_name(L"n");
    event.set_item_data(data);
    return event;
}

class FakeHost {
public:
    static constexpr std::time_t kNow = 1796554800;
    using Root = ZEL::utility::EGetDBPathMethod;

    // `useClock` (not owned) in place of the manual clock, when given.
    explicit FakeHost(ZEL::Clock* useClock = nullptr) : m_saved(ZEL::DataSync::InstalledEnvironment()) {
        ZEL::DataSync::AgentEnvironment environment;
        environment.clock = useClock != nullptr ? useClock : &clock;
        environment.bus = &bus;
        environment.device = &device;
        environment.status = &status;
        environment.criticalEvents = &criticalEvents;
        environment.watching = &watching;
        environment.registry = &registry;
        environment.transport = &transport;
        environment.config = &config;
        environment.applicability = &applicability;
        environment.urls = &urls;
        environment.tables = &tables;
        environment.bookmarks = &bookmarks;
        environment.files = &files;
        ZEL::DataSync::InstallEnvironment(environment);
        transport.SetRegistered(true);
        transport.Accept();
        // The newest device context, which every KTA and NAVS upload carries.
        ZEL::DeviceContext context;
        context.set_device_context_id(L"dc-1");
        tables.Add(TableOf<ZEL::DeviceContext>(L""), context);
        files.Add(ZEL::utility::DB_PATH_INTERNAL, ZEL::DataSync::kDeviceContextFileName);
    }
    ~FakeHost() { ZEL::DataSync::InstallEnvironment(m_saved); }
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // Hands `policy` to the configuration agent (uploads read it there), for PreparedComponents.
    const ZEL::TelemetryPolicy& UsePolicy(const ZEL::TelemetryPolicy& policy) {
        config.SetPolicy(policy);
        return policy;
    }
    // `count` item events of `datasetId` in its file under `root`; returns the file's path.
    std::wstring AddItemEvents(Root root, const std::wstring& datasetId, int count) {
        for (int n = 0; n < count; ++n)
            tables.Add(TableOf(datasetId, root), MakeItemEvent(datasetId, L"i" + std::to_wstring(n)));
        return files.Add(root, ZEL::DataSync::TelemetryFileName(datasetId, L"ItemEvent"));
    }

    LogCapture logs;  // first: it outlives everything that logs
    ManualClock clock{std::chrono::system_clock::from_time_t(kNow)};
    MemoryTables tables;
    MemoryBookmarks bookmarks;
    MemoryFiles files;
    FakeTransport transport;
    FakeConfigAgent config;
    FakeBus bus;
    FakeWatching watching;
    EveryDatasetApplicable applicability;
    HttpsUrls urls;
    FakeDeviceFacts device;
    FakeStatus status;
    RecordedCriticalEvents criticalEvents;
    MemoryRegistry registry;

private:
    ZEL::DataSync::AgentEnvironment m_saved;
};

// A policy of near-real-time and scheduled datasets that include every event, all sent to
// `syncEPs`, with the three families' URLs (NAVP's as given).
inline ZEL::TelemetryPolicy SyncPolicy(const std::wstring& syncEPs,
                                       std::initializer_list<std::pair<std::wstring, std::wstring>> datasets,
                                       const std::wstring& navpUrl = L"https://navp.test/") {
    ZEL::TelemetryPolicy policy;
    policy.telemetryScope = L"All";
    policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                               {L"NAVS_syncEP_url", L"https://navs.test/"},
                               {L"NAVP_syncEP_url", navpUrl}};
    for (const auto& [id, frequency] : datasets) {
        policy.datasets.push_back(MakeDataSet(id, L"Data", syncEPs, frequency));
        policy.datasets.back().set_include_events({L"ALL"});
    }
    return policy;
}

}  // namespace testsupport
