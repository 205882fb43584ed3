// The daemon's metrics as Prometheus text (exposition format 0.0.4, which node_exporter's
// textfile collector reads), for `datasyncctl metrics` and the `metrics_textfile` of the host
// config. Every metric is named datasync_*; families are labelled family="kta|navs|navp".
//
//   from the upload counters (UploadCounters.h):
//     datasync_rows_accepted_total{family}                  counter
//     datasync_batches_accepted_total{family}               counter
//     datasync_upload_failures_total{family,class}          counter, class http_4xx|http_5xx|
//                                                           http_other|transport
//     datasync_last_accepted_batch_timestamp_seconds{family} gauge, Unix time (families that
//                                                           had one since the daemon started)
//     datasync_last_accepted_batch_age_seconds{family}      gauge, on the monotonic clock
//   from the files (PendingRows.h):
//     datasync_rows_pending{family}                         gauge
//     datasync_rows_waiting{family,reason}                  gauge (WaitingRows.h)
//   from the agent's status snapshot and the host state:
//     datasync_backoff_active{family}                       gauge 0/1 (a wait runs, or retries
//                                                           are exhausted until a reset)
//     datasync_backoff_remaining_seconds{family}            gauge
//     datasync_device_missing_block                         gauge 0/1 (the 403 "DeviceMissing")
//     datasync_device_missing_block_remaining_seconds       gauge
//     datasync_certificate_pause                            gauge 0/1
//     datasync_purge_state{state}                           gauge, 1 for the current state of
//                                                           normal|pending|purging|purged_awaiting_resume
//     datasync_databases_watched                            gauge (near-real-time databases)
//     datasync_datasets_scheduled                           gauge
//     datasync_device_context_records_pending               gauge
//     datasync_worker_queue_length                          gauge
//     datasync_agent_started, datasync_policy_in_force      gauge 0/1
//     datasync_read_only_databases                          gauge
//     datasync_unsaved_bookmark_files                       gauge (bookmark files that refused
//                                                           the last write or read)
//     datasync_build_info{version}                          gauge, always 1
//     datasync_up                                           gauge, always 1: the text exists only
//                                                           while the daemon runs (a clean stop
//                                                           removes the metrics_textfile)
//
// Thread safety: a pure function of its input.
#pragma once

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "datasyncd/UploadCounters.h"

namespace datasyncd {

struct MetricsInput {
    std::string version;
    Json::Value status;  // the agent's status snapshot ("status" of the control answer)
    Json::Value host;    // the host state ("host" of the control answer)
    UploadCounts uploads;
    std::map<std::string, std::int64_t> pendingRows;  // by family name (PendingRows.h)
    std::map<std::pair<std::string, std::string>, std::int64_t> rowsWaiting;  // by (family, reason)
    std::chrono::steady_clock::time_point steadyNow;
};

std::string RenderMetrics(const MetricsInput& input);

}  // namespace datasyncd
