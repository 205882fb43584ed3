// The Linux host's configuration agent: the telemetry policy and the two settings queries,
// answered from the policy in force, read from the policy file named by the host settings
// (policy_file).
//
// The policy is kept in memory: read once (on first use, and again when policy_file names
// another file) and read again by Reload(), which the policy watcher calls when the file's
// content has changed. A reading that cannot be used (the file missing, caught half-written, not
// valid) never replaces the policy in force: the last good policy stays, and the problem is
// logged once and shown by CurrentStatus(). Until some reading was usable, every call fails.
// The push channel's run-time state overrides the file's channel mode and heartbeat suppression
// when it names one.
//
// Logging (host.log): each reading logs one error line when the policy cannot be used (naming the
// file and the first problem; the same problem again is not logged twice in a row), one error line
// per dataset left out, and one warning per URL that lacks its final "/".
//
// Thread safety: every operation may be called from any thread. Readings run with no lock held;
// the policy in force is swapped whole under m_mutex, and callers work on their own reference.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/ConfigPolicy.h"

namespace ZEL {
namespace linuxhost {
namespace policy {
struct PolicyDocument;
}

class PolicyFileAgent : public IConfigAgent {
public:
    // What the status shows of the policy.
    struct Status {
        std::string file;      // the file in force (or last tried)
        bool inForce = false;  // some reading was usable
        std::string problem;   // why the last reading was not used; empty when it was
    };

    // The fifth text is the push channel mode if set, else the policy's settings.channel_mode;
    // the other texts stay as they are. False (record untouched) without a policy in force.
    bool QuerySettings(ZelSettings& settings) override;

    // Fills `policy` (members missing from the file become empty); datasets left out for a bad id
    // or a missing include list are not in it. False (record untouched) without a policy in force.
    bool ReadTelemetryPolicy(TelemetryPolicy& policy) override;
    // The same reading in force itself, shared, with no copy. Null without a policy in force.
    std::shared_ptr<const TelemetryPolicy> TelemetryPolicyInForce() override;
    // From the policy in force, copying only the list.
    bool ReadIncludeEvents(const std::wstring& datasetId, std::list<std::wstring>& includeEvents) override;

    // heartbeat_suppression is the push channel suppression if set, else the policy's
    // policy.heartbeat_suppression; the rest stays as it is. False (record untouched) without a
    // policy in force.
    bool QueryPolicy(ZelPolicy& policy) override;

    // Reads the policy file again. True when the reading was usable and is now in force; false
    // when the policy in force (if any) stays.
    bool Reload();

    Status CurrentStatus() const;

    // Appends every problem of the policy file at `path` to `problems` and every warning to
    // `warnings`, one line each, "<file>: <member>: <what>". True when there is no problem.
    // Logs nothing.
    static bool ValidatePolicyFile(const std::string& path, std::vector<std::string>& problems,
                                   std::vector<std::string>* warnings = nullptr);

private:
    // The policy in force, reading it first when nothing was read yet from the configured file.
    std::shared_ptr<const policy::PolicyDocument> InForce();
    bool Load(const std::string& path);

    mutable std::mutex m_mutex;
    std::shared_ptr<const policy::PolicyDocument> m_inForce;  // guarded by m_mutex; the last usable reading
    std::string m_inForceFile;                                // guarded by m_mutex
    std::string m_triedFile;                                  // guarded by m_mutex: the file read last
    std::string m_problem;                                    // guarded by m_mutex: why it was not used
};

}  // namespace linuxhost
}  // namespace ZEL
