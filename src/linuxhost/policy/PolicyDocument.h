// One reading of a policy file: the file's bytes checked as strict JSON and walked member by
// member into the telemetry policy and the two query values, with every problem found.
//
// The layout (every member optional; members not listed are ignored so that policies can grow):
//   telemetry_scope, primary_url, secondary_url, navs_url, navp_url, auth_mode   strings
//   sync_options                       list of strings
//   sync_endpoint_urls                 object of strings
//   datasets                           list of objects: dataset_id, dataset_name, syncEPs,
//                                      syncEP_frequency (strings), dataset_enable (boolean),
//                                      include_events (list of strings), applicability_filter
//                                      (object), dataset_settings (object of strings)
//   settings.channel_mode, policy.heartbeat_suppression                           strings
//
// Two kinds of problem: one that makes the whole policy unusable (the file cannot be read, is
// not one JSON object, or a member has the wrong type), and one that leaves a dataset out: an id
// that is not 36 hex digits and '-' (the id becomes part of file paths), or no include_events
// (without a list the uploaders would filter out every item event and move on, so the dataset's
// rows wait until the policy names them). Warnings leave the policy as it is: a KTA or NAVS URL
// without its final "/" (the uploaders add it before the record kind).
// Problem texts are single lines "<file>: <member>: <what>"; text taken from the file is
// escaped, so a hostile file cannot forge log lines.
#pragma once

#include <string>
#include <vector>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace linuxhost {
namespace policy {

struct PolicyProblem {
    enum class Kind {
        Unusable,   // the policy as a whole cannot be used
        Dataset,    // one dataset was left out
    };
    Kind kind;
    std::string text;
};

struct PolicyDocument {
    // False when some problem of kind Unusable was found; the values below are then partial.
    bool usable = false;
    std::vector<PolicyProblem> problems;  // in the order of the layout above
    std::vector<std::string> warnings;
    TelemetryPolicy policy;               // datasets with bad ids left out
    std::wstring channelMode;             // settings.channel_mode
    std::wstring heartbeatSuppression;    // policy.heartbeat_suppression
};

// Reads and checks `path` once. Does not log and does not throw.
PolicyDocument ReadPolicyDocument(const std::string& path);

// True for exactly 36 characters, each a hex digit (either case) or '-'.
bool IsValidDatasetId(const std::string& id);

}  // namespace policy
}  // namespace linuxhost
}  // namespace ZEL
