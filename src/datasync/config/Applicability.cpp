// The applicability gate. Not built yet: the host's question is answered "not applicable", so
// nothing is uploaded on a guess.
#include "datasync/agent/DataSyncAgent.h"

bool DataSyncAgent::IsApplicableForSync(const std::wstring&) {
    NotAvailableYet(L"DataSyncAgent::IsApplicableForSync");
    return false;
}
