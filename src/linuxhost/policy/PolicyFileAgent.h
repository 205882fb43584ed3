// The Linux host's configuration agent: the telemetry policy and the two settings queries,
// answered from the policy file named by the host settings (policy_file).
//
// The file is read afresh at each call, so a changed file (or a changed policy_file setting)
// takes effect at the next call without any cache to invalidate; the policy watcher tells the
// agent when to ask again. The push channel's run-time state overrides the file's channel mode
// and heartbeat suppression when it names one.
//
// Logging (host.log): ReadTelemetryPolicy writes one error line per call when the policy cannot
// be used (naming the file and the first problem) and otherwise one error line per dataset left
// out for its id. The two queries are called on every timer pass, so they log a problem only
// when it differs from the one they logged last.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace linuxhost {

class PolicyFileAgent : public IConfigAgent {
public:
    // The fifth text is the push channel mode if set, else the file's settings.channel_mode;
    // the other texts stay as they are. False (record untouched) when the policy is unusable.
    bool QuerySettings(ZelSettings& settings) override;

    // Fills `policy` (members missing from the file become empty); datasets with bad ids are
    // left out. False (record untouched) when the policy is unusable.
    bool ReadTelemetryPolicy(TelemetryPolicy& policy) override;

    // heartbeat_suppression is the push channel suppression if set, else the file's
    // policy.heartbeat_suppression; the rest stays as it is. False (record untouched) when the
    // policy is unusable.
    bool QueryPolicy(ZelPolicy& policy) override;

    // Appends every problem of the policy file at `path` to `problems`, one line each,
    // "<file>: <member>: <what>". True when there is none. Logs nothing.
    static bool ValidatePolicyFile(const std::string& path, std::vector<std::string>& problems);

private:
    // Logs `problem` unless it is the one logged last by a query; an empty text resets.
    void LogQueryProblem(const wchar_t* caller, const std::string& problem);

    std::mutex m_mutex;
    std::string m_lastQueryProblem;
};

}  // namespace linuxhost
}  // namespace ZEL
