// One family's upload with its gates and its bookkeeping.
#include "datasync/scheduling/FamilyLeg.h"

#include "datasync/config/EndpointFamilies.h"
#include "datasync/host/Registry.h"

namespace ZEL {
namespace DataSync {
namespace {

bool IsKtaOrNavs(SyncEP::SyncEp_type family) {
    return family == SyncEP::SyncEP_KTA || family == SyncEP::SyncEP_NAVS;
}

}  // namespace

SyncAgentsHelper FamilyLeg::KtaNavsUploader(SyncEP::SyncEp_type family, const std::wstring& datasetId,
                                            SyncTypes kind, utility::EGetDBPathMethod method) const {
    const EndpointFamily& entry = FamilyOf(family);
    const EndpointUrls urls = m_parts.endpoints.CurrentEndpointUrls();
    SyncAgentsHelper uploader(datasetId, urls.*entry.url, kind, entry.name, entry.bookmarkFile,
                              urls.*entry.auth, false, method);
    uploader.SetServices(m_parts.services);
    return uploader;
}

NavpSyncAgent FamilyLeg::NavpUploader(const std::wstring& datasetId, _NavpSyncType kind,
                                      utility::EGetDBPathMethod method) const {
    NavpSyncAgent uploader(datasetId, m_parts.endpoints.CurrentEndpointUrls().navp, kind, method);
    uploader.SetServices(m_parts.services);
    return uploader;
}

const char* FamilyLeg::RefusingGate(const Upload& upload) {
    const bool ktaOrNavs = IsKtaOrNavs(upload.family);
    const bool kta = upload.family == SyncEP::SyncEP_KTA;
    if (m_parts.purge.IsTelemetrySyncBlocked()) return "purge";
    if (ktaOrNavs && m_parts.certPause.IsDataSyncPausedDueToCertExpiry()) {
        m_parts.log.w(L"%s: Skipping sync - DataSync paused due to certificate expiry", upload.function);
        return "certificate_pause";
    }
    const bool consent = upload.datasetId.empty() ? m_parts.consent.IsSyncAllowedByMetrics()
                                                  : m_parts.consent.IsSyncAllowedByMetrics(upload.datasetId);
    if (!consent) return "consent";
    if (!ktaOrNavs) return m_parts.endpoints.IsUrlValid(upload.family) ? nullptr : "no_url";
    if (!(kta ? m_parts.readiness.IsKtaSyncReady() : m_parts.readiness.IsNavsSyncReady())) return "not_ready";
    if (!(kta ? m_parts.backoff.ShouldPostForKta() : m_parts.backoff.ShouldPostForNavs())) return "backoff";
    return nullptr;
}

FamilyLeg::Result FamilyLeg::Run(const Upload& upload) {
    const Result result = RunLeg(upload);
    m_parts.ledger.Record(upload.datasetId, upload.family, result.outcome);
    return result;
}

FamilyLeg::Result FamilyLeg::RunLeg(const Upload& upload) {
    if (const char* gate = RefusingGate(upload)) return Result{UploadOutcome::HeldBy(gate)};
    if (upload.family == SyncEP::SyncEP_NAVP)
        return Result{
            NavpUploader(upload.datasetId, static_cast<_NavpSyncType>(upload.kind), upload.method).Upload()};

    m_parts.log.d(L"%s: Making a sync post call for dataset:%s(type:%d)", upload.function, upload.datasetId,
                  upload.kind);
    ZELCore::InvokeHttpResponse response;
    const UploadOutcome outcome =
        KtaNavsUploader(upload.family, upload.datasetId, static_cast<SyncTypes>(upload.kind), upload.method)
            .Upload(response);
    return AfterAnswer(upload, outcome, response);
}

FamilyLeg::Result FamilyLeg::AfterAnswer(const Upload& upload, const UploadOutcome& outcome,
                                         ZELCore::InvokeHttpResponse& response) {
    Result result{outcome};
    // Only an answer to a request that presented the client certificate says anything about it.
    const bool presented =
        m_parts.endpoints.CurrentEndpointUrls().*FamilyOf(upload.family).auth == ZELCore::HTTP_AUTH_MTLS;
    if (m_parts.certPause.CheckAndHandleCertificateExpiryError(response, presented)) {
        m_parts.log.e(L"%s: Certificate expiry detected for dataset:%s", upload.function, upload.datasetId);
        result.certificateExpired = true;
        return result;
    }
    result.deviceMissing = m_parts.deviceMissing.CheckAndHandle403DeviceMissingError(response);
    if (!result.deviceMissing)
        result.backedOff = m_parts.backoff.CheckForExponentialBackoffRetry(outcome, upload.family);
    if (upload.family == SyncEP::SyncEP_KTA && outcome.PostAccepted()) {
        std::wstring name = L"syncRetryError";
        utility::WriteErrorToRegistry(name, 0);
    }
    return result;
}

}  // namespace DataSync
}  // namespace ZEL
