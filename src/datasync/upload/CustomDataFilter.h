// The include filter of the KTA/NAVS uploader: a dataset's policy names the item events that may
// leave the device ("include events"); every other item event of a batch is dropped before the
// body is built. Only item events are filtered; the other record kinds always go out whole.
//
// Thread safety: stateless.
#pragma once

#include <list>
#include <string>

#include "datasync/store/Records.h"

namespace ZEL {
namespace DataSync {

class CustomDataFilter {
public:
    // Keeps every event when some entry of `includeEvents` is exactly "ALL" (upper case);
    // otherwise keeps the events whose item_id() equals an entry exactly (case-sensitive). An
    // empty include list removes every event. Order of the kept events is unchanged.
    static void FilterEvents(std::list<ItemEvent>& events, const std::list<std::wstring>& includeEvents);

    // The other kinds have no include list: the records are left unchanged.
    static void FilterEvents(std::list<DatasetContext>& records, const std::list<std::wstring>& includeEvents);
    static void FilterEvents(std::list<ItemContext>& records, const std::list<std::wstring>& includeEvents);
    static void FilterEvents(std::list<DeviceContext>& records, const std::list<std::wstring>& includeEvents);
};

}  // namespace DataSync
}  // namespace ZEL
