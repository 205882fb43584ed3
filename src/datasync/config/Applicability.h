// ApplicabilityGate: whether a dataset applies to this device. Each dataset policy carries a
// filter naming the devices it applies to; the host's applicability evaluator decides whether
// this device matches. No policy, or no evaluator, means "not applicable": nothing is uploaded
// on a guess. (The timer pass throttles the costly evaluation per record; see
// scheduling/ApplicabilityThrottle.h.)
//
// Thread safety: any thread. The gate keeps no state; the evaluator is held by shared pointer
// for the length of a call, and no lock is held while it runs.
#pragma once

#include <string>

#include "datasync/config/DatasetPolicies.h"
#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {

class ApplicabilityGate {
public:
    ApplicabilityGate(const DatasetPolicies& policies, Log& log) : m_policies(policies), m_log(log) {}

    // The decision for a dataset policy; false for an empty one (no policy found).
    bool CheckApplicabilityFilterForDataset(const DataSet& dataset);
    // The decision for a database file: "DeviceContext.sqlite3" is judged by the device-context
    // dataset, any other file by the dataset its name gives. Never throws.
    bool IsApplicableForSync(const std::wstring& dbPath);

private:
    const DatasetPolicies& m_policies;
    Log& m_log;
};

}  // namespace DataSync
}  // namespace ZEL
