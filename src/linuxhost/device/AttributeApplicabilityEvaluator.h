// The Linux host's applicability evaluator: decides whether a dataset's applicability filter
// matches this device, from the device attributes of the host state (device.attributes).
//
// Rules:
//   - the filter is a JSON object; each member names a device attribute and gives one allowed
//     value (a string) or a list of them (an array of strings);
//   - attribute names and values are compared ignoring (ASCII) case;
//   - the filter matches when every member matches; an empty or null filter matches every
//     device;
//   - a member naming an attribute the device does not have does not match;
//   - a member whose value is neither a string nor an array of strings (an empty array
//     included) does not match, and the reason says so;
//   - a filter that is neither an object nor null does not match.
// Members are checked in name order and the check stops at the first that fails. `details`
// receives (attribute, device value) for each attribute compared; `discardedReason` receives
// why the filter failed and is left as it was when it matches. `context` is not used.
//
// Thread safety: Evaluate may run on several threads at once. The agent hands the evaluator's
// own SetDiscardedReason() text to every call, so writes to `discardedReason` are serialised.
#pragma once

#include <list>
#include <mutex>
#include <string>

#include "datasync/host/DeviceStatus.h"

namespace ZEL {
namespace linuxhost {

class AttributeApplicabilityEvaluator : public ApplicabilityEvaluator {
public:
    bool Evaluate(const ApplicabilityFilter& filter, const void* context, std::list<KeyValuePair>& details,
                  std::wstring& discardedReason) override;

private:
    std::mutex m_reasonMutex;
};

}  // namespace linuxhost
}  // namespace ZEL
