// One record of the dataset sync map: the state of one watched telemetry database file.
#pragma once

#include <cstdint>

#include "datasync/common/UploadOutcome.h"

namespace ZEL {
namespace DataSync {

struct _sync_data {
    std::uint32_t db_root = 0;        // 1 the service's folder, 2 the logged-on user's shared folder
    std::uint32_t sync_kind = 0;      // 0 created by a change, 1 near-real-time (scans), 2 scheduled
    std::uint32_t trigger_times = 0;  // pending triggers; 0 once an upload leaves no rows
    std::uint32_t last_result = 0;    // 1 when the last upload succeeded
    UploadResult last_outcome = UploadResult::NothingToSend;  // of the family that decided it
    std::uint32_t sync_state = 0;     // 0 idle, 1 queued, 2 rows left after the last upload
    std::uint32_t remain_data = 0;    // rows were unsent after the last upload or check
    std::int32_t retry_times = 0;     // the timer queues nothing for a record above 5
    std::uint32_t interval = 0;       // scheduled records: upload interval in seconds
    std::int64_t last_sync_time = 0;  // seconds, on the record's clock
    bool no_data_logged = false;      // "NO dirty data" logged once per idle period
    bool sync_now = false;            // an on-demand collection asks for an upload now
    // Applicability throttling of the timer pass.
    bool last_applicable = true;
    std::uint32_t applicability_failure_count = 0;
    std::uint32_t iterations_since_applicability_check = 0;
};

}  // namespace DataSync
}  // namespace ZEL
