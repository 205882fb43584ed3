// The record kinds of the telemetry databases, as the uploaders and the scheduler number them.
#pragma once

#include <functional>
#include <memory>

namespace ZEL {
namespace DataSync {

// Whether a device-path purge blocks uploads now. The agent gives its uploaders the purge
// state's question; an uploader without one is never blocked.
using SyncBlockedQuery = std::function<bool()>;
// Lets one upload begin: empty while a purge blocks uploads, otherwise a pass the upload holds
// for its whole length (a purge does not delete while a pass is held).
using UploadPass = std::shared_ptr<void>;
using BeginUpload = std::function<UploadPass()>;

// The record kind of a database or of one KTA/NAVS upload.
enum SyncTypes {
    SYNC_ITEM_EVENT = 0,       // "ItemEvent", posted to ".../events-data"
    SYNC_DATASET_CONTEXT = 1,  // "DatasetContext", ".../dataset-context"
    SYNC_ITEM_CONTEXT = 2,     // "ItemContext", ".../item-context"
    SYNC_NONE = 3,             // not uploaded
    SYNC_ALL_ITEM_KINDS = 4,   // the three item kinds, in the order 0, 1, 2
    SYNC_DEVICE_CONTEXT = 5,   // "DeviceContext" (the global context), ".../global-context"
};

// The record kind of one NAVP upload; same numbers. Item contexts are never posted to NAVP.
enum _NavpSyncType {
    NAVP_ITEM_EVENT = SYNC_ITEM_EVENT,
    NAVP_DATASET_CONTEXT = SYNC_DATASET_CONTEXT,
    NAVP_ITEM_CONTEXT = SYNC_ITEM_CONTEXT,
    NAVP_DEVICE_CONTEXT = SYNC_DEVICE_CONTEXT,
};

// The table (and record class) name of a kind: "ItemEvent", "DatasetContext", "ItemContext" or
// "DeviceContext"; null for the others.
inline const wchar_t* TableNameOfSyncType(int syncType) {
    switch (syncType) {
        case SYNC_ITEM_EVENT: return L"ItemEvent";
        case SYNC_DATASET_CONTEXT: return L"DatasetContext";
        case SYNC_ITEM_CONTEXT: return L"ItemContext";
        case SYNC_DEVICE_CONTEXT: return L"DeviceContext";
        default: return nullptr;
    }
}

}  // namespace DataSync
}  // namespace ZEL
