// The include filter. "ALL" is matched exactly: a policy that writes "all" names an item event
// of that id, not every event.
#include "datasync/upload/CustomDataFilter.h"

#include <algorithm>

#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {

void CustomDataFilter::FilterEvents(std::list<ItemEvent>& events, const std::list<std::wstring>& includeEvents) {
    const std::size_t before = events.size();
    const auto included = [&includeEvents](const std::wstring& itemId) {
        return std::find(includeEvents.begin(), includeEvents.end(), itemId) != includeEvents.end();
    };
    if (!included(L"ALL"))
        events.remove_if([&included](const ItemEvent& event) { return !included(event.item_id()); });

    // Logged only when the filter changed something that is still sent, so that a fully
    // included batch does not list its events twice (the serialiser lists them as well).
    if (events.empty() || events.size() == before) return;
    const wchar_t* const function = L"ZEL::DataSync::CustomDataFilter::FilterEvents";
    Log log;
    utility::InitLog(log, L"DataSync.log", 4);
    log.d(L"%s:Filtered Event items, included item events are", function);
    for (const ItemEvent& event : events)
        log.d(L"%s: DatasetId:%s, ID: %s, Timestamp: %s", function, event.dataset_id(), event.item_id(),
              event.item_time());
}

void CustomDataFilter::FilterEvents(std::list<DatasetContext>&, const std::list<std::wstring>&) {}
void CustomDataFilter::FilterEvents(std::list<ItemContext>&, const std::list<std::wstring>&) {}
void CustomDataFilter::FilterEvents(std::list<DeviceContext>&, const std::list<std::wstring>&) {}

}  // namespace DataSync
}  // namespace ZEL
