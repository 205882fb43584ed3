// The readable form of a status answer for `datasyncctl status`: agent flags, the endpoint
// families (enabled, URL valid, URL), back-off records, the 403 state, the certificate pause,
// the databases watched, the sync-map records, pending device-context records, the queue length
// and the host's device state and folders.
//
// Members missing from the answer are shown as "-" rather than failing, so that a datasyncctl
// works with a daemon whose status grew or shrank.
#pragma once

#include <json/json.h>

#include <ostream>

namespace datasyncctl {

// Writes the summary of `answer` (a whole {"ok":true,"status":...,"host":...} answer).
void WriteStatusSummary(const Json::Value& answer, std::ostream& out);

}  // namespace datasyncctl
