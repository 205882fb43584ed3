// Counts what the collector accepted, from its record file (one JSON line per upload:
// "family", "path", "body", "status"): per family, how often each item id arrived, per
// dataset, and whether the demo's device context arrived.
//
//   KTA, NAVS item events:  body {"dataset_items_log":[{"dataset_id":..,"item_events_log":[{"item_id":..}]}]}
//   KTA, NAVS device context: path ".../global-context" or a body with "device_info";
//                             body "device_context_id" names it
//   NAVP (recorded parsed, "body_prefix":"json="): body {"events":[{"e_cat":..,"e_subcat":..,
//                             "e_data":{"dataset_id":..,"item_id":..}}]}; the device context is
//                             the event with e_cat "DeviceContext" and e_subcat its id
//
// Only answers with a 2xx status count as accepted. The file is read incrementally: each Poll
// reads the lines appended since the last one (a line still being written waits for the next).
//
// Thread safety: one object belongs to one thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "datasyncctl/DemoFiles.h"

namespace datasyncctl {

class UploadTally {
public:
    UploadTally(std::string recordFile, std::string deviceContextId);

    // Reads what was appended since the last call. A missing file is no error (nothing
    // recorded yet). False, with `error` naming the file, when it cannot be read.
    bool Poll(std::string& error);

    // Distinct item ids of `datasetId` that `family` accepted.
    int Accepted(const std::string& family, const std::string& datasetId) const;
    // Item rows that `family` accepted more than once (each extra arrival counts).
    int Duplicates(const std::string& family) const;
    bool DeviceContextAccepted(const std::string& family) const;
    // Rows that a family of their dataset has not accepted: rows 1..`rows` of each item dataset,
    // the device context once. `text` lists them, e.g. " navp DemoScheduledEvent 40/60;".
    int Missing(const std::vector<DemoDataset>& datasets, int rows, std::string& text) const;
    // Lines of the record file that could not be read as records (shown as a warning).
    int UnreadableLines() const { return m_unreadable; }

private:
    struct Family {
        std::map<std::string, std::map<std::string, int>> items;  // dataset id -> item id -> arrivals
        int deviceContexts = 0;
    };

    void Take(const std::string& line);
    void TakeItemEvents(Family& family, const Json::Value& body);
    void TakeNavpEvents(Family& family, const Json::Value& body);

    std::string m_recordFile;
    std::string m_deviceContextId;
    std::uint64_t m_offset = 0;
    std::string m_partial;  // bytes after the last complete line
    std::map<std::string, Family> m_families;
    int m_unreadable = 0;
};

}  // namespace datasyncctl
