// Names of the registration trigger sources, as written into registration payloads and logs.
// 7 and 8 are the manual registrations the agent looks for by name and must stay exactly as
// they are; the others name the host's own reasons to register.
#include "datasync/agent/SendTelemetryCommand.h"

namespace zel {
namespace registration {

std::wstring TriggerSourceConverter::toString(int triggerSource) {
    switch (triggerSource) {
        case 0:
            return L"Unknown";
        case 1:
            return L"ServiceStart";
        case 2:
            return L"ScheduledRenewal";
        case 3:
            return L"PolicyChange";
        case 4:
            return L"NetworkChange";
        case 5:
            return L"UserLogon";
        case 6:
            return L"DeviceMissing";
        case 7:
            return L"InvokeManualRegistration";
        case 8:
            return L"InvokeManualReRegistration";
    }
    return L"Unknown";
}

}  // namespace registration
}  // namespace zel
