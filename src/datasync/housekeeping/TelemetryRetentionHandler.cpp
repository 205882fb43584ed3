// Placeholder of telemetry retention until the retention pass exists: every call says so in the
// log, and nothing is deleted.
#include "datasync/housekeeping/TelemetryRetentionHandler.h"

void TelemetryRetentionHandler::Init() { ZEL::utility::InitLog(m_log, L"DataSync.log", 4); }

void TelemetryRetentionHandler::Start(bool atStart) {
    m_log.i(L"%s: telemetry retention is not available yet, nothing deleted (atStart=%d)",
            L"TelemetryRetentionHandler::Start", atStart ? 1 : 0);
}

void TelemetryRetentionHandler::Stop() {}
