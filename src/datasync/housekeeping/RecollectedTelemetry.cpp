// The recollected telemetry and the pending user-agent acknowledgements.
#include "datasync/housekeeping/RecollectedTelemetry.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kRecollectedDatasetNames[] = {
    L"DeviceContext",  L"ZELEvent",          L"BatteryEvent",         L"SystemBIOSEvent",
    L"CPUEvent",       L"DeviceDriversEvent", L"DisplayEvent",         L"MemoryEvent",
    L"NetworkEvent",   L"PCIe_NVMe_SMARTEvent", L"SATA_SSD_SMARTEvent", L"SMARTEvent",
    L"StorageEvent",   L"SystemPowerEvent",  L"USBPortEvent",         L"PackageStatus",
    L"AlexaEvent",     L"SMBIOSTable",       L"SystemInformation",    L"ZelInformation",
    L"DeviceStatus",   L"DeviceProcessEvent", L"PCIe_NVMe_SelfTestResult", L"SATA_SSD_SelfTestResult",
};

}  // namespace

RecollectedTelemetry::RecollectedTelemetry() {
    for (const wchar_t* name : kRecollectedDatasetNames) m_recollectedTelemetry[name] = {};
}

bool RecollectedTelemetry::SetFiles(const std::wstring& datasetName, std::vector<std::wstring> files) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_recollectedTelemetry.find(datasetName);
    if (found == m_recollectedTelemetry.end()) return false;
    found->second = std::move(files);
    return true;
}

RecollectedTelemetry::Files RecollectedTelemetry::Copy() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recollectedTelemetry;
}

std::vector<std::wstring> RecollectedTelemetry::Names() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::wstring> names;
    for (const auto& entry : m_recollectedTelemetry) names.push_back(entry.first);
    return names;
}

void RecollectedTelemetry::AddAcknowledgement(std::future<bool> acknowledged) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_duplicateFutures.push_back(std::move(acknowledged));
}

bool RecollectedTelemetry::TakeAcknowledgements() {
    std::vector<std::future<bool>> futures;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        futures.swap(m_duplicateFutures);
    }
    bool acknowledged = true;
    for (std::future<bool>& future : futures) {
        if (!future.valid()) continue;
        try {
            if (!future.get()) acknowledged = false;
        } catch (...) {
            acknowledged = false;
        }
    }
    return acknowledged;
}

}  // namespace DataSync
}  // namespace ZEL
