// Retention of item-event rows older than each dataset's retention period: run once at start
// and again on the daily maintenance notification.
//
// Not built yet: Init, Start and Stop log that retention is not available and delete nothing.
#pragma once

#include "datasync/host/Log.h"

class TelemetryRetentionHandler {
public:
    TelemetryRetentionHandler() = default;
    TelemetryRetentionHandler(const TelemetryRetentionHandler&) = delete;
    TelemetryRetentionHandler& operator=(const TelemetryRetentionHandler&) = delete;

    void Init();
    // `atStart` true for the pass at full initialisation, false for daily maintenance.
    void Start(bool atStart);
    void Stop();

private:
    ZEL::Log m_log;
};
