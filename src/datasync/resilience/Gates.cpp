// The gates around each upload, as far as this build has them. Back-off, the 403 state, the
// certificate pause, heartbeat suppression, applicability and consent are not built yet: each
// gate lets the upload through and says so once in the log; the certificate pause reads its flag.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::IsDataSyncPausedDueToCertExpiry() { return m_dataSyncPausedDueToCertExpiry.load(); }

bool DataSyncAgent::CheckAndHandleCertificateExpiryError(ZELCore::InvokeHttpResponse&) {
    NotAvailableYet(L"DataSyncAgent::CheckAndHandleCertificateExpiryError");
    return false;
}

bool DataSyncAgent::ShouldPostForKta() {
    NotAvailableYet(L"DataSyncAgent::ShouldPostForKta");
    return true;
}

bool DataSyncAgent::ShouldPostForNavs() {
    NotAvailableYet(L"DataSyncAgent::ShouldPostForNavs");
    return true;
}

bool DataSyncAgent::CheckForExponentialBackoffRetry(int, SyncEP::SyncEp_type) {
    NotAvailableYet(L"DataSyncAgent::CheckForExponentialBackoffRetry");
    return false;
}

bool DataSyncAgent::CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse&) {
    NotAvailableYet(L"DataSyncAgent::CheckAndHandle403DeviceMissingError");
    return false;
}

bool DataSyncAgent::IsSyncAllowedByMetrics(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::IsSyncAllowedByMetrics");
    return true;
}

bool DataSyncAgent::IsSyncAllowedByMetrics() { return IsSyncAllowedByMetrics(L""); }

bool DataSyncAgent::IsSyncAllowedByMetricsForFile(const std::wstring&) { return IsSyncAllowedByMetrics(L""); }

bool DataSyncAgent::CheckApplicabilityFilterForDataset(const ZEL::DataSet&) {
    NotAvailableYet(L"DataSyncAgent::CheckApplicabilityFilterForDataset");
    return true;
}

bool DataSyncAgent::IsApplicableForSyncWithThrottling(const std::wstring&, _sync_data&) {
    NotAvailableYet(L"DataSyncAgent::IsApplicableForSyncWithThrottling");
    return true;
}

bool DataSyncAgent::ShouldSyncHeartbeatTelemetry(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::ShouldSyncHeartbeatTelemetry");
    return true;
}
