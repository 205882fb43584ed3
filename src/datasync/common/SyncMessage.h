// One request of the worker's queue, and the kinds of request.
#pragma once

#include <string>

namespace ZEL {
namespace DataSync {

struct sync_msg {
    int type = -1;
    std::wstring data;  // empty except for ONE_DATASET_SYNC: the database's sync-map key
};

enum MessageKind { DEVICE_ONLINE = 1, DEVICE_CONTEXT_CHANGE = 2, ONE_DATASET_SYNC = 3 };

}  // namespace DataSync
}  // namespace ZEL
