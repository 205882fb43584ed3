// FamilyLeg: one endpoint family's upload of one table, with the gates in front of it and the
// bookkeeping behind it. The dispatch of a database and the device-context upload both post
// through it, so each family is guarded the same way on every road.
//
// In front, in this order (the first that refuses holds the upload, naming itself in the outcome):
//   every family   the device-path purge block ("purge")
//   KTA, NAVS      the certificate-expiry pause ("certificate_pause"; a due heartbeat call passes)
//   every family   the consent gate for the dataset ("consent"; an empty id: the device context)
//   KTA, NAVS      a registered device with the family enabled ("not_ready")
//   NAVP           a valid URL ("no_url")
//   KTA, NAVS      the back-off pre-check, which also holds the device-missing block ("backoff")
// Behind a KTA or NAVS upload: the certificate-expiry check of the answer (an expired certificate
// pauses uploads and nothing else is made of the answer; an accepted answer ends a pause only when
// the request presented the client certificate), the device-missing check, and only when
// the answer is not device-missing the back-off bookkeeping; an accepted KTA post clears
// "syncRetryError". NAVP has no certificate, device-missing or back-off handling.
//
// What the two roads make of a leg's result (which family decides, whether a device-missing
// answer from NAVS counts as done) stays with them; so do their log lines.
//
// Each leg's outcome (a gate's refusal included) goes to the upload ledger, for the status.
//
// Thread safety: any thread (the worker, the timer's start-up scan, a host thread); no lock of its
// own, the gates and the ledger guard their own state. Never waits.
#pragma once

#include <string>

#include "datasync/common/UploadOutcome.h"
#include "datasync/config/ConsentGate.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/host/Log.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/resilience/CertExpiryPause.h"
#include "datasync/resilience/DeviceMissing.h"
#include "datasync/scheduling/SyncReadiness.h"
#include "datasync/scheduling/UploadLedger.h"
#include "datasync/upload/BatchPipeline.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"

namespace ZEL {
namespace DataSync {

class FamilyLeg {
public:
    struct Parts {
        const SyncReadiness& readiness;
        const EndpointConfig& endpoints;
        const ConsentGate& consent;
        CertExpiryPause& certPause;
        ExponentialBackoff& backoff;
        DeviceMissingState& deviceMissing;
        const DevicePathPurge& purge;
        upload::UploadServices services;  // the stores and held bookmark files of the agent
        UploadLedger& ledger;             // every leg's outcome is recorded there
        Log& log;
    };

    // One upload: which family, of which table.
    struct Upload {
        SyncEP::SyncEp_type family;
        std::wstring datasetId;  // empty for the device context
        int kind;                // a SyncTypes value (the same numbers for NAVP)
        utility::EGetDBPathMethod method;
        const wchar_t* function;  // the caller, in the log lines
    };

    struct Result {
        UploadOutcome outcome;            // Held when a gate refused
        bool certificateExpired = false;  // the answer paused uploads
        bool deviceMissing = false;       // the answer was a device-missing 403
        bool backedOff = false;           // the answer was a back-off failure (a wait or a block)
    };

    explicit FamilyLeg(Parts parts) : m_parts(std::move(parts)) {}

    Result Run(const Upload& upload);
    // Records a refusal made for the whole dataset, in front of its legs.
    void Record(const std::wstring& datasetId, SyncEP::SyncEp_type family, const UploadOutcome& outcome) {
        m_parts.ledger.Record(datasetId, family, outcome);
    }

    // The uploaders as the agent builds them: the family's URL, name, bookmark file and
    // authentication, the agent's stores; they post nothing while the purge blocks uploads.
    SyncAgentsHelper KtaNavsUploader(SyncEP::SyncEp_type family, const std::wstring& datasetId,
                                     SyncTypes kind, utility::EGetDBPathMethod method) const;
    NavpSyncAgent NavpUploader(const std::wstring& datasetId, _NavpSyncType kind,
                               utility::EGetDBPathMethod method) const;

private:
    Result RunLeg(const Upload& upload);
    // The first gate that refuses, or null.
    const char* RefusingGate(const Upload& upload);
    Result AfterAnswer(const Upload& upload, const UploadOutcome& outcome,
                       ZELCore::InvokeHttpResponse& response);

    Parts m_parts;
};

}  // namespace DataSync
}  // namespace ZEL
