// WhyRowsWait: the one current reason why rows of a dataset wait for an endpoint family, in a
// person's words, with what ends it and, when it ends by itself, when. The reasons are the upload
// road's own: its gates, asked in the order the family leg meets them (from the components'
// published state, so that asking changes nothing), then the last outcome the leg recorded for
// the dataset and family (upload ledger):
//
//   code                    from
//   not_started             the agent runs no uploads (no policy in force)
//   scope_none              the policy's telemetry scope "none"
//   purge_pending           the device-path purge block (pending, running, or awaiting resume)
//   certificate_pause       KTA, NAVS: the certificate-expiry pause (until: the next heartbeat)
//   no_consent              the consent gate for the dataset
//   not_registered          KTA, NAVS: the device is not registered
//   offline                 the device is offline
//   no_endpoint             the family is not enabled, or its URL is not valid
//   device_missing          KTA, NAVS: the 403 device-missing hour (until: its end)
//   blocked                 KTA, NAVS: the back-off used up a class's attempts
//   backoff                 KTA, NAVS: a back-off wait (until: its end)
//   not_applicable          the dataset's applicability filter refused it
//   no_device_context       KTA, NAVS: no device context to send the rows under
//   no_include_list         the policy names no include list for the dataset
//   bookmark_not_writable   the family's bookmark file refused a read or write (file named)
//   rows_unreadable         the telemetry table could not be read
//   endpoint_failing        the last post failed (its status or transport error, and when)
//   uploading               nothing holds the rows: the next pass sends them
//
// Thread safety: any thread; reads published state and atomics, takes no component's lock for
// longer than a copy, never waits.
#pragma once

#include <cstdint>
#include <string>

#include "datasync/config/SyncEP.h"

namespace ZEL::DataSync {
class AgentComponents;
}  // namespace ZEL::DataSync

namespace ZEL {
namespace DataSync {

struct WaitReason {
    std::string code;
    std::string words;       // what holds the rows
    std::string ends;        // what ends it
    std::int64_t until = 0;  // Unix seconds when it ends by itself; 0 when not by time
};

WaitReason WhyRowsWait(AgentComponents& components, const std::wstring& datasetId,
                       SyncEP::SyncEp_type family);

}  // namespace DataSync
}  // namespace ZEL
